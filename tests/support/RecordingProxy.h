#pragma once
// A small HTTP proxy on an ephemeral port of 127.0.0.1 for tests: it records the request line
// of every request it is sent ("GET http://host:port/path HTTP/1.1", "CONNECT host:443
// HTTP/1.1"), forwards absolute-form requests to 127.0.0.1 at the URL's port whatever the
// host's name (so that no name needs a DNS look-up), and relays the reply. A CONNECT is
// recorded and refused (403): no test here tunnels through it.

#include "support/Loopback.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <poll.h>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vxtest {

class RecordingProxy {
public:
    RecordingProxy() : m_listener(listenLoopback(64)) {
        m_accepting = std::thread([this] { acceptLoop(); });
    }
    ~RecordingProxy() {
        m_stop = true;
        m_accepting.join();
        std::vector<std::thread> workers;
        {
            std::lock_guard lock(m_mutex);
            workers.swap(m_workers);
        }
        for (auto& t : workers)
            t.join();
        ::close(m_listener.fd);
    }
    RecordingProxy(const RecordingProxy&) = delete;
    RecordingProxy& operator=(const RecordingProxy&) = delete;

    int port() const { return m_listener.port; }
    // The proxy's address as a proxy variable takes it.
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port()); }

    // The request lines received so far, in order of arrival.
    std::vector<std::string> requests() const {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    // How many of them contain `part`.
    int count(const std::string& part) const {
        int n = 0;
        for (const auto& r : requests())
            n += r.find(part) != std::string::npos;
        return n;
    }

private:
    // Waits until fd is readable; false once the proxy stops (or the socket fails).
    bool readable(int fd) const {
        while (!m_stop) {
            pollfd p{fd, POLLIN, 0};
            const int rc = ::poll(&p, 1, 100);
            if (rc > 0)
                return true;
            if (rc < 0 && errno != EINTR)
                return false;
        }
        return false;
    }

    static bool sendAll(int fd, const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    void acceptLoop() {
        while (readable(m_listener.fd)) {
            const int fd = ::accept4(m_listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            std::lock_guard lock(m_mutex);
            m_workers.emplace_back([this, fd] {
                serve(fd);
                ::close(fd);
            });
        }
    }

    // One request per connection: the reply is relayed until the target closes.
    void serve(int client) {
        std::string head;
        char buf[16384];
        while (head.find("\r\n\r\n") == std::string::npos) {
            if (!readable(client))
                return;
            const ssize_t n = ::recv(client, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            head.append(buf, static_cast<std::size_t>(n));
        }
        const auto lineEnd = head.find("\r\n");
        const std::string line = head.substr(0, lineEnd);
        {
            std::lock_guard lock(m_mutex);
            m_requests.push_back(line);
        }
        // "METHOD http://host:port/path HTTP/1.x"
        const auto sp1 = line.find(' ');
        const auto sp2 = line.rfind(' ');
        const std::string method = line.substr(0, sp1);
        const std::string target = sp1 < sp2 ? line.substr(sp1 + 1, sp2 - sp1 - 1) : "";
        const std::string version = line.substr(sp2 + 1);
        const auto hostAt = target.find("://");
        if (method == "CONNECT" || target.rfind("http://", 0) != 0 || hostAt == std::string::npos) {
            const std::string refused = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n"
                                        "Connection: close\r\n\r\n";
            sendAll(client, refused.data(), refused.size());
            return;
        }
        const auto pathAt = target.find('/', hostAt + 3);
        const std::string authority = target.substr(hostAt + 3, pathAt - hostAt - 3);
        const std::string path = pathAt == std::string::npos ? "/" : target.substr(pathAt);
        const auto colon = authority.rfind(':');
        const int port = colon == std::string::npos ? 80 : std::stoi(authority.substr(colon + 1));

        // The same request in origin form, the connection closed after the reply.
        std::string forward = method + " " + path + " " + version + "\r\n";
        std::string rest = head.substr(lineEnd + 2);
        for (std::size_t at = 0; at < rest.size();) {
            const auto end = rest.find("\r\n", at);
            const std::string header = rest.substr(at, end - at);
            at = end + 2;
            if (header.empty()) {
                forward += "Connection: close\r\n\r\n" + rest.substr(at);
                break;
            }
            const std::string name = header.substr(0, header.find(':'));
            if (strcasecmp(name.c_str(), "Connection") != 0 &&
                strcasecmp(name.c_str(), "Proxy-Connection") != 0 &&
                strcasecmp(name.c_str(), "Keep-Alive") != 0)
                forward += header + "\r\n";
        }
        const int server = connectLoopback(port);
        if (server < 0) {
            const std::string failed = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n"
                                       "Connection: close\r\n\r\n";
            sendAll(client, failed.data(), failed.size());
            return;
        }
        // A request body beyond what came with the head (none in these tests) is relayed as
        // it comes, until the reply is complete.
        if (sendAll(server, forward.data(), forward.size())) {
            for (;;) {
                pollfd p[2] = {{server, POLLIN, 0}, {client, POLLIN, 0}};
                if (m_stop || ::poll(p, 2, 100) < 0)
                    break;
                if (p[0].revents) {
                    const ssize_t n = ::recv(server, buf, sizeof buf, 0);
                    if (n <= 0 || !sendAll(client, buf, static_cast<std::size_t>(n)))
                        break;
                }
                if (p[1].revents) {
                    const ssize_t n = ::recv(client, buf, sizeof buf, 0);
                    if (n <= 0 || !sendAll(server, buf, static_cast<std::size_t>(n)))
                        break;
                }
            }
        }
        ::close(server);
    }

    Listener m_listener;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::vector<std::thread> m_workers;
    std::thread m_accepting;
};

} // namespace vxtest
