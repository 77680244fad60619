#pragma once
// A cpp-httplib server on an ephemeral port of 127.0.0.1, listening on its own thread from
// construction until destruction.

#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/Loopback.h"

namespace vxtest {

class HttplibServer {
public:
    HttplibServer() {
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        // stop() before the loop runs would be lost and the join would hang.
        while (!m_server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~HttplibServer() {
        m_server.stop();
        m_thread.join();
    }
    HttplibServer(const HttplibServer&) = delete;
    HttplibServer& operator=(const HttplibServer&) = delete;

    httplib::Server& server() { return m_server; }
    int port() const { return m_port; }
    std::string url(const std::string& path) const { return loopbackUrl(m_port, path); }

private:
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

} // namespace vxtest
