// Downloads through the real library against servers on 127.0.0.1.

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <set>

#include "DownloaderHarness.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace dltest;

namespace {

class Downloads : public ::testing::Test {
protected:
    void SetUp() override {
        Library::get();
        m_http.server().Get("/blob/(\\d+)", [this](const httplib::Request& req, httplib::Response& res) {
            ++m_hits;
            std::size_t n = std::stoul(req.matches[1]);
            res.set_content(pattern(n, static_cast<unsigned>(n)), "application/octet-stream");
        });
        // A body of unknown length (chunked).
        m_http.server().Get("/chunked/(\\d+)", [](const httplib::Request& req, httplib::Response& res) {
            std::size_t n = std::stoul(req.matches[1]);
            auto body = std::make_shared<std::string>(pattern(n, static_cast<unsigned>(n)));
            res.set_chunked_content_provider("application/octet-stream",
                                             [body](std::size_t offset, httplib::DataSink& sink) {
                                                 std::size_t k = std::min<std::size_t>(8192, body->size() - offset);
                                                 sink.write(body->data() + offset, k);
                                                 if (offset + k == body->size())
                                                     sink.done();
                                                 return true;
                                             });
        });
        m_http.server().Get("/missing", [this](const httplib::Request&, httplib::Response& res) {
            ++m_hits;
            res.status = 404;
            res.set_content("not here", "text/plain");
        });
    }

