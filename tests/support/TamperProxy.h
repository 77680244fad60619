#pragma once
// A man in the middle for tests: an HTTP server on an ephemeral port of 127.0.0.1 that
// forwards every request to a service on loopback and relays its reply, after a rule of the
// test has had its way with the reply's body (one byte changed, say). Clients use it as
// their service's base URL, as a poisoned name or a hostile router would put it on their
// path.

#include <httplib.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vxtest {

class TamperProxy {
public:
    // Changes the body of the reply to a GET of `path` (with its query); true when it did.
    using Rule = std::function<bool(const std::string& path, std::string& body)>;

    explicit TamperProxy(int upstreamPort) : m_upstream(upstreamPort) {
        auto forward = [this](const httplib::Request& req, httplib::Response& res,
                              const std::string& requestBody, const std::string& type) {
            {
                // Noted before the reply goes on: a client that has it has been counted.
                std::lock_guard lock(m_mutex);
                m_requests.push_back(req.method + " " + req.path);
            }
            httplib::Client up("127.0.0.1", m_upstream);
            // Bodies are changed decoded; the proxy's own server encodes its replies again.
            up.set_decompress(true);
            up.set_read_timeout(60);
            httplib::Headers headers;
            for (const auto& [k, v] : req.headers)
                if (k != "Host" && k != "Content-Length" && k != "Content-Type" && k != "REMOTE_ADDR" &&
                    k != "REMOTE_PORT" && k != "LOCAL_ADDR" && k != "LOCAL_PORT")
                    headers.emplace(k, v);
            auto r = req.method == "POST" ? up.Post(req.target, headers, requestBody, type)
                                          : up.Get(req.target, headers);
            if (!r) {
                res.status = 502;
                return;
            }
            std::string body = r->body;
            if (req.method == "GET") {
                std::lock_guard lock(m_mutex);
                if (m_rule && m_rule(req.path, body))
                    ++m_tampered;
            }
            res.status = r->status;
            for (const auto& [k, v] : r->headers)
                if (k != "Content-Length" && k != "Content-Type" && k != "Transfer-Encoding" &&
                    k != "Content-Encoding" &&
                    k != "Connection" && k != "Keep-Alive")
                    res.set_header(k, v);
            res.set_content(body, r->get_header_value("Content-Type"));
        };
        m_server.Get(R"(/.*)", [forward](const httplib::Request& req, httplib::Response& res) {
            forward(req, res, {}, {});
        });
        // The server library takes a multipart body apart as it reads it: it is put together
        // again, part by part, under a boundary of the proxy's own.
        m_server.Post(R"(/.*)", [forward](const httplib::Request& req, httplib::Response& res,
                                          const httplib::ContentReader& read) {
            std::string body;
            if (!req.is_multipart_form_data()) {
                read([&](const char* data, size_t n) {
                    body.append(data, n);
                    return true;
                });
                return forward(req, res, body, req.get_header_value("Content-Type"));
            }
            const std::string boundary = "vxTamperProxyBoundary";
            bool first = true;
            read(
                [&](const httplib::MultipartFormData& part) {
                    body += std::string(first ? "" : "\r\n") + "--" + boundary +
                            "\r\nContent-Disposition: form-data; name=\"" + part.name + "\"" +
                            (part.filename.empty() ? "" : "; filename=\"" + part.filename + "\"") +
                            "\r\n" +
                            (part.content_type.empty() ? "" : "Content-Type: " + part.content_type + "\r\n") +
                            "\r\n";
                    first = false;
                    return true;
                },
                [&](const char* data, size_t n) {
                    body.append(data, n);
                    return true;
                });
            body += "\r\n--" + boundary + "--\r\n";
            forward(req, res, body, "multipart/form-data; boundary=" + boundary);
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~TamperProxy() {
        m_server.stop();
        m_thread.join();
    }
    TamperProxy(const TamperProxy&) = delete;
    TamperProxy& operator=(const TamperProxy&) = delete;

    std::string base() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }
    void setRule(Rule rule) {
        std::lock_guard lock(m_mutex);
        m_rule = std::move(rule);
    }
    // Replies the rule changed so far.
    int tampered() const { return m_tampered.load(); }
    // Requests ("GET /path") that begin with `prefix`, so far.
    int requests(const std::string& prefix) {
        std::lock_guard lock(m_mutex);
        int n = 0;
        for (const auto& r : m_requests)
            n += r.rfind(prefix, 0) == 0;
        return n;
    }

    // A rule that flips one byte in the middle of the reply to a GET of exactly `path`.
    static Rule flipByteOf(std::string path) {
        return [path](const std::string& p, std::string& body) {
            if (p != path || body.empty())
                return false;
            body[body.size() / 2] = static_cast<char>(body[body.size() / 2] ^ 0x01);
            return true;
        };
    }

    // A descriptor at `path` whose <version> gets a "9" in front: its signature no longer fits.
    static Rule bumpVersionOf(std::string path) {
        return [path](const std::string& p, std::string& body) {
            const auto at = body.find("<version>");
            if (p != path || at == std::string::npos)
                return false;
            body.insert(at + 9, "9");
            return true;
        };
    }

private:
    int m_upstream;
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    Rule m_rule;
    std::vector<std::string> m_requests;
    std::atomic<int> m_tampered{0};
};

} // namespace vxtest
