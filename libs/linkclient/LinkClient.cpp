#include "LinkClient.h"

#include "core/Text.h"
#include "http/FormUrl.h"
#include "tcpserver/LinkProtocol.h"
#include "tcpserver/SocketOwner.h"

#include <algorithm>
#include <asio.hpp>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace vxlink {

using asio::ip::tcp;

// ---------------------------------------------------------------------------------------------
// Messages

LinkMessage parseLinkMessage(std::string_view raw) {
    LinkMessage m;
    m.raw = std::string(raw);
    auto fail = [&] {
        m.decoded = false;
        m.payloadAnsi = m.raw;
        m.payload = vx::fromAnsi(raw);
        return m;
    };
    auto id = proto::parseTarget(raw);
    if (!id)
        return fail();
    m.appId = *id;
    std::size_t amp = raw.find('&');
    if (amp == std::string_view::npos || !proto::startsWithNoCase(raw.substr(amp), "&parma="))
        return fail();
    auto decoded = vx::FormUrlDecode(raw.substr(amp + 7));
    if (!decoded)
        return fail();
    m.decoded = true;
    m.payloadAnsi = std::move(decoded).value();
    m.payload = vx::fromAnsi(m.payloadAnsi);
    return m;
}

std::string LinkMessage::command() const {
    return payload.substr(0, payload.find('?'));
}

std::optional<std::string> LinkMessage::argument(std::string_view key) const {
    std::size_t q = payloadAnsi.find('?');
    if (q == std::string::npos)
        return std::nullopt;
    std::string_view args = std::string_view(payloadAnsi).substr(q + 1);
    std::string prefix = std::string(key) + "=";
    while (true) {
        std::size_t amp = args.find('&');
        std::string_view pair = args.substr(0, amp);
        if (proto::startsWithNoCase(pair, prefix)) {
            std::string_view value = pair.substr(prefix.size());
            auto decoded = vx::FormUrlDecode(value);
            return vx::fromAnsi(decoded ? decoded.value() : std::string(value));
        }
        if (amp == std::string_view::npos)
            return std::nullopt;
        args.remove_prefix(amp + 1);
    }
}

// ---------------------------------------------------------------------------------------------
// Client

class LinkClient::Impl {
public:
    explicit Impl(LinkClientOptions o)
        : opts(std::move(o)), work(asio::make_work_guard(io)), socket(io), retry(io),
          delay(opts.firstRetryDelay) {
        in.resize(16 * 1024);
    }

    ~Impl() { close(); }

    void start() {
        std::lock_guard lock(m);
        if (started || closed)
            return;
        started = true;
        thread = std::thread([this] {
            try {
                io.run();
            } catch (...) {
                std::lock_guard l(m);
                ended = true;
                error = "internal failure of the link thread";
                cv.notify_all();
            }
        });
        asio::post(io, [this] { connect(); });
    }

    void close() {
        {
            std::lock_guard lock(m);
            if (closed)
                return;
            closed = true;
            cv.notify_all();
        }
        if (thread.joinable()) {
            asio::post(io, [this] {
                std::error_code ec;
                retry.cancel();
                socket.close(ec);
                work.reset();
                io.stop();
            });
            thread.join();
        }
    }

    vx::Status send(std::string_view ansi) {
        if (ansi.size() > proto::kMaxFrame)
            return vx::Error{"message larger than 64 KiB"};
        if (ansi.find('\0') != std::string_view::npos)
            return vx::Error{"message holds a NUL character"};
        {
            std::lock_guard lock(m);
            if (closed)
                return vx::Error{"link closed"};
            if (queued >= opts.maxPending)
                return vx::Error{"too many requests waiting for the link"};
            ++queued;
        }
        asio::post(io, [this, f = proto::frame(ansi)]() mutable {
            pending.push_back(std::move(f));
            writeMore();
        });
        return {};
    }

    // --- io thread ---

    void connect() {
        if (isClosed())
            return;
        std::error_code ec;
        tcp::resolver resolver(io);
        auto endpoints = resolver.resolve(opts.host, std::to_string(opts.port), ec);
        if (ec) {
            lost("cannot resolve " + opts.host + ": " + ec.message());
            return;
        }
        asio::async_connect(socket, endpoints, [this](std::error_code e, const tcp::endpoint&) {
            if (e) {
                lost("cannot connect to " + opts.host + ":" + std::to_string(opts.port) + ": " +
                     e.message());
                return;
            }
            std::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            checkOwner(std::chrono::steady_clock::now() + opts.acceptWait,
                       std::chrono::milliseconds(1));
        });
    }