    std::atomic<int> m_hits{0};
    vxtest::TempDir m_dir{"dl"};
    // Last, so that it stops serving before the members its handlers use go away.
    HttpServer m_http;
};

TEST_F(Downloads, OneFileLandsInMissingFoldersWithNothingElseLeft) {
    std::string target = m_dir.file("a/b/c/file.bin");
    auto msgs = download({m_http.url("/blob/300000")}, {target});
    expectSuccess(msgs);
    EXPECT_TRUE(hasText(msgs, "正在下载 file.bin"));
    EXPECT_EQ(vxtest::readFile(target), pattern(300000, 300000));
    EXPECT_EQ(listing(m_dir.path()), (std::set<std::string>{"a", "a/b", "a/b/c", "a/b/c/file.bin"}));
}

TEST_F(Downloads, SeveralFilesReplaceOldOnesAndProgressCoversAllBytes) {
    m_dir.write("old.bin", "old content");
    auto msgs = download({m_http.url("/blob/100000"), m_http.url("/chunked/50000"), m_http.url("/blob/1"),
                          m_http.url("/blob/0"), m_http.url("/blob/2000000")},
                         {m_dir.file("x/one.bin"), m_dir.file("two.bin"), m_dir.file("old.bin"),
                          m_dir.file("empty.bin"), m_dir.file("big.bin")});
    expectSuccess(msgs);
    EXPECT_EQ(vxtest::readFile(m_dir.file("x/one.bin")), pattern(100000, 100000));
    EXPECT_EQ(vxtest::readFile(m_dir.file("two.bin")), pattern(50000, 50000));
    EXPECT_EQ(vxtest::readFile(m_dir.file("old.bin")), pattern(1, 1));
    EXPECT_TRUE(fs::exists(m_dir.file("empty.bin")));
    EXPECT_EQ(fs::file_size(m_dir.file("empty.bin")), 0u);
    EXPECT_EQ(vxtest::readFile(m_dir.file("big.bin")), pattern(2000000, 2000000));
    EXPECT_TRUE(hasText(msgs, "（5/5）"));
    // The big last file carries most bytes: the percentage moves through it in steps.
    EXPECT_GT(progressOf(msgs).size(), 20u);
    EXPECT_EQ(listing(m_dir.path()).size(), 6u); // five files and the folder x
}

TEST_F(Downloads, PartsLeftByEndedProcessesAreCleanedUp) {
    // Downloads, kept old files and a stage of killed processes (no such process id), the
    // same of a running process (pid 1), and names the library never makes.
    m_dir.write(".f.bin.vxdl-999999999-0", "left by a crash");
    m_dir.write(".other.bin.vxdl-999999999-0", "another target's");
    m_dir.write(".other.bin.vxold-999999999-3", "a kept old file");
    m_dir.write(".app.vxstage-999999999-0/files/a/b.txt", "a stage");
    m_dir.write(".f.bin.vxdl-1-0", "still being written");
    m_dir.write(".app.vxstage-1-0/files/x", "a running stage");
    m_dir.write(".f.bin.vxdl-999999999-x", "not a name of ours");
    m_dir.write("f.bin.vxdl-999999999-0", "not hidden: not ours");
    expectSuccess(download({m_http.url("/blob/10")}, {m_dir.file("f.bin")}));
    EXPECT_EQ(listing(m_dir.path()),
              (std::set<std::string>{"f.bin", ".f.bin.vxdl-1-0", ".app.vxstage-1-0", ".app.vxstage-1-0/files",
                                     ".app.vxstage-1-0/files/x", ".f.bin.vxdl-999999999-x",
                                     "f.bin.vxdl-999999999-0"}));
}

TEST_F(Downloads, NotFoundFailsAtOnceAndKeepsTheOldFile) {
    std::string target = m_dir.write("keep.txt", "old");
    auto msgs = download({m_http.url("/missing")}, {target});
    expectFailure(msgs);
    EXPECT_TRUE(hasText(msgs, "404"));
    EXPECT_EQ(m_hits.load(), 1) << "a missing file is not asked for again";
    EXPECT_EQ(vxtest::readFile(target), "old");
    EXPECT_EQ(listing(m_dir.path()), std::set<std::string>{"keep.txt"});
}

TEST_F(Downloads, AFailingFileLeavesEveryFileOfTheCallAsItWas) {
    m_dir.write("1.bin", "old one");
    auto msgs = download({m_http.url("/blob/10"), m_http.url("/missing"), m_http.url("/blob/20")},
                         {m_dir.file("1.bin"), m_dir.file("2.bin"), m_dir.file("3.bin")});
    expectFailure(msgs);
    EXPECT_TRUE(hasText(msgs.back(), "2.bin"));
    EXPECT_EQ(vxtest::readFile(m_dir.file("1.bin")), "old one") << "a file of a failed update was placed";
    EXPECT_EQ(listing(m_dir.path()), std::set<std::string>{"1.bin"});
}

TEST_F(Downloads, ConnectionRefusedIsRetriedThenReported) {
    std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/x.bin";
    auto msgs = download({url}, {m_dir.file("x.bin")});
    expectFailure(msgs);
    EXPECT_TRUE(hasText(msgs.back(), "无法连接服务器"));
    EXPECT_TRUE(hasText(msgs, "第 5 次，共 5 次"));
    EXPECT_TRUE(listing(m_dir.path()).empty());
}

TEST_F(Downloads, UnwritableTargetsFail) {
    std::string file = m_dir.write("plain", "a regular file");
    // Parent folder is a regular file: no folder can be made there, root or not.
    auto msgs = download({m_http.url("/blob/10")}, {file + "/sub/x.bin"});
    expectFailure(msgs);
    EXPECT_TRUE(hasText(msgs.back(), "x.bin"));
    // A package whose folder cannot be made.
    msgs = download({m_http.url("/blob/10")}, {m_dir.file("p.zip")}, file + "/app");
    expectFailure(msgs);
    // A target that is a folder.
    fs::create_directories(m_dir.file("taken"));
    msgs = download({m_http.url("/blob/10")}, {m_dir.file("taken")});
    expectFailure(msgs);
    EXPECT_EQ(vxtest::readFile(file), "a regular file");
}

TEST_F(Downloads, OverlappingCallsEachFinish) {
    std::vector<int> ids;
    for (int i = 0; i < 6; ++i) {
        int id = nextId();
        ids.push_back(id);
        std::string u = m_http.url("/blob/" + std::to_string(400000 + i)) + "\r\n";
        std::string p = m_dir.file("c" + std::to_string(i) + ".bin") + "\r\n";
        ASSERT_EQ(Library::get().downFile(u.c_str(), p.c_str(), "", 5, id, &Messages::notify), 0);
    }
    for (int i = 0; i < 6; ++i) {
        expectSuccess(Messages::get().waitFinal(ids[i]));
        EXPECT_EQ(vxtest::readFile(m_dir.file("c" + std::to_string(i) + ".bin")),
                  pattern(400000 + i, 400000 + i));
    }
}

TEST_F(Downloads, BadArgumentsAreReportedOrRefused) {
    // More addresses than paths.
    auto msgs = download({m_http.url("/blob/1"), m_http.url("/blob/2")}, {m_dir.file("1.bin")});
    expectFailure(msgs);
    msgs = download({}, {});
    expectFailure(msgs);
    // A scheme other than http(s) is never read.
    std::string secret = m_dir.write("secret.txt", "s");
    msgs = download({"file://" + secret}, {m_dir.file("copy.txt")});
    expectFailure(msgs);
    EXPECT_FALSE(fs::exists(m_dir.file("copy.txt")));
    // Without a callback nothing could be reported: refused at once.
    EXPECT_EQ(Library::get().downFile("http://127.0.0.1/\r\n", "/tmp/x\r\n", "", 5, 1, nullptr), -1);
}

TEST_F(Downloads, ChineseNamesTravelInTheAnsiCodePage) {
    std::string target = m_dir.file("中文目录/文件.bin");
    auto msgs = download({m_http.url("/blob/1000")}, {target});
    expectSuccess(msgs);
    EXPECT_TRUE(hasText(msgs, "正在下载 文件.bin"));
    EXPECT_EQ(vxtest::readFile(target), pattern(1000, 1000));
}

// --- Resuming -------------------------------------------------------------------------------

constexpr std::size_t kSize = 200000;
constexpr std::size_t kCut = 81920;

std::string head200(std::size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) +
           "\r\nAccept-Ranges: bytes\r\nETag: \"v1\"\r\nConnection: close\r\n\r\n";
}
std::string head206(std::size_t start, std::size_t end, std::size_t total, const std::string& etag = "\"v1\"") {
    return "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(end - start + 1) +
           "\r\nContent-Range: bytes " + std::to_string(start) + "-" + std::to_string(end) + "/" +
           std::to_string(total) + "\r\nETag: " + etag + "\r\nConnection: close\r\n\r\n";
}
bool hasRange(const std::string& request) {
    return vx::icontains(request, "\r\nRange:");
}

