// Link server round trips over loopback against a bare Asio echo server in the same run:
// latency (median, p99) and messages per second with 1 and 100 applications.
//
// Our round trip: application -> server -> callback -> sendToApp -> application. The
// baseline's: client -> echo server -> client, the same frames over the same sockets.

#include "BenchReport.h"
#include "tcpserver/LinkProtocol.h"
#include "tcpserver/TCPServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <asio.hpp>
#include <atomic>
#include <cstdio>
#include <dlfcn.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace proto = vxlink::proto;
using Clock = std::chrono::steady_clock;

namespace {

SendToAppProc g_sendToApp = nullptr;

// The client's part: "e:<id>:<payload>" goes back to <id>.
void TCPSERVER_CALL echoBack(const char* text) {
    std::string_view t(text);
    if (!t.starts_with("e:"))
        return;
    std::size_t colon = t.find(':', 2);
    std::string reply = "appID=";
    reply.append(t.substr(2, colon - 2));
    reply += "&parma=";
    reply.append(t.substr(colon + 1));
    g_sendToApp(reply.c_str());
}

// A bare echo server: every byte read is written back.
class EchoServer {
public:
    EchoServer() : m_acceptor(m_io, {asio::ip::make_address("127.0.0.1"), 0}) {
        accept();
        m_thread = std::thread([this] { m_io.run(); });
    }
    ~EchoServer() {
        m_io.stop();
        m_thread.join();
    }
    unsigned short port() const { return m_acceptor.local_endpoint().port(); }

private:
    struct Session : std::enable_shared_from_this<Session> {
        explicit Session(asio::ip::tcp::socket s) : socket(std::move(s)) {}
        void read() {
            socket.async_read_some(asio::buffer(buf),
                                   [self = shared_from_this()](std::error_code ec, std::size_t n) {
                                       if (ec)
                                           return;
                                       asio::async_write(self->socket, asio::buffer(self->buf, n),
                                                         [self](std::error_code e, std::size_t) {
                                                             if (!e)
                                                                 self->read();
                                                         });
                                   });
        }
        asio::ip::tcp::socket socket;
        char buf[65536];
    };
    void accept() {
        m_acceptor.async_accept([this](std::error_code ec, asio::ip::tcp::socket s) {
            if (!ec) {
                s.set_option(asio::ip::tcp::no_delay(true));
                std::make_shared<Session>(std::move(s))->read();
            }
            accept();
        });
    }
    asio::io_context m_io;
    asio::ip::tcp::acceptor m_acceptor;
    std::thread m_thread;
};

// One application over a blocking socket.
class App {
public:
    App(unsigned short port, int id, bool registerFirst) : m_id(std::to_string(id)) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("connect");
        if (registerFirst) {
            sendAll(proto::registrationFrame(id));
            readFrame(); // the acknowledgement
        }
        m_request = proto::frame("e:" + m_id + ":" + std::string(32, 'p'));
    }
    ~App() { ::close(m_fd); }

