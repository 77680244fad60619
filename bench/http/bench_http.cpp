// Requests per second of the HTTP worker (one thread per request, events handed to a main
// loop) against a bare libcurl easy-handle loop with the same request, both against the
// same loopback server in the same run: 1,000 sequential small GETs, and 1,000 GETs with
// 100 in flight.

#include "BenchReport.h"
#include "core/MainThread.h"
#include "http/HttpThread.h"
#include "support/Loopback.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <curl/curl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRequests = 1000;
constexpr int kParallel = 100;

size_t sink(char*, size_t size, size_t nmemb, void* userp) {
    static_cast<std::string*>(userp)->append(size * nmemb, ' ');
    return size * nmemb;
}

// The same request as the worker's, on one easy handle: HTTP/1.0, the same headers, a new
// connection every time.
class BareClient {
public:
    BareClient() {
        m_easy = curl_easy_init();
        for (const char* h :
             {"User-Agent: %!!#)QWZRTYUIzxcvbp47mkL)ty6", "Connection: close",
              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
              "application/x-shockwave-flash, application/vnd.ms-excel, application/msword, */*",
              "Accept-Language: zh-cn", "Accept-Encoding: gzip, deflate",
              "Cache-Control: no-cache"})
            m_headers = curl_slist_append(m_headers, h);
        curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_headers);
        curl_easy_setopt(m_easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
        curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(m_easy, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(m_easy, CURLOPT_PROXY, "");
        curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &sink);
        curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, &m_body);
    }
    ~BareClient() {
        curl_slist_free_all(m_headers);
        curl_easy_cleanup(m_easy);
    }
    bool get(const std::string& url) {
        m_body.clear();
        curl_easy_setopt(m_easy, CURLOPT_URL, url.c_str());
        return curl_easy_perform(m_easy) == CURLE_OK && !m_body.empty();
    }

private:
    CURL* m_easy = nullptr;
    curl_slist* m_headers = nullptr;
    std::string m_body;
};

// A loopback server with a deep accept queue (so 100 simultaneous connects are not
// dropped and retried), answering every request with one small reply and closing.
class LoopbackServer {
public:
    explicit LoopbackServer(std::string body) {
        m_reply = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        auto listener = vxtest::listenLoopback(1024);
        m_fd = listener.fd;
        m_port = listener.port;
        for (int i = 0; i < 8; ++i)
            m_threads.emplace_back([this] { serve(); });
    }
    ~LoopbackServer() {
        ::shutdown(m_fd, SHUT_RDWR);
        ::close(m_fd);
        for (auto& t : m_threads)
            t.join();
    }
    int port() const { return m_port; }

private:
    void serve() {
        for (;;) {
            int c = ::accept(m_fd, nullptr, nullptr);
            if (c < 0)
                return;
            std::string req;
            char buf[4096];
            while (req.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                req.append(buf, static_cast<std::size_t>(n));
            }
            ::send(c, m_reply.data(), m_reply.size(), MSG_NOSIGNAL);
            ::close(c);
        }
    }

    std::string m_reply;
    int m_fd = -1;
    int m_port = 0;
    std::vector<std::thread> m_threads;
};

} // namespace

int main() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    LoopbackServer server("<?xml version=\"1.0\" encoding=\"utf-8\"?><r statu=\"true\"/>");
    const std::string url = vxtest::loopbackUrl(server.port(), "/small");

    vx::LoopMainThread loop;
    vx::setMainThread(&loop);
    std::atomic<int> failures{0};

    // Ours, sequential: one worker at a time, each waited for on the main loop.
    const double oursSeq = vxbench::seconds([&] {
        for (int i = 0; i < kRequests; ++i) {
            bool done = false;
            auto* th =
                new vx::THttpThread(url, "", "", std::to_string(i), nullptr, vx::kSendGetText);
            th->FSendDone = [&](vx::THttpThread*, vx::PReturnInfo info) {
                if (info->str.empty())
                    ++failures;
                done = true;
            };
            loop.runUntil([&] { return done; }, std::chrono::minutes(5));
        }
    });

    const double bareSeq = vxbench::seconds([&] {
        BareClient client;
        for (int i = 0; i < kRequests; ++i)
            if (!client.get(url))
                ++failures;
    });

    // Ours, parallel: 100 workers in flight, a new one started from each completion.
    const double oursPar = vxbench::seconds([&] {
        int started = 0;
        int finished = 0;
        std::function<void()> startOne = [&] {
            ++started;
            auto* th = new vx::THttpThread(url, "", "", std::to_string(started), nullptr,
                                           vx::kSendGetText);
            th->FSendDone = [&](vx::THttpThread*, vx::PReturnInfo info) {
                if (info->str.empty())
                    ++failures;
                ++finished;
                if (started < kRequests)
                    startOne();
            };
        };
        for (int i = 0; i < kParallel; ++i)
            startOne();
        loop.runUntil([&] { return finished == kRequests; }, std::chrono::minutes(5));
    });

    const double barePar = vxbench::seconds([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kParallel; ++t)
            threads.emplace_back([&] {
                BareClient client;
                for (int i = 0; i < kRequests / kParallel; ++i)
                    if (!client.get(url))
                        ++failures;
            });
        for (auto& t : threads)
            t.join();
    });

    loop.runUntil([] { return vx::THttpThread::liveCount() == 0; }, std::chrono::minutes(1));

    vxbench::report("http GET sequential x1000", kRequests / oursSeq, kRequests / bareSeq, "req/s");
    vxbench::report("http GET 100 parallel x1000", kRequests / oursPar, kRequests / barePar,
                    "req/s");
    if (failures > 0)
        std::fprintf(stderr, "bench_http: %d requests failed\n", failures.load());
    return failures > 0 ? 1 : 0;
}
