#include "LinkServer.h"

#include "LinkProtocol.h"
#include "ListenSocket.h"

#include <chrono>
#include <cstring>

namespace tcpserver {

namespace proto = vxlink::proto;
using asio::ip::tcp;

namespace {

constexpr std::size_t kInitialReadBuffer = 16 * 1024;
// Frames handed to the kernel in one gathered write.
constexpr std::size_t kMaxGather = 64;
// What CloseAll keeps for the applications it closed: the client sends right after it (a
// login: CloseAll, SetUid, then a command), before they have had time to come back.
constexpr auto kHoldFor = std::chrono::seconds(10);
constexpr std::size_t kHeldMessages = 64;
constexpr std::size_t kHeldBytes = 256 * 1024;

bool isLoopback(const asio::ip::address& a) {
    if (a.is_v4())
        return a.to_v4().is_loopback();
    auto v6 = a.to_v6();
    if (v6.is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).is_loopback();
    return v6.is_loopback();
}

std::string eventText(std::string_view event, std::int32_t appId) {
    std::string s(event);
    s += ":appID=";
    s += std::to_string(appId);
    return s;
}

thread_local LinkServer* t_server = nullptr;

} // namespace

LinkServer* serverOfThisThread() {
    return t_server;
}

// ---------------------------------------------------------------------------------------------
// Connection

Connection::Connection(LinkServer& server, tcp::socket socket, const Limits& limits)
    : m_server(server), m_socket(std::move(socket)), m_deadline(server.io()), m_limits(limits),
      m_in(kInitialReadBuffer) {}

void Connection::start() {
    std::error_code ec;
    m_socket.set_option(tcp::no_delay(true), ec);
    m_deadline.expires_after(std::chrono::milliseconds(m_limits.registrationTimeoutMs));
    m_deadline.async_wait([self = shared_from_this()](std::error_code e) {
        // Also bounds how long a refused peer may take to read its error frame.
        if (!e && (!self->m_registered || self->m_closeAfterWrite))
            self->close(false);
    });
    read();
}

void Connection::read() {
    if (m_closed || m_closeAfterWrite)
        return;
    m_socket.async_read_some(asio::buffer(m_in.data() + m_have, m_in.size() - m_have),
                             [self = shared_from_this()](std::error_code ec, std::size_t n) {
                                 if (ec) {
                                     self->close(true);
                                     return;
                                 }
                                 self->onRead(n);
                             });
}

void Connection::onRead(std::size_t n) {
    if (m_closed || m_closeAfterWrite)
        return;
    m_have += n;
    // Peers that speak something else (an HTTP request line, a TLS record, noise) get no
    // answer and no callback.
    const proto::Scan scan =
        proto::scanFrames(std::string_view(m_in.data(), m_have), [this](std::string_view p) {
            return onFrame(p) && !m_closed && !m_closeAfterWrite;
        });
    if (scan.invalid && !m_closed && !m_closeAfterWrite) {
        close(true);
        return;
    }
    if (m_closed || m_closeAfterWrite)
        return;
    const std::size_t pos = scan.consumed;
    if (pos > 0) {
        std::memmove(m_in.data(), m_in.data() + pos, m_have - pos);
        m_have -= pos;
    }
    if (m_have >= proto::kHeaderSize) {
        std::size_t need =
            proto::kHeaderSize + proto::decodeHeader(reinterpret_cast<unsigned char*>(m_in.data()));
        if (m_in.size() < need)
            m_in.resize(need);
    }
    read();
}

bool Connection::onFrame(std::string_view payload) {
    if (!m_registered) {
        registerApp(payload);
        return !m_closed && !m_closeAfterWrite;
    }
    if (payload.empty() || proto::isControl(payload))
        return true; // keep-alive, or a control frame of a later version
    // Only the server reports an application's coming and going.
    if (payload.starts_with(proto::kOnline) || payload.starts_with(proto::kOffline))
        return true;
    // The callback receives a NUL-terminated text; a NUL inside would silently cut it.
    if (payload.find('\0') != std::string_view::npos) {
        close(true);
        return false;
    }
    m_text.assign(payload);
    m_server.deliver(m_text);
    return !m_closed;
}

void Connection::registerApp(std::string_view payload) {
    auto reg = proto::parseRegistration(payload);
    if (!reg) {
        refuse("registration expected: VXLINK/1 appID=<id>");
        return;
    }
    m_registered = true;
    m_appId = reg->appId;
    m_deadline.cancel();
    m_server.addRegistered(this);
    send(std::make_shared<const std::string>(
        proto::okFrame(std::min(reg->version, proto::kVersion))));
    if (auto uid = currentUid())
        tellUid(*uid);
    for (auto& framed : m_server.takeHeld(m_appId))
        send(std::move(framed));
    if (!m_closed)
        m_server.deliver(eventText(proto::kOnline, m_appId));
}

void Connection::refuse(std::string_view reason) {
    send(std::make_shared<const std::string>(proto::errorFrame(reason)));
    m_closeAfterWrite = true;
    writeMore();
}

void Connection::send(std::shared_ptr<const std::string> framed) {
    if (m_closed || m_closeAfterWrite)
        return;
    if (m_queuedBytes + framed->size() > m_limits.maxQueuedBytes) {
        // A reader this far behind is stuck or dead; holding more would only grow memory.
        close(true);
        return;
    }
    m_queuedBytes += framed->size();
    m_queue.push_back(std::move(framed));
    writeMore();
}

void Connection::writeMore() {
    if (m_closed || m_writing)
        return;
    if (m_queue.empty()) {
        if (m_closeAfterWrite)
            close(false);
        return;
    }
    std::vector<asio::const_buffer> buffers;
    m_inflight.clear();
    while (!m_queue.empty() && m_inflight.size() < kMaxGather) {
        buffers.push_back(asio::buffer(*m_queue.front()));
        m_inflight.push_back(std::move(m_queue.front()));
        m_queue.pop_front();
    }
    m_writing = true;
    asio::async_write(m_socket, buffers,
                      [self = shared_from_this()](std::error_code ec, std::size_t n) {
                          self->m_writing = false;
                          if (ec) {
                              self->close(true);
                              return;
                          }
                          self->m_queuedBytes -= n;
                          self->m_inflight.clear();
                          self->writeMore();
                      });
}

void Connection::close(bool notify) {
    if (m_closed)
        return;
    m_closed = true;
    auto self = shared_from_this(); // the server's table may hold the last reference
    std::error_code ec;
    m_deadline.cancel();
    m_socket.shutdown(tcp::socket::shutdown_both, ec);
    m_socket.close(ec);
    m_queue.clear();
    m_queuedBytes = 0;
    m_server.removed(this);
    if (m_registered && notify)
        m_server.deliver(eventText(proto::kOffline, m_appId));
}

// ---------------------------------------------------------------------------------------------
// LinkServer

LinkServer::LinkServer(TCPServerNotify notify)
    : m_work(asio::make_work_guard(m_io)), m_acceptor(m_io), m_acceptRetry(m_io),
      m_holdExpiry(m_io), m_notify(notify) {}

LinkServer::~LinkServer() {
    if (m_thread.joinable()) {
        requestStop();
        if (onServerThread())
            m_thread.detach();
        else
            m_thread.join();
    }
}

int LinkServer::listen(const asio::ip::address& address, std::uint16_t port) {
    tcp::endpoint ep(address, port);
    std::error_code ec;
    m_acceptor.open(ep.protocol(), ec);
    if (ec)
        return TCPSERVER_E_LISTEN;
    keepFromChildren(static_cast<std::uintptr_t>(m_acceptor.native_handle()));
    prepareListenSocket(static_cast<std::uintptr_t>(m_acceptor.native_handle()));
    m_acceptor.bind(ep, ec);
    if (!ec)
        m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        m_acceptor.close(ec);
        return TCPSERVER_E_LISTEN;
    }
    accept();
    return TCPSERVER_OK;
}

