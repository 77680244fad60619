#pragma once
// Servers and helpers for the HTTP layer's tests: a raw TCP server that records the exact
// bytes of each request, an in-process cpp-httplib server on an ephemeral port, and a
// runner that drives one worker on a LoopMainThread and records its events.

#include "core/MainThread.h"
#include "http/HttpThread.h"
#include "support/HttplibServer.h"
#include "support/Loopback.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <httplib.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace vxtest {

// Accepts connections one at a time on 127.0.0.1 (ephemeral port), reads each request
// (head and Content-Length body), records its bytes, sends the responder's answer and
// closes the connection, or, for an answer marked `hold`, keeps it open without another
// byte (a stalled server) until the server stops.
class RawServer {
public:
    struct Answer {
        Answer(std::string b, bool h = false) : bytes(std::move(b)), hold(h) {}
        Answer(const char* b) : bytes(b) {}
        std::string bytes;
        bool hold = false;
    };
    using Responder = std::function<Answer(const std::string& request)>;

    explicit RawServer(Responder responder) : m_responder(std::move(responder)) {
        auto listener = vxtest::listenLoopback(64);
        m_listen = listener.fd;
        m_port = listener.port;
        m_thread = std::thread([this] { loop(); });
    }
    ~RawServer() {
        m_stop = true;
        // Closed only once the thread is out: a thread still at accept() on a closed
        // number could take a connection of a server just made with that number.
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
        for (int fd : m_held)
            ::close(fd);
    }

    int port() const { return m_port; }
    std::string url(const std::string& path) const {
        return loopbackUrl(m_port, path);
    }
    std::vector<std::string> requests() {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

private:
    void loop() {
        while (!m_stop) {
            int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0)
                return;
            std::string req = readRequest(fd);
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(req);
            }
            const Answer reply = m_responder(req);
            std::size_t off = 0;
            while (off < reply.bytes.size()) {
                ssize_t n =
                    ::send(fd, reply.bytes.data() + off, reply.bytes.size() - off, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                off += static_cast<std::size_t>(n);
            }
            if (reply.hold) {
                m_held.push_back(fd);
                continue;
            }
            ::shutdown(fd, SHUT_WR);
            char drain[256];
            while (::recv(fd, drain, sizeof drain, 0) > 0) {
            }
            ::close(fd);
        }
    }

    static std::string readRequest(int fd) {
        std::string data;
        char buf[4096];
        std::size_t headEnd = std::string::npos;
        while (headEnd == std::string::npos) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return data;
            data.append(buf, static_cast<std::size_t>(n));
            headEnd = data.find("\r\n\r\n");
        }
        std::size_t bodyLen = 0;
        std::string lower = data.substr(0, headEnd);
        for (auto& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        auto cl = lower.find("\r\ncontent-length:");
        if (cl != std::string::npos)
            bodyLen = std::stoul(lower.substr(cl + 17));
        while (data.size() < headEnd + 4 + bodyLen) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            data.append(buf, static_cast<std::size_t>(n));
        }
        return data;
    }

    Responder m_responder;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::vector<int> m_held;
};


// gzip of the bytes (one member), by zlib.
inline std::string gzip(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// What a worker reported.
struct Outcome {
    vx::TReturnInfo info; // the record of FSendDone
    bool isutf8 = false;
    int doneCount = 0;
    std::vector<std::string> events; // "begin", "work", "end", "done" in order
    std::vector<std::int32_t> beginCounts;
    std::vector<std::int32_t> workCounts;
    bool cookieAlwaysEmpty = true;
};

// Pumps the loop until pred() holds. No time limit: a hang is caught by CTest's.
inline void pumpUntil(vx::LoopMainThread& loop, const std::function<bool()>& pred) {
    while (!loop.runUntil(pred, std::chrono::seconds(1))) {
    }
}

// Assigns recording handlers to a just-constructed worker.
inline std::shared_ptr<Outcome> watch(vx::THttpThread* th) {
    auto out = std::make_shared<Outcome>();
    auto note = [out](const char* what, vx::PReturnInfo info) {
        out->events.push_back(what);
        if (!info->cookie.empty())
            out->cookieAlwaysEmpty = false;
    };
    th->FOnBegin = [out, note](vx::THttpThread*, vx::PReturnInfo i) {
        note("begin", i);
        out->beginCounts.push_back(i->count);
    };
    th->FOnWork = [out, note](vx::THttpThread*, vx::PReturnInfo i) {
        note("work", i);
        out->workCounts.push_back(i->count);
    };
    th->FOnEnd = [note](vx::THttpThread*, vx::PReturnInfo i) { note("end", i); };
    th->FSendDone = [out, note](vx::THttpThread* s, vx::PReturnInfo i) {
        note("done", i);
        out->info = *i;
        out->isutf8 = s->isutf8();
        ++out->doneCount;
    };
    return out;
}

// Waits until every worker has finished and destroyed itself.
inline void drain(vx::LoopMainThread& loop) {
    pumpUntil(loop, [] { return vx::THttpThread::liveCount() == 0; });
    loop.processPending();
}

} // namespace vxtest