    // Nothing goes out and nothing is read before the server's end of the connection is
    // known to be this user's: until then neither the registration nor a queued request is
    // written (writeMore waits for ownerChecked), and frames the other side sends are left
    // unread. An end that its program has not taken off the listener's queue yet has no
    // owner to tell; it is asked again, more and more slowly, up to acceptWait.
    void checkOwner(std::chrono::steady_clock::time_point deadline,
                    std::chrono::milliseconds pause) {
        const auto o = owner::ownerOfOtherEnd(
            static_cast<std::uintptr_t>(socket.native_handle()), true);
        if (o.verdict == owner::Verdict::Same) {
            ownerChecked = true;
            have = 0;
            awaitingAck = true;
            registrationFrame = proto::registrationFrame(opts.appId);
            writeMore();
            read();
            return;
        }
        if (o.verdict == owner::Verdict::Unknown && o.pending &&
            std::chrono::steady_clock::now() < deadline) {
            retry.expires_after(pause);
            retry.async_wait([this, deadline, pause](std::error_code e) {
                if (!e)
                    checkOwner(deadline, std::min(pause * 2, std::chrono::milliseconds(50)));
            });
            return;
        }
        const std::string where = serverEnd();
        if (o.verdict == owner::Verdict::Other)
            lost(where + " is held by a program of another user (" + o.who +
                     "), not by this user's client: nothing was sent to it",
                 true);
        else if (o.pending)
            lost("cannot tell which user's program holds " + where + ": it has not taken the "
                     "connection within " + std::to_string(opts.acceptWait.count()) +
                     " ms; nothing was sent to it",
                 true);
        else
            lost("cannot tell which user's program holds " + where + " (" + o.who +
                     "); nothing was sent to it",
                 true);
    }

    // "127.0.0.1:8885", the address the connection went to.
    std::string serverEnd() {
        std::error_code ec;
        const auto ep = socket.remote_endpoint(ec);
        if (ec)
            return opts.host + ":" + std::to_string(opts.port);
        const std::string host = ep.address().to_string();
        return (ep.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(ep.port());
    }

    void read() {
        socket.async_read_some(
            asio::buffer(in.data() + have, in.size() - have),
            [this](std::error_code ec, std::size_t n) {
                if (ec == asio::error::operation_aborted)
                    return; // closed by lost() or close()
                if (ec) {
                    lost(ec == asio::error::eof ? "connection closed by the server" : ec.message());
                    return;
                }
                have += n;
                if (parseFrames())
                    read();
            });
    }

    // False when the connection was dropped.
    bool parseFrames() {
        std::size_t pos = 0;
        while (have - pos >= proto::kHeaderSize) {
            std::uint32_t len =
                proto::decodeHeader(reinterpret_cast<const unsigned char*>(in.data() + pos));
            if (len > proto::kMaxFrame) {
                lost("oversized frame from the server");
                return false;
            }
            if (have - pos < proto::kHeaderSize + len)
                break;
            if (!onFrame(std::string_view(in.data() + pos + proto::kHeaderSize, len)))
                return false;
            pos += proto::kHeaderSize + len;
        }
        std::memmove(in.data(), in.data() + pos, have - pos);
        have -= pos;
        if (have >= proto::kHeaderSize) {
            std::size_t need =
                proto::kHeaderSize +
                proto::decodeHeader(reinterpret_cast<const unsigned char*>(in.data()));
            if (in.size() < need)
                in.resize(need);
        }
        return true;
    }

    bool onFrame(std::string_view f) {
        if (auto c = proto::parseControl(f)) {
            if (c->word == "OK" && awaitingAck) {
                awaitingAck = false;
                delay = opts.firstRetryDelay;
                {
                    std::lock_guard lock(m);
                    isRegistered = true;
                    ++registrationCount;
                    error.clear();
                    cv.notify_all();
                }
                writeMore();
            } else if (c->word == "UID") {
                std::lock_guard lock(m);
                userId = vx::fromAnsi(c->rest);
                cv.notify_all();
            } else if (c->word == "ERR") {
                lost("refused by the server: " + vx::fromAnsi(c->rest));
                return false;
            }
            return true;
        }
        std::lock_guard lock(m);
        inbox.push_back(parseLinkMessage(f));
        cv.notify_all();
        return true;
    }

    void writeMore() {
        if (writing || !socket.is_open() || !ownerChecked)
            return;
        std::vector<asio::const_buffer> buffers;
        inflight.clear();
        if (!registrationFrame.empty()) {
            inflight.push_back(std::move(registrationFrame));
            registrationFrame.clear();
        } else if (!awaitingAck) {
            while (!pending.empty() && inflight.size() < 64) {
                inflight.push_back(std::move(pending.front()));
                pending.pop_front();
            }
        }
        if (inflight.empty())
            return;
        for (auto& f : inflight)
            buffers.push_back(asio::buffer(f));
        writing = true;
        std::size_t requests = awaitingAck ? 0 : inflight.size();
        asio::async_write(socket, buffers, [this, requests](std::error_code ec, std::size_t) {
            writing = false;
            if (requests) {
                std::lock_guard lock(m);
                queued -= requests;
                cv.notify_all();
            }
            inflight.clear();
            if (ec == asio::error::operation_aborted)
                return;
            if (ec) {
                lost(ec.message());
                return;
            }
            writeMore();
        });
    }

    // A refusal (the program on the port is not this user's) is tried again only after the
    // longest pause: whoever holds the port is not going to give it up within milliseconds.
    void lost(const std::string& why, bool refusal = false) {
        std::error_code ec;
        socket.close(ec);
        ownerChecked = false;
        awaitingAck = false;
        registrationFrame.clear();
        if (refusal)
            delay = opts.maxRetryDelay;
        bool again;
        {
            std::lock_guard lock(m);
            isRegistered = false;
            error = why;
            if (refusal)
                ++refusalCount;
            again = opts.reconnect && !closed;
            if (!again)
                ended = true;
            cv.notify_all();
        }
        if (!again)
            return;
        retry.expires_after(delay);
        delay = std::min(delay * 2, opts.maxRetryDelay);
        retry.async_wait([this](std::error_code e) {
            if (!e && !writing)
                connect();
            else if (!e) // the failed write has yet to finish; its handler runs first
                asio::post(io, [this] { connect(); });
        });
    }

    bool isClosed() {
        std::lock_guard lock(m);
        return closed;
    }

    LinkClientOptions opts;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work;
    tcp::socket socket;
    asio::steady_timer retry;
    std::chrono::milliseconds delay;
    std::thread thread;

    // io thread only
    std::vector<char> in;
    std::size_t have = 0;
    std::string registrationFrame;
    std::deque<std::string> pending;
    std::vector<std::string> inflight;
    bool writing = false;
    bool awaitingAck = false;
    bool ownerChecked = false; // the server's end is this user's: writing may begin

    // shared, under m
    mutable std::mutex m;
    std::condition_variable cv;
    std::deque<LinkMessage> inbox;
    std::optional<std::string> userId;
    std::string error;
    std::uint64_t registrationCount = 0;
    std::uint64_t refusalCount = 0;
    std::size_t queued = 0;
    bool isRegistered = false;
    bool started = false;
    bool closed = false;
    bool ended = false;
};

LinkClient::LinkClient(LinkClientOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options))) {}

