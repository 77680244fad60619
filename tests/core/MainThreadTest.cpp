#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/Background.h"
#include "core/Crypto.h"
#include "core/Digests.h"
#include "core/MainThread.h"
#include "platform/Platform.h"
#include "support/TempDir.h"

using namespace vx;

TEST(LoopMainThread, InvokeRunsOnTheMainThreadAndWaits) {
    LoopMainThread loop;
    std::atomic<int> done{0};
    std::vector<std::thread> workers;
    int counter = 0; // touched only on the main thread, so no lock
    for (int i = 0; i < 8; ++i)
        workers.emplace_back([&] {
            for (int k = 0; k < 100; ++k)
                loop.invoke([&] {
                    EXPECT_TRUE(loop.isMainThread());
                    ++counter;
                });
            ++done;
        });
    EXPECT_TRUE(loop.runUntil([&] { return done == 8; }));
    for (auto& t : workers)
        t.join();
    EXPECT_EQ(counter, 800);
}

TEST(LoopMainThread, PostKeepsOrderAndInvokeOnMainRunsInline) {
    LoopMainThread loop;
    std::vector<int> seen;
    std::thread t([&] {
        for (int i = 0; i < 50; ++i)
            loop.post([&seen, i] { seen.push_back(i); });
    });
    t.join();
    int ran = 0;
    loop.invoke([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(loop.processPending(), 50);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
}

TEST(LoopMainThread, ExceptionOfAnInvokedCallReachesTheCaller) {
    LoopMainThread loop;
    std::atomic<bool> caught{false};
    std::thread t([&] {
        try {
            loop.invoke([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error&) {
            caught = true;
        }
    });
    EXPECT_TRUE(loop.runUntil([&] { return caught.load(); }));
    t.join();
}

TEST(MainThreadRegistry, SetAndGet) {
    LoopMainThread loop;
    setMainThread(&loop);
    EXPECT_EQ(&mainThread(), &loop);
    setMainThread(nullptr);
}

TEST(Background, WithoutThreadsTheWorkRunsAnywayAndEndsOnTheMainThread) {
    LoopMainThread loop;
    setMainThread(&loop);
    vxtest::TempDir dir("nothread");
    std::vector<DigestRequest> files;
    for (int i = 0; i < 6; ++i)
        files.push_back({dir.write("f" + std::to_string(i), std::string(1000 + i, 'a')),
                         DigestKind::Md5});
    // For each number of thread starts that fail (none, some, all of the pool, the job's own
    // too), the digests are all there and the continuation runs once, on the main thread.
    for (int failing : {0, 1, 2, 8}) {
        failThreadStartsForTests(failing);
        std::vector<Digest> got;
        int calls = 0;
        computeDigests(files, "", [&](std::vector<Digest> d) {
            EXPECT_TRUE(loop.isMainThread());
            got = std::move(d);
            ++calls;
        });
        ASSERT_TRUE(loop.runUntil([&] { return calls == 1; })) << failing;
        ASSERT_EQ(got.size(), files.size());
        for (std::size_t i = 0; i < files.size(); ++i)
            EXPECT_EQ(got[i], FileMD5(files[i].path).value()) << failing << " " << i;
        EXPECT_EQ(backgroundJobsRunning(), 0);
    }
    failThreadStartsForTests(0);
    setMainThread(nullptr);
}

TEST(DigestCache, FilesOfAVolumeWithoutChangeTimesAreReadEveryTime) {
    LoopMainThread loop;
    setMainThread(&loop);
    setDigestCacheSettleTime(std::chrono::nanoseconds(0));
    vxtest::TempDir dir("fatcache");
    const std::string file = dir.write("app.bin", std::string(4096, 'a'));
    const std::string cache = dir.file("version.digests");
    auto readsOfOneCheck = [&] {
        const long long before = digestFilesRead();
        bool done = false;
        computeDigests(std::vector<std::string>{file}, cache, [&](std::vector<Digest>) { done = true; });
        EXPECT_TRUE(loop.runUntil([&] { return done; }));
        return digestFilesRead() - before;
    };
    // A volume that keeps change times: the second check reads nothing.
    for (const bool keeps : {true, false}) {
        std::filesystem::remove(cache);
        setChangeTimeProbeForTests([keeps](const std::string&) { return keeps; });
        EXPECT_EQ(readsOfOneCheck(), 1) << keeps;
        EXPECT_EQ(readsOfOneCheck(), keeps ? 0 : 1) << keeps;
        // On FAT nothing is recorded that a same-size replacement could match.
        EXPECT_EQ(vxtest::readFile(cache).find("app.bin") != std::string::npos, keeps);
    }
    setChangeTimeProbeForTests(nullptr);
    setDigestCacheSettleTime(std::chrono::seconds(2));
    // This machine's own temporary folder keeps them.
    EXPECT_TRUE(platform::keepsChangeTimes(dir.path().string()));
    setMainThread(nullptr);
}