// The second answer of a server whose first connection was cut after kCut bytes.
enum class SecondAnswer { HonoursRange, IgnoresRange, WrongStart, ChangedFile };

struct ResumeCase {
    SecondAnswer answer;
    bool thirdRequestStartsOver;
    // Through DownFileSha256: the digest, computed while the bytes arrive, must follow every
    // resumed, emptied and restarted part.
    bool checked = false;
};

class Resume : public ::testing::TestWithParam<ResumeCase> {};

TEST_P(Resume, CutConnectionEndsWithTheWholeFile) {
    Library::get();
    const std::string body = pattern(kSize, 7);
    const SecondAnswer answer = GetParam().answer;
    RawServer server([&](int n, const std::string& request, int fd) {
        if (n == 0) {
            RawServer::sendAll(fd, head200(kSize) + body.substr(0, kCut));
            return; // cut mid-body
        }
        if (n == 1 && hasRange(request)) {
            switch (answer) {
            case SecondAnswer::HonoursRange:
                RawServer::sendAll(fd, head206(kCut, kSize - 1, kSize) + body.substr(kCut));
                return;
            case SecondAnswer::IgnoresRange:
                break;
            case SecondAnswer::WrongStart:
                RawServer::sendAll(fd, head206(0, kSize - 1, kSize) + body);
                return;
            case SecondAnswer::ChangedFile:
                RawServer::sendAll(fd, head206(kCut, kSize + 99, kSize + 100, "\"v2\"") + body.substr(kCut) +
                                           std::string(100, 'x'));
                return;
            }
        }
        RawServer::sendAll(fd, head200(kSize) + body);
    });
    vxtest::TempDir dir("resume");
    std::string target = dir.file("f.bin");
    auto msgs = GetParam().checked ? downloadChecked({server.url("/f.bin")}, {target}, {sha256Of(body)})
                                   : download({server.url("/f.bin")}, {target});
    expectSuccess(msgs);
    EXPECT_EQ(vxtest::readFile(target), body);
    EXPECT_TRUE(hasText(msgs, "正在重试"));

    auto requests = server.requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_FALSE(hasRange(requests[0]));
    EXPECT_TRUE(vx::icontains(requests[1], "Range: bytes=" + std::to_string(kCut) + "-"));
    EXPECT_TRUE(vx::icontains(requests[1], "If-Range: \"v1\""));
    if (GetParam().thirdRequestStartsOver) {
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_FALSE(hasRange(requests[2]));
    } else {
        EXPECT_EQ(requests.size(), 2u);
    }
    EXPECT_EQ(listing(dir.path()), std::set<std::string>{"f.bin"});
}

