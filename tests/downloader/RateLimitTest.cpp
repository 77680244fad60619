// DownLoaderSetRateLimit: one bandwidth limit for every transfer of the library, against
// servers on 127.0.0.1 that would otherwise deliver at once. The checks are lower bounds on
// the time taken: no byte may be written before the limit allows it.

#include <chrono>
#include <filesystem>

#include "DownloaderHarness.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace dltest;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

class RateLimits : public ::testing::Test {
protected:
    void SetUp() override {
        Library::get();
        m_http.server().Get("/blob/(\\d+)", [](const httplib::Request& req, httplib::Response& res) {
            std::size_t n = std::stoul(req.matches[1]);
            res.set_content(pattern(n, static_cast<unsigned>(n)), "application/octet-stream");
        });
    }
    void TearDown() override {
        Library::get().setRateLimit(0);
        Library::get().setMinimumRate(0, 0);
        Library::get().setTimings(Library::kConnectMs, Library::kStallSeconds, Library::kRetryMs);
    }

    vxtest::TempDir m_dir{"rate"};
    HttpServer m_http;
};

struct LimitCase {
    const char* what;
    int limit;                       // bytes per second
    std::vector<std::size_t> files;  // one call per file, all at once
    int trickleWindowMs, trickleMin; // the trickle rule during the case (0: the default)
    int stallSeconds = Library::kStallSeconds;
};

// Each call's file arrives whole, and all of them together took at least their bytes over
// the limit, however many calls shared it.
TEST_F(RateLimits, TransfersTogetherNeverExceedTheLimit) {
    const LimitCase cases[] = {
        {"one call", 256 * 1024, {512 * 1024}, 0, 0},
        {"two calls share it", 256 * 1024, {384 * 1024, 384 * 1024}, 0, 0},
        // 8 KiB/s for each call, far below a minimum rate of 64 KiB/s: the limit's own
        // holding back must not pass for a trickling server.
        {"below the minimum rate", 16 * 1024, {16 * 1024, 16 * 1024}, 500, 64 * 1024},
        // Each piece of 1 KiB waits two seconds, twice the stall time.
        {"slower than the stall time", 512, {1536}, 0, 0, 1},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.what);
        auto& lib = Library::get();
        lib.setMinimumRate(c.trickleWindowMs, c.trickleMin);
        lib.setTimings(Library::kConnectMs, c.stallSeconds, Library::kRetryMs);
        ASSERT_EQ(lib.setRateLimit(c.limit), 0);
        std::vector<int> ids;
        std::size_t total = 0;
        const auto t0 = Clock::now();
        for (std::size_t i = 0; i < c.files.size(); ++i) {
            ids.push_back(start({m_http.url("/blob/" + std::to_string(c.files[i]))},
                                {m_dir.file(std::string(c.what) + "/" + std::to_string(i) + ".bin")}));
            total += c.files[i];
        }
        for (std::size_t i = 0; i < ids.size(); ++i) {
            auto msgs = Messages::get().waitFinal(ids[i]);
            expectSuccess(msgs);
            EXPECT_FALSE(hasText(msgs, "正在重试")) << "the limit made an attempt fail";
            EXPECT_EQ(vxtest::readFile(m_dir.file(std::string(c.what) + "/" + std::to_string(i) + ".bin")),
                      pattern(c.files[i], static_cast<unsigned>(c.files[i])));
        }
        const double elapsed = secondsSince(t0);
        EXPECT_GE(elapsed, double(total) / c.limit) << total << " bytes in " << elapsed << " s";
        lib.setRateLimit(0);
    }
}

// A limit set while a transfer runs holds back the rest of that very transfer.
TEST_F(RateLimits, ALimitSetMidTransferAppliesToTheRunningTransfer) {
    constexpr std::size_t kFirst = 64 * 1024, kRest = 512 * 1024;
    constexpr int kLimit = 256 * 1024;
    const std::string body = pattern(kFirst + kRest, 23);
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false;
    RawServer server([&](int, const std::string&, int fd) {
        RawServer::sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                   "\r\nConnection: close\r\n\r\n" + body.substr(0, kFirst));
        std::unique_lock lock(mutex);
        cv.wait_for(lock, std::chrono::minutes(1), [&] { return release; }); // not for ever: a failed test
        lock.unlock();
        RawServer::sendAll(fd, body.substr(kFirst));
    });
    const int id = start({server.url("/f.bin")}, {m_dir.file("f.bin")});
    ASSERT_TRUE(fileArrived(m_dir.path(), ".f.bin.vxdl-", kFirst));
    Library::get().setRateLimit(kLimit);
    const auto t0 = Clock::now();
    {
        std::lock_guard lock(mutex);
        release = true;
        cv.notify_all();
    }
    expectSuccess(Messages::get().waitFinal(id));
    const double elapsed = secondsSince(t0);
    EXPECT_GE(elapsed, double(kRest) / kLimit);
    EXPECT_EQ(vxtest::readFile(m_dir.file("f.bin")), body);
}

} // namespace
