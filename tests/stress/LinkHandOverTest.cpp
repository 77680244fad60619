// The link server's messages on their way to a slow main thread, through the client's real
// binding of the library (the path every message takes in the client).
//
// Fault injected: one application floods the client with messages while the main thread takes
// them slowly. Only two outcomes are allowed: every message arrives, in order, and the
// client's memory stays bounded while the flood lasts (the binding holds the server back, the
// server stops reading, TCP pushes back on the sender). Queueing the flood in memory fails.
//
// VX_HANDOVER_MESSAGES changes the size of the flood (default 60,000 messages of 2 KiB).

#include "core/MainThread.h"
#include "link/HelperLibraries.h"
#include "support/Loopback.h"
#include "tcpserver/LinkProtocol.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <malloc.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

namespace proto = vxlink::proto;

long rssKiB() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v ? std::atoi(v) : fallback;
}

} // namespace

TEST(LinkHandOver, AFloodAgainstASlowMainThreadIsHeldBackAndLosesNothing) {
    const int messages = envInt("VX_HANDOVER_MESSAGES", 60000);
    const std::string pad(2048, 'x');

    vx::LoopMainThread loop;
    vx::setMainThread(&loop);
    vx::HelperLibraries libs;
    ASSERT_TRUE(libs.bindLinkServer(VX_LIB_DIR).ok());
    const int port = vxtest::freePort();
    ASSERT_TRUE(libs.StartServer("127.0.0.1", std::to_string(port)));

    std::atomic<int> next{0};
    std::vector<std::string> faults;
    bool online = false;
    vx::setLinkMessageHandler([&](const std::string& text) {
        if (text.rfind(std::string(proto::kOnline), 0) == 0) {
            online = true;
            return;
        }
        if (text.rfind(std::string(proto::kOffline), 0) == 0)
            return;
        const std::string expected = "m" + std::to_string(next.load()) + " ";
        if (text.rfind(expected, 0) != 0 && faults.size() < 5)
            faults.push_back("expected " + expected + ", got " + text.substr(0, 20));
        ++next;
        // A busy main thread: each message takes a while.
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(30);
        while (std::chrono::steady_clock::now() < until) {
        }
    });

    ::malloc_trim(0);
    const long before = rssKiB();
    std::atomic<long> peak{before};
    std::atomic<bool> sent{false};
    std::thread sampler([&] {
        while (!sent.load() || next < messages) {
            peak = std::max(peak.load(), rssKiB());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (next >= messages)
                break;
        }
    });
    std::thread sender([&] {
        const int fd = vxtest::connectLoopback(port, 60);
        const std::string reg = proto::registrationFrame(4242);
        (void)::send(fd, reg.data(), reg.size(), MSG_NOSIGNAL);
        std::string batch;
        for (int i = 0; i < messages; ++i) {
            batch += proto::frame("m" + std::to_string(i) + " " + pad);
            if (batch.size() > 256 * 1024 || i + 1 == messages) {
                if (::send(fd, batch.data(), batch.size(), MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(batch.size()))
                    break;
                batch.clear();
            }
        }
        sent = true;
        // Closed only once everything was taken, so that nothing waits in the socket.
        while (next < messages)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::close(fd);
    });

    const bool all = loop.runUntil([&] { return next >= messages; }, std::chrono::minutes(10));
    sent = true;
    sender.join();
    sampler.join();
    libs.DisconnectAllAndUnload();
    loop.processPending();
    vx::setLinkMessageHandler(nullptr);
    vx::setMainThread(nullptr);

    EXPECT_TRUE(online);
    ASSERT_TRUE(all) << "only " << next.load() << " of " << messages << " messages arrived";
    EXPECT_EQ(next.load(), messages);
    for (const auto& f : faults)
        ADD_FAILURE() << f;
    const long grown = peak.load() - before;
    std::printf("flood of %d x %zu bytes: the process grew by at most %ld KiB\n", messages,
                pad.size(), grown);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    (void)grown; // the sanitizers' quarantine and shadow make the RSS meaningless
#else
    // The flood is 120 MiB; what may wait in the hand-over is a few MiB.
    EXPECT_LT(grown, 32 * 1024) << "the flood was queued in memory";
#endif
}