LinkClient::~LinkClient() {
    m_impl->close();
}

std::uint64_t LinkClient::refusals() const {
    std::lock_guard lock(m_impl->m);
    return m_impl->refusalCount;
}

void LinkClient::start() {
    m_impl->start();
}

vx::Status LinkClient::waitRegistered(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_impl->m);
    const std::uint64_t refusedBefore = m_impl->refusalCount;
    bool ok = m_impl->cv.wait_for(lock, timeout, [&] {
        return m_impl->isRegistered || m_impl->closed || m_impl->ended ||
               m_impl->refusalCount != refusedBefore;
    });
    if (m_impl->isRegistered)
        return {};
    std::string why = m_impl->closed ? "link closed" : m_impl->error;
    if (!ok)
        why = "not registered within " + std::to_string(timeout.count()) + " ms" +
              (why.empty() ? "" : " (" + why + ")");
    return vx::Error{why};
}

bool LinkClient::registered() const {
    std::lock_guard lock(m_impl->m);
    return m_impl->isRegistered;
}

std::uint64_t LinkClient::registrations() const {
    std::lock_guard lock(m_impl->m);
    return m_impl->registrationCount;
}

vx::Status LinkClient::send(std::string_view utf8) {
    return m_impl->send(vx::toAnsi(utf8));
}

vx::Status LinkClient::sendAnsi(std::string_view ansi) {
    return m_impl->send(ansi);
}

vx::Status LinkClient::flush(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_impl->m);
    bool ok = m_impl->cv.wait_for(
        lock, timeout, [&] { return m_impl->queued == 0 || m_impl->closed || m_impl->ended; });
    if (m_impl->queued == 0)
        return {};
    return vx::Error{ok ? (m_impl->error.empty() ? "link closed" : m_impl->error)
                        : "requests not sent within " + std::to_string(timeout.count()) + " ms"};
}

std::optional<LinkMessage> LinkClient::receive(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_impl->m);
    m_impl->cv.wait_for(lock, timeout,
                        [&] { return !m_impl->inbox.empty() || m_impl->closed || m_impl->ended; });
    if (m_impl->inbox.empty())
        return std::nullopt;
    LinkMessage msg = std::move(m_impl->inbox.front());
    m_impl->inbox.pop_front();
    return msg;
}

std::optional<std::string> LinkClient::uid() const {
    std::lock_guard lock(m_impl->m);
    return m_impl->userId;
}

std::string LinkClient::lastError() const {
    std::lock_guard lock(m_impl->m);
    return m_impl->error;
}

void LinkClient::close() {
    m_impl->close();
}

} // namespace vxlink
