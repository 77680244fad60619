#pragma once
// A cpp-httplib HTTPS server on an ephemeral port of 127.0.0.1, with a certificate of the
// test CA in tests/support/certs (make-certs.sh there): "server" (for 127.0.0.1 and
// localhost), "wronghost" (for another name) or "expired". Clients trust it through
// certsFile("ca.pem"). Register the handlers first, as with HttplibServer.

#include <httplib.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace vxtest {

// Full path of a file of the test certificates' folder.
inline std::string certsFile(const std::string& name) {
    std::string here = __FILE__;
    return here.substr(0, here.find_last_of('/') + 1) + "certs/" + name;
}

class TlsServer {
public:
    explicit TlsServer(const std::string& certificate = "server")
        : m_server(certsFile(certificate + ".pem").c_str(), certsFile(certificate + ".key").c_str()) {}
    ~TlsServer() {
        if (m_thread.joinable()) {
            m_server.stop();
            m_thread.join();
        }
    }
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    httplib::SSLServer& server() { return m_server; }
    bool valid() const { return m_server.is_valid(); }
    void start() const {
        std::call_once(m_started, [this] {
            m_port = m_server.bind_to_any_port("127.0.0.1");
            m_thread = std::thread([this] { m_server.listen_after_bind(); });
            while (!m_server.is_running())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    }
    int port() const {
        start();
        return m_port;
    }
    // https://127.0.0.1:PORT/path (or another host name that resolves to loopback).
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const {
        return "https://" + host + ":" + std::to_string(port()) + "/" +
               (path.starts_with("/") ? path.substr(1) : path);
    }

private:
    mutable httplib::SSLServer m_server;
    mutable std::once_flag m_started;
    mutable int m_port = 0;
    mutable std::thread m_thread;
};

} // namespace vxtest