INSTANTIATE_TEST_SUITE_P(Answers, Resume,
                         ::testing::Values(ResumeCase{SecondAnswer::HonoursRange, false},
                                           ResumeCase{SecondAnswer::IgnoresRange, false},
                                           ResumeCase{SecondAnswer::WrongStart, true},
                                           ResumeCase{SecondAnswer::ChangedFile, true},
                                           ResumeCase{SecondAnswer::HonoursRange, false, true},
                                           ResumeCase{SecondAnswer::IgnoresRange, false, true},
                                           ResumeCase{SecondAnswer::WrongStart, true, true},
                                           ResumeCase{SecondAnswer::ChangedFile, true, true}));

// Parts nobody asked for, or whose length contradicts their range, are not written: the
// attempt is spent and the next one starts over without a range.
TEST(ResumeLimits, UnaskedOrSelfContradictingPartsStartOver) {
    Library::get();
    const std::string body = pattern(kSize, 11);
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant == 0 ? "206 to a plain GET" : "Content-Length against Content-Range");
        RawServer server([&](int n, const std::string& request, int fd) {
            if (n == 0 && variant == 0) {
                // A believable part of a larger file, except that no Range was sent.
                RawServer::sendAll(fd, head206(0, kSize - 1, kSize + 10) + body);
                return;
            }
            if (n == 0) {
                RawServer::sendAll(fd, head200(kSize) + body.substr(0, kCut));
                return;
            }
            if (n == 1 && hasRange(request)) {
                // The right start and total, but the announced length is one byte short.
                std::string head = head206(kCut, kSize - 1, kSize);
                const std::string cl = "Content-Length: " + std::to_string(kSize - kCut);
                head.replace(head.find(cl), cl.size(), "Content-Length: " + std::to_string(kSize - kCut - 1));
                RawServer::sendAll(fd, head + body.substr(kCut, kSize - kCut - 1));
                return;
            }
            RawServer::sendAll(fd, head200(kSize) + body);
        });
        vxtest::TempDir dir("unasked");
        std::string target = dir.file("f.bin");
        auto msgs = download({server.url("/f.bin")}, {target});
        expectSuccess(msgs);
        EXPECT_EQ(vxtest::readFile(target), body);
        auto requests = server.requests();
        ASSERT_EQ(requests.size(), variant == 0 ? 2u : 3u);
        EXPECT_FALSE(hasRange(requests.back())) << "the attempt after the refused part starts over";
    }
}

TEST(ResumeLimits, AServerThatAlwaysCutsFailsAfterTheLastAttempt) {
    Library::get();
    const std::string body = pattern(kSize, 9);
    RawServer server([&](int, const std::string& request, int fd) {
        if (hasRange(request))
            RawServer::sendAll(fd, head206(kCut, kSize - 1, kSize) + body.substr(kCut, 10));
        else
            RawServer::sendAll(fd, head200(kSize) + body.substr(0, kCut));
    });
    vxtest::TempDir dir("cuts");
    std::string target = dir.write("f.bin", "previous");
    auto msgs = download({server.url("/f.bin")}, {target});
    expectFailure(msgs);
    EXPECT_TRUE(hasText(msgs.back(), "连接中断"));
    EXPECT_EQ(server.requests().size(), 5u);
    EXPECT_EQ(vxtest::readFile(target), "previous");
    EXPECT_EQ(listing(dir.path()), std::set<std::string>{"f.bin"});
}