void LinkServer::startThread() {
    m_thread = std::thread([this] {
        m_threadId = std::this_thread::get_id();
        t_server = this;
        for (;;) {
            try {
                m_io.run();
                break;
            } catch (...) {
                // A handler failed (out of memory, most likely); the others keep being served.
            }
        }
    });
}

void LinkServer::requestStop() {
    m_silenced = true;
    if (onServerThread())
        stopOnThread();
    else
        post([this] { stopOnThread(); });
}

void LinkServer::join() {
    if (m_thread.joinable() && !onServerThread())
        m_thread.join();
}

void LinkServer::stopOnThread() {
    std::error_code ec;
    m_acceptor.close(ec);
    m_acceptRetry.cancel();
    m_holdExpiry.cancel();
    m_held.clear();
    auto all = std::move(m_connections);
    m_connections.clear();
    for (auto& [ptr, c] : all)
        c->close(false);
    m_byId.clear();
    m_work.reset();
    m_io.stop();
}

void LinkServer::accept() {
    if (kAcceptsPrivately) {
        m_acceptor.async_wait(tcp::acceptor::wait_read, [this](std::error_code ec) {
            if (!m_acceptor.is_open())
                return;
            tcp::socket socket(m_io);
            if (!ec) {
                bool wouldBlock = false;
                const auto fd = acceptPrivate(m_acceptor.native_handle(), wouldBlock);
                if (fd < 0 && wouldBlock)
                    return accept(); // taken by nobody else, but gone: wait again
                if (fd < 0)
                    ec = std::error_code(errno, std::system_category());
                else
                    socket.assign(m_acceptor.local_endpoint().protocol(),
                                  static_cast<tcp::socket::native_handle_type>(fd), ec);
            }
            onAccepted(ec, std::move(socket));
        });
        return;
    }
    m_acceptor.async_accept(
        [this](std::error_code ec, tcp::socket socket) { onAccepted(ec, std::move(socket)); });
}