    void send() { sendAll(m_request); }
    void sendMany(int n) {
        std::string burst;
        for (int i = 0; i < n; ++i)
            burst += m_request;
        sendAll(burst);
    }
    void receive() { readFrame(); }
    double roundTrip() {
        auto t0 = Clock::now();
        send();
        receive();
        return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }

private:
    void sendAll(const std::string& s) {
        std::size_t off = 0;
        while (off < s.size()) {
            ssize_t n = ::send(m_fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                throw std::runtime_error("send");
            off += static_cast<std::size_t>(n);
        }
    }
    void readExactly(char* p, std::size_t n) {
        while (n) {
            ssize_t r = ::recv(m_fd, p, n, 0);
            if (r <= 0)
                throw std::runtime_error("recv");
            p += r;
            n -= static_cast<std::size_t>(r);
        }
    }
    void readFrame() {
        unsigned char h[4];
        readExactly(reinterpret_cast<char*>(h), 4);
        m_body.resize(proto::decodeHeader(h));
        readExactly(m_body.data(), m_body.size());
    }

    int m_fd;
    std::string m_id, m_request, m_body;
};

struct Latency {
    double median, p99;
};

Latency latency(unsigned short port, bool link, int apps, int perApp) {
    std::vector<std::unique_ptr<App>> list;
    for (int i = 0; i < apps; ++i)
        list.push_back(std::make_unique<App>(port, 100 + i, link));
    for (auto& a : list)
        for (int w = 0; w < 20; ++w)
            a->roundTrip(); // warm-up
    std::vector<std::vector<double>> samples(apps);
    std::vector<std::thread> threads;
    for (int i = 0; i < apps; ++i)
        threads.emplace_back([&, i] {
            samples[i].reserve(perApp);
            for (int k = 0; k < perApp; ++k)
                samples[i].push_back(list[i]->roundTrip());
        });
    for (auto& t : threads)
        t.join();
    std::vector<double> all;
    for (auto& s : samples)
        all.insert(all.end(), s.begin(), s.end());
    std::sort(all.begin(), all.end());
    return {all[all.size() / 2], all[std::min(all.size() - 1, all.size() * 99 / 100)]};
}

// Messages per second with `window` requests in flight per application; a few threads share
// the applications.
double throughput(unsigned short port, bool link, int apps, int rounds, int window) {
    std::vector<std::unique_ptr<App>> list;
    for (int i = 0; i < apps; ++i)
        list.push_back(std::make_unique<App>(port, 100 + i, link));
    const int nThreads = std::min(apps, 4);
    auto work = [&](int t, int r) {
        for (int k = 0; k < r; ++k) {
            for (int i = t; i < apps; i += nThreads)
                list[i]->sendMany(window);
            for (int i = t; i < apps; i += nThreads)
                for (int w = 0; w < window; ++w)
                    list[i]->receive();
        }
    };
    for (int t = 0; t < nThreads; ++t)
        work(t, 2); // warm-up
    double secs = vxbench::seconds([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < nThreads; ++t)
            threads.emplace_back(work, t, rounds);
        for (auto& th : threads)
            th.join();
    });
    return static_cast<double>(apps) * rounds * window / secs;
}

} // namespace

int main() {
    void* lib = ::dlopen(TCPSERVER_LIB, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "dlopen: %s\n", ::dlerror());
        return 1;
    }
    auto start = reinterpret_cast<StartServerProc>(::dlsym(lib, "StartServer"));
    auto stop = reinterpret_cast<DisconnectAllProc>(::dlsym(lib, "DisconnectAll"));
    g_sendToApp = reinterpret_cast<SendToAppProc>(::dlsym(lib, "sendToApp"));

    EchoServer echo;
    // A free port: bind to 0, note it, let it go.
    unsigned short port;
    {
        asio::io_context io;
        asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
        port = probe.local_endpoint().port();
    }
    if (start("127.0.0.1", std::to_string(port).c_str(), &echoBack) != TCPSERVER_OK) {
        std::fprintf(stderr, "StartServer failed on port %u\n", port);
        return 1;
    }

    try {
        Latency ours1 = latency(port, true, 1, 5000);
        Latency base1 = latency(echo.port(), false, 1, 5000);
        vxbench::report("link round trip median, 1 app", ours1.median, base1.median, "us");
        vxbench::report("link round trip p99, 1 app", ours1.p99, base1.p99, "us");

        Latency ours100 = latency(port, true, 100, 200);
        Latency base100 = latency(echo.port(), false, 100, 200);
        vxbench::report("link round trip median, 100 apps", ours100.median, base100.median, "us");
        vxbench::report("link round trip p99, 100 apps", ours100.p99, base100.p99, "us");

        double t1 = throughput(port, true, 1, 1000, 64);
        double b1 = throughput(echo.port(), false, 1, 1000, 64);
        vxbench::report("link messages/s, 1 app", t1, b1, "msg/s");
        double t100 = throughput(port, true, 100, 40, 32);
        double b100 = throughput(echo.port(), false, 100, 40, 32);
        vxbench::report("link messages/s, 100 apps", t100, b100, "msg/s");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_link: %s\n", e.what());
        stop();
        return 1;
    }
    stop();
    return 0;
}