TEST(ResumeLimits, AStalledTransferIsAbandonedAndResumed) {
    auto& lib = Library::get();
    lib.setTimings(Library::kConnectMs, 1, Library::kRetryMs);
    const std::string body = pattern(kSize, 11);
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false;
    RawServer server([&](int n, const std::string& request, int fd) {
        if (n == 0) {
            // Half the body, then silence with the connection held open.
            RawServer::sendAll(fd, head200(kSize) + body.substr(0, kCut));
            std::unique_lock lock(mutex);
            cv.wait(lock, [&] { return release; });
            return;
        }
        if (hasRange(request))
            RawServer::sendAll(fd, head206(kCut, kSize - 1, kSize) + body.substr(kCut));
    });
    // The server handles one connection at a time: the second is accepted only once the
    // first is let go, which happens as soon as the library has given up on it.
    const int id = nextId();
    std::thread releaser([&] {
        Messages::get().waitText(id, "正在重试");
        std::lock_guard lock(mutex);
        release = true;
        cv.notify_all();
    });
    vxtest::TempDir dir("stall");
    auto msgs = download({server.url("/f.bin")}, {dir.file("f.bin")}, "", id);
    releaser.join();
    lib.setTimings(Library::kConnectMs, Library::kStallSeconds, Library::kRetryMs);
    expectSuccess(msgs);
    EXPECT_TRUE(hasText(msgs, "连接超时或传输停滞"));
    EXPECT_EQ(vxtest::readFile(dir.file("f.bin")), body);
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_TRUE(vx::icontains(server.requests()[1], "Range: bytes=" + std::to_string(kCut) + "-"));
}

// --- Trickling servers ----------------------------------------------------------------------

// The trickle rule shortened to a 2 s window at 1 KiB/s (2 KiB per window); the low-speed
// limit of 1 byte/s over 5 s alone would never end these transfers.
class SlowTransfers : public ::testing::Test {
protected:
    static constexpr int kWindowMs = 2000, kMinRate = 1024;
    void SetUp() override { Library::get().setMinimumRate(kWindowMs, kMinRate); }
    void TearDown() override { Library::get().setMinimumRate(0, 0); }

    // Sends the head, then `chunk` bytes of `body` every `pause` until all is sent or the
    // client has gone.
    static void dribble(int fd, const std::string& body, std::size_t chunk, std::chrono::milliseconds pause) {
        RawServer::sendAll(fd, head200(body.size()));
        for (std::size_t off = 0; off < body.size(); off += chunk) {
            std::this_thread::sleep_for(pause);
            std::string part = body.substr(off, chunk);
            if (::send(fd, part.data(), part.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(part.size()))
                return;
        }
    }
};

TEST_F(SlowTransfers, AServerSendingAByteAtATimeFailsAndTheOldFileStays) {
    const std::string body = pattern(kSize, 13);
    RawServer server([&](int, const std::string&, int fd) {
        dribble(fd, body, 1, std::chrono::milliseconds(300));
    });
    vxtest::TempDir dir("trickle");
    std::string target = dir.write("f.bin", "previous");
    auto msgs = download({server.url("/f.bin")}, {target}, "", 0, 2);
    expectFailure(msgs);
    EXPECT_TRUE(hasText(msgs, "下载 f.bin 失败：传输过慢，正在重试（第 2 次，共 2 次）"));
    EXPECT_EQ(msgs.back(), "error:下载 f.bin 失败：传输过慢");
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(vxtest::readFile(target), "previous");
    EXPECT_EQ(listing(dir.path()), std::set<std::string>{"f.bin"});
}

TEST_F(SlowTransfers, ASlowButSteadyTransferCompletes) {
    // 8 KiB every 250 ms, about 32 KiB/s, for several windows.
    const std::string body = pattern(12 * 8192, 17);
    RawServer server([&](int, const std::string&, int fd) {
        dribble(fd, body, 8192, std::chrono::milliseconds(250));
    });
    vxtest::TempDir dir("steady");
    std::string target = dir.write("f.bin", "previous");
    auto msgs = download({server.url("/f.bin")}, {target}, "", 0, 1);
    expectSuccess(msgs);
    EXPECT_EQ(vxtest::readFile(target), body);
    EXPECT_EQ(server.requests().size(), 1u);
}

// --- What a child process inherits ---------------------------------------------------------

// What the descriptors open in this process point to ("socket:[N]", a file's path), by number
// (leaving out the listing's own).
std::map<int, std::string> ownDescriptors() {
    std::map<int, std::string> fds;
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        auto target = fs::read_symlink(e.path(), ec);
        if (!ec && !(target.filename() == "fd" && target.parent_path().parent_path() == "/proc"))
            fds[std::stoi(e.path().filename().string())] = target.string();
    }
    return fds;
}