void LinkServer::onAccepted(std::error_code ec, asio::ip::tcp::socket socket) {
    if (!m_acceptor.is_open())
        return;
    if (ec) {
        // Out of descriptors or a similar passing shortage: try again a little later
        // instead of spinning on the failing accept.
        m_acceptRetry.expires_after(std::chrono::milliseconds(100));
        m_acceptRetry.async_wait([this](std::error_code e) {
            if (!e && m_acceptor.is_open())
                accept();
        });
        return;
    }
    keepFromChildren(static_cast<std::uintptr_t>(socket.native_handle()));
    std::error_code e;
    auto peer = socket.remote_endpoint(e);
    Limits limits = currentLimits();
    // The port is open to every user of the machine: only this user's programs are
    // served, and the others hear nothing, as do peers from off the machine.
    if (e || !isLoopback(peer.address()) ||
        m_connections.size() >= static_cast<std::size_t>(limits.maxConnections) ||
        !peerIsSameUser(static_cast<std::uintptr_t>(socket.native_handle()))) {
        socket.close(e);
    } else {
        auto c = std::make_shared<Connection>(*this, std::move(socket), limits);
        m_connections.emplace(c.get(), c);
        c->start();
    }
    accept();
}

void LinkServer::deliver(const std::string& text) {
    if (m_silenced.load() || !m_notify)
        return;
    if (m_inCallback) {
        // Never re-enter the callback: hand the text to the next turn of the loop.
        post([this, copy = text] { deliver(copy); });
        return;
    }
    m_inCallback = true;
    try {
        m_notify(text.c_str());
    } catch (...) {
        // The callback's own failure must not take the server down.
    }
    m_inCallback = false;
}

void LinkServer::addRegistered(Connection* c) {
    m_byId.emplace(c->appId(), c);
}

void LinkServer::removed(Connection* c) {
    if (c->registered()) {
        auto [b, e] = m_byId.equal_range(c->appId());
        for (auto it = b; it != e; ++it)
            if (it->second == c) {
                m_byId.erase(it);
                break;
            }
    }
    m_connections.erase(c);
}

void LinkServer::sendTo(std::int32_t appId, std::shared_ptr<const std::string> framed) {
    // Also while some of the id's connections are back: the others get it when they return.
    hold(appId, framed);
    // Collected first: a send may close its connection and change the table.
    std::vector<std::shared_ptr<Connection>> targets;
    auto [b, e] = m_byId.equal_range(appId);
    for (auto it = b; it != e; ++it)
        targets.push_back(it->second->shared_from_this());
    for (auto& c : targets)
        c->send(framed);
}

void LinkServer::closeAll() {
    const auto until = std::chrono::steady_clock::now() + kHoldFor;
    std::vector<std::shared_ptr<Connection>> all;
    all.reserve(m_connections.size());
    std::unordered_map<std::int32_t, std::size_t> closedPerId;
    for (auto& [ptr, c] : m_connections) {
        all.push_back(c);
        if (c->registered())
            ++closedPerId[c->appId()];
    }
    // Each CloseAll starts over (a login follows it): what was held for an application that
    // has not come back since the one before belongs to the user before, and goes. Each id
    // closed now starts afresh: what was sent to it before is not held again (what a slow
    // reader had not taken yet goes with its connection).
    m_held.clear();
    for (auto& [id, n] : closedPerId)
        m_held[id] = Held{until, n, {}, 0, false};
    for (auto& c : all)
        c->close(true);
    if (!closedPerId.empty()) {
        // Frees what nobody came back for; the deadline itself is checked on every use.
        m_holdExpiry.expires_at(until);
        m_holdExpiry.async_wait([this](std::error_code ec) {
            if (!ec)
                dropLapsedHolds();
        });
    }
}

void LinkServer::hold(std::int32_t appId, const std::shared_ptr<const std::string>& framed) {
    auto it = m_held.find(appId);
    if (it == m_held.end())
        return;
    Held& h = it->second;
    if (std::chrono::steady_clock::now() >= h.until) {
        m_held.erase(it);
        return;
    }
    const std::size_t text = framed->size() - proto::kHeaderSize;
    // The application finds what was sent to it in order, or a first part of it, never a gap.
    if (h.full || h.frames.size() >= kHeldMessages || h.bytes + text > kHeldBytes) {
        h.full = true;
        return;
    }
    h.frames.push_back(framed);
    h.bytes += text;
}

std::vector<std::shared_ptr<const std::string>> LinkServer::takeHeld(std::int32_t appId) {
    auto it = m_held.find(appId);
    if (it == m_held.end())
        return {};
    Held& h = it->second;
    if (std::chrono::steady_clock::now() >= h.until) {
        m_held.erase(it);
        return {};
    }
    auto frames = h.frames;
    if (--h.awaited == 0)
        m_held.erase(it);
    return frames;
}

void LinkServer::dropLapsedHolds() {
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(m_held, [&](const auto& entry) { return now >= entry.second.until; });
}

void Connection::tellUid(const std::string& uid) {
    if (m_toldUid == uid)
        return;
    m_toldUid = uid;
    send(std::make_shared<const std::string>(proto::uidFrame(uid)));
}

void LinkServer::tellUid(const std::string& uid) {
    std::vector<std::shared_ptr<Connection>> targets;
    for (auto& [id, c] : m_byId)
        targets.push_back(c->shared_from_this());
    for (auto& c : targets)
        c->tellUid(uid);
}

} // namespace tcpserver
