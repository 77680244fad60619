#pragma once
// A cpp-httplib server on an ephemeral port of 127.0.0.1, listening on its own thread.
// Register the handlers first: the server starts listening when its port or a URL is first
// asked for (or at start()), so that no handler is added while requests are served.

#include <httplib.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "support/Loopback.h"

namespace vxtest {

// The server type is httplib::Server or httplib::SSLServer (whose certificate files the
// constructor passes on).
template <typename Server>
class LoopbackServer {
public:
    template <typename... Args>
    explicit LoopbackServer(Args&&... args) : m_server(std::forward<Args>(args)...) {}
    ~LoopbackServer() {
        if (m_thread.joinable()) {
            m_server.stop();
            m_thread.join();
        }
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    Server& server() { return m_server; }
    void start() const {
        std::call_once(m_started, [this] {
            m_port = m_server.bind_to_any_port("127.0.0.1");
            m_thread = std::thread([this] { m_server.listen_after_bind(); });
            // stop() before the loop runs would be lost and the join would hang.
            while (!m_server.is_running())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    }
    int port() const {
        start();
        return m_port;
    }

protected:
    mutable Server m_server;

private:
    mutable std::once_flag m_started;
    mutable int m_port = 0;
    mutable std::thread m_thread;
};

class HttplibServer : public LoopbackServer<httplib::Server> {
public:
    std::string url(const std::string& path) const { return loopbackUrl(port(), path); }
};

} // namespace vxtest