// What the descriptors of a child started now (fork and exec of a shell) point to.
std::set<std::string> inheritedTargets() {
    // The shell lists its own descriptors through a child of its own, so the listing holds
    // only what the shell inherited.
    FILE* p = ::popen("ls -l /proc/$$/fd; :", "r");
    if (!p)
        return {};
    std::string out;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, p))
        out.append(buf, n);
    ::pclose(p);
    std::set<std::string> targets;
    std::size_t pos = 0;
    while ((pos = out.find(" -> ", pos)) != std::string::npos) {
        pos += 4;
        targets.insert(out.substr(pos, out.find('\n', pos) - pos));
    }
    return targets;
}

TEST(Inheritance, AProgramStartedDuringADownloadGetsNoneOfItsDescriptors) {
    Library::get();
    const std::string body = pattern(kSize, 19);
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> serverSide{-1};
    RawServer server([&](int, const std::string&, int fd) {
        serverSide = fd;
        RawServer::sendAll(fd, head200(kSize) + body.substr(0, kCut));
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return release; });
        lock.unlock();
        RawServer::sendAll(fd, body.substr(kCut));
    });
    vxtest::TempDir dir("inherit");
    // A descriptor left inheritable on purpose: the child's listing must show it.
    const std::string probe = dir.file("probe");
    const int probeFd = ::open(probe.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(probeFd, 0);
    const auto before = ownDescriptors();

    const int id = nextId();
    std::string u = server.url("/f.bin") + "\r\n", p = dir.file("f.bin") + "\r\n";
    ASSERT_EQ(Library::get().downFile(u.c_str(), p.c_str(), "", 1, id, &Messages::notify), 0);
    // Held open mid-body: the connection and the partly written temporary file are live.
    auto partWritten = [&] {
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (hasText(e.path().filename().string(), ".f.bin.vxdl-") && fs::file_size(e.path()) == kCut)
                return true;
        return false;
    };
    for (int i = 0; i < 3000 && !partWritten(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(partWritten());

    // By what they point to, not by number: a number closed since may have been reused.
    std::set<std::string> library;
    auto now = ownDescriptors();
    const std::string serverTarget = now[serverSide.load()];
    for (const auto& [fd, target] : now)
        if (target != serverTarget && std::none_of(before.begin(), before.end(),
                                              [&](const auto& b) { return b.second == target; }))
            library.insert(target);
    const auto inherited = inheritedTargets();
    {
        std::lock_guard lock(mutex);
        release = true;
        cv.notify_all();
    }
    expectSuccess(Messages::get().waitFinal(id));
    ::close(probeFd);

    EXPECT_TRUE(inherited.count(probe)) << "the child's listing does not show what it inherits";
    EXPECT_TRUE(std::any_of(library.begin(), library.end(), [](const std::string& t) { return hasText(t, "socket:"); }));
    EXPECT_TRUE(std::any_of(library.begin(), library.end(),
                            [](const std::string& t) { return hasText(t, ".f.bin.vxdl-"); }));
    for (const auto& target : library)
        EXPECT_FALSE(inherited.count(target)) << "inherited by the child: " << target;
    EXPECT_EQ(vxtest::readFile(dir.file("f.bin")), body);
}

// Runs after every test: no call sent anything after its final message.
class NothingAfterTheEnd : public ::testing::Environment {
public:
    void TearDown() override { EXPECT_TRUE(Messages::get().violations().empty()); }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new NothingAfterTheEnd);

} // namespace
