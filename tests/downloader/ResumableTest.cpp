// DownFileResumable, PauseDown and DiscardPartials: partial downloads kept beside their
// targets between calls (and across a killed process), against a server on 127.0.0.1 that
// sends part of a file and then holds the connection until the client lets it go.

#include <csignal>
#include <filesystem>
#include <poll.h>
#include <sys/wait.h>

#include "DownloaderHarness.h"
#include "support/SpawnSelf.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace dltest;

namespace {

constexpr std::size_t kSize = 300000;
constexpr std::size_t kPart = 120000;

bool hasRange(const std::string& request) { return vx::icontains(request, "\r\nRange:"); }

// How the server answers the call that comes after the first one was stopped.
enum class Later {
    Unchanged,    // the same file: a range is honoured (206)
    Changed,      // a new file with a new ETag: If-Range fails, the whole new file (200)
    IgnoresRange, // the same file, but always whole (200)
    Gone,         // 404
};

// Serves one file. The first GET without a range gets the head and the first kPart bytes,
// and is then held until the client goes; every later one is answered in full as `later`
// says. Counts the body bytes it sent.
class HoldingFileServer {
public:
    HoldingFileServer(std::string body, Later later)
        : m_body(std::move(body)), m_later(later),
          m_raw([this](int n, const std::string& request, int fd) { answer(n, request, fd); }) {}
    std::string url() const { return m_raw.url("/f.bin"); }
    std::vector<std::string> requests() { return m_raw.requests(); }
    std::size_t sent() const { return m_sent; }
    // What the server has from now on (with a new ETag).
    void change(std::string body) {
        std::lock_guard lock(m_mutex);
        m_body = std::move(body);
        m_etag = "\"v2\"";
    }
    std::string body() {
        std::lock_guard lock(m_mutex);
        return m_body;
    }

private:
    void answer(int n, const std::string& request, int fd) {
        std::unique_lock lock(m_mutex);
        const std::string body = m_body, etag = m_etag;
        lock.unlock();
        const std::string whole = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                  "\r\nETag: " + etag + "\r\nConnection: close\r\n\r\n";
        if (n == 0) {
            send(fd, whole, body.substr(0, kPart));
            holdUntilGone(fd);
            return;
        }
        if (m_later == Later::Gone)
            return send(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", "");
        const std::string start = "Range: bytes=";
        const auto at = request.find(start);
        const bool sameFile = vx::icontains(request, "If-Range: " + etag);
        if (at != std::string::npos && sameFile && m_later != Later::IgnoresRange) {
            const std::size_t from = std::stoul(request.substr(at + start.size()));
            return send(fd,
                        "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(body.size() - from) +
                            "\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                            std::to_string(body.size() - 1) + "/" + std::to_string(body.size()) +
                            "\r\nETag: " + etag + "\r\nConnection: close\r\n\r\n",
                        body.substr(from));
        }
        send(fd, whole, body);
    }
    void send(int fd, const std::string& head, const std::string& body) {
        m_sent += body.size();
        RawServer::sendAll(fd, head + body);
    }
    static void holdUntilGone(int fd) {
        char buf[4096];
        for (int waited = 0; waited < 600; ++waited) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0 && ::recv(fd, buf, sizeof buf, 0) <= 0)
                return;
        }
    }

    std::mutex m_mutex;
    std::string m_body;
    std::string m_etag = "\"v1\"";
    const Later m_later;
    std::atomic<std::size_t> m_sent{0};
    RawServer m_raw;
};

std::string partOf(const std::string& dir) { return dir + "/.f.bin.vxpart"; }
std::string infoOf(const std::string& dir) { return dir + "/.f.bin.vxpart.info"; }

// A stopped call: its one final message last, nothing else final before it.
void expectEndedWith(const std::vector<std::string>& msgs, const std::string& final) {
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.back(), final);
    for (std::size_t i = 0; i + 1 < msgs.size(); ++i) {
        EXPECT_NE(msgs[i], "完成");
        EXPECT_NE(msgs[i], "已暂停");
        EXPECT_NE(msgs[i], "已取消");
        EXPECT_NE(msgs[i].rfind("error:", 0), 0u) << msgs[i];
    }
}

// Starts a resumable call of the server's file and pauses it once kPart bytes are kept:
// "已暂停", the part and its info beside the old file, which stays as it was.
void pauseMidWay(HoldingFileServer& server, const vxtest::TempDir& dir, const std::string& sha256) {
    const int id = startResumable({server.url()}, {dir.file("f.bin")}, {sha256});
    ASSERT_TRUE(fileArrived(dir.path(), ".f.bin.vxpart", kPart));
    EXPECT_EQ(Library::get().pauseDown(id), 0);
    expectEndedWith(Messages::get().waitFinal(id), "已暂停");
    EXPECT_EQ(vxtest::readFile(dir.file("f.bin")), "old");
    EXPECT_EQ(vxtest::readFile(partOf(dir.path().string())), server.body().substr(0, kPart));
    EXPECT_TRUE(fs::exists(infoOf(dir.path().string())));
    EXPECT_LT(Library::get().pauseDown(id), 0) << "nothing runs any more";
}

struct LaterCase {
    const char* what;
    Later later;
    bool checked;         // through a SHA-256 of the file
    bool spoilKeptBytes;  // a byte of the kept part is changed before the second call
    bool secondStartsOver; // after the ranged request, one without a range follows
};

// A paused download goes on in the next call with a range from the kept size, whatever the
// server has made of the file meanwhile: the result is always exactly the server's file.
TEST(Resumable, APausedDownloadGoesOnWhereItStopped) {
    Library::get();
    const LaterCase cases[] = {
        {"unchanged", Later::Unchanged, false, false, false},
        {"unchanged, checked", Later::Unchanged, true, false, false},
        {"changed on the server", Later::Changed, true, false, false},
        {"the server ignores the range", Later::IgnoresRange, false, false, false},
        {"kept bytes spoilt", Later::Unchanged, true, true, true},
        {"gone from the server", Later::Gone, false, false, false},
    };
    for (const LaterCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string original = pattern(kSize, 31), changed = pattern(kSize + 1000, 32);
        HoldingFileServer server(original, c.later);
        vxtest::TempDir dir("resumable");
        dir.write("f.bin", "old");
        ASSERT_NO_FATAL_FAILURE(pauseMidWay(server, dir, c.checked ? sha256Of(original) : ""));
        if (c.spoilKeptBytes) {
            std::fstream part(partOf(dir.path().string()), std::ios::in | std::ios::out | std::ios::binary);
            part.seekp(kPart / 2);
            part.put(static_cast<char>(original[kPart / 2] ^ 1));
        }
        if (c.later == Later::Changed)
            server.change(changed);
        const std::string expected = c.later == Later::Changed ? changed : original;

        const int id = startResumable({server.url()}, {dir.file("f.bin")}, {c.checked ? sha256Of(expected) : ""});
        auto msgs = Messages::get().waitFinal(id);
        auto requests = server.requests();
        ASSERT_GE(requests.size(), 2u);
        EXPECT_TRUE(vx::icontains(requests[1], "Range: bytes=" + std::to_string(kPart) + "-")) << requests[1];
        EXPECT_TRUE(vx::icontains(requests[1], "If-Range: \"v1\"")) << requests[1];
        if (c.later == Later::Gone) {
            expectFailure(msgs);
            EXPECT_EQ(vxtest::readFile(dir.file("f.bin")), "old");
            EXPECT_EQ(listing(dir.path()), std::set<std::string>{"f.bin"}) << "the partial outlived the error";
            continue;
        }
        expectSuccess(msgs);
        EXPECT_EQ(vxtest::readFile(dir.file("f.bin")), expected);
        EXPECT_EQ(listing(dir.path()), std::set<std::string>{"f.bin"}) << "the partial outlived its file";
        ASSERT_EQ(requests.size(), c.secondStartsOver ? 3u : 2u);
        if (c.secondStartsOver) {
            EXPECT_FALSE(hasRange(requests[2]));
            EXPECT_TRUE(hasText(msgs, "SHA256校验失败，正在重试"));
        }
        if (c.later == Later::Unchanged && !c.spoilKeptBytes) {
            EXPECT_EQ(server.sent(), kSize) << "no byte of the file was sent twice";
            // The kept bytes count as done from the start.
            auto progress = progressOf(msgs);
            ASSERT_GE(progress.size(), 2u);
            EXPECT_GE(progress[1], static_cast<int>(kPart * 100 / kSize));
        }
    }
}

// The child of the test below: a resumable download that the parent kills half way.
TEST(ResumableChild, Run) {
    const char* url = std::getenv("VX_RESUMABLE_URL");
    if (!url)
        GTEST_SKIP() << "run by Resumable.AKilledDownloadIsContinuedByTheNextCall only";
    const int id = startResumable({url}, {std::getenv("VX_RESUMABLE_TARGET")}, {""});
    Messages::get().waitFinal(id); // never: the server holds the transfer until the kill
}

TEST(Resumable, AKilledDownloadIsContinuedByTheNextCall) {
    Library::get();
    const std::string body = pattern(kSize, 33);
    HoldingFileServer server(body, Later::Unchanged);
    vxtest::TempDir dir("killed");
    const std::string target = dir.file("f.bin");
    const pid_t child = vxtest::spawnSelf("ResumableChild.Run",
                                          {"VX_RESUMABLE_URL=" + server.url(), "VX_RESUMABLE_TARGET=" + target});
    ASSERT_GT(child, 0);
    const bool arrived = fileArrived(dir.path(), ".f.bin.vxpart", kPart);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(arrived);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(vxtest::readFile(partOf(dir.path().string())), body.substr(0, kPart));

    auto msgs = Messages::get().waitFinal(startResumable({server.url()}, {target}, {sha256Of(body)}));
    expectSuccess(msgs);
    EXPECT_EQ(vxtest::readFile(target), body);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(vx::icontains(requests[1], "Range: bytes=" + std::to_string(kPart) + "-"));
    EXPECT_EQ(server.sent(), kSize);
    EXPECT_EQ(listing(dir.path()), std::set<std::string>{"f.bin"});
}

// A kept partial belongs to resumable calls of its target: plain calls and the cleaning of
// leftovers leave it alone, a cancel and DiscardPartials remove it.
TEST(Resumable, KeptPartialsGoOnlyWhenCancelledOrDiscarded) {
    auto& lib = Library::get();
    const std::string body = pattern(kSize, 35);
    HttpServer plain;
    plain.server().Get("/f.bin", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(body, "application/octet-stream");
    });
    {
        HoldingFileServer server(body, Later::Unchanged);
        vxtest::TempDir dir("kept");
        dir.write("f.bin", "old");
        ASSERT_NO_FATAL_FAILURE(pauseMidWay(server, dir, ""));
        // A plain call for the target neither uses nor removes it, nor does the cleaning.
        expectSuccess(download({plain.url("/f.bin")}, {dir.file("f.bin")}));
        EXPECT_EQ(lib.cleanLeftovers(dir.path().c_str()), 0);
        EXPECT_EQ(vxtest::readFile(partOf(dir.path().string())), body.substr(0, kPart));
        EXPECT_TRUE(fs::exists(infoOf(dir.path().string())));
        EXPECT_EQ(lib.discardPartials((dir.file("other.bin") + "\r\n" + dir.file("f.bin") + "\r\n").c_str()), 0);
        EXPECT_EQ(listing(dir.path()), std::set<std::string>{"f.bin"});
        EXPECT_LT(lib.discardPartials(nullptr), 0);
    }
    {
        HoldingFileServer server(body, Later::Unchanged);
        vxtest::TempDir dir("cancelled");
        dir.write("f.bin", "old");
        const int id = startResumable({server.url()}, {dir.file("f.bin")}, {""});
        ASSERT_TRUE(fileArrived(dir.path(), ".f.bin.vxpart", kPart));
        EXPECT_EQ(lib.cancelDown(id), 0);
        expectEndedWith(Messages::get().waitFinal(id), "已取消");
        EXPECT_EQ(listing(dir.path()), std::set<std::string>{"f.bin"});
        EXPECT_EQ(vxtest::readFile(dir.file("f.bin")), "old");
    }
}

// PauseDown from inside the callback, at a message the call sends once every file has
// arrived: too late to pause, the call goes on and ends "完成"; at the first message of the
// download it is paused.
// Set before each call starts; read by its worker only before it hands the message on, so
// never after the test has seen the call's final message.
std::atomic<int> g_pauseAt{0};
std::string g_trigger;
std::atomic<int> g_pauseResult{1};

void pausingNotify(int id, const char* text) {
    if (id == g_pauseAt && vx::fromAnsi(text) == g_trigger)
        g_pauseResult = Library::get().pauseDown(id);
    Messages::notify(id, text);
}

TEST(Resumable, APauseOnceEveryFileHasArrivedIsRefusedAndTheCallCompletes) {
    auto& lib = Library::get();
    const std::string body = pattern(kSize, 37);
    vxtest::TempDir built("built");
    const std::string package = ZipBuilder().file("a.txt", "new a").build(built.file("p.zip"));
    HttpServer http;
    http.server().Get("/f.bin", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(body, "application/octet-stream");
    });
    http.server().Get("/p.zip", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(package, "application/zip");
    });
    struct Case {
        const char* what;
        bool package;
        const char* trigger;
        bool paused;
    };
    const Case cases[] = {
        {"a file, at its download", false, "正在下载 f.bin", true},
        {"a file, at 100 %", false, "process:100", false},
        {"a package, at its unpacking", true, "正在解压 p.zip", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vxtest::TempDir dir("late");
        const std::string app = dir.file("app");
        const std::string target = c.package ? app + "/p.zip" : dir.file("f.bin");
        const std::string url = http.url(c.package ? "/p.zip" : "/f.bin");
        const int id = nextId();
        g_pauseAt = id;
        g_trigger = c.trigger;
        g_pauseResult = 1;
        const std::string u = url + "\r\n", p = target + "\r\n";
        ASSERT_EQ(lib.downFileResumable(u.c_str(), p.c_str(), c.package ? app.c_str() : "", "\r\n", 5, id,
                                        &pausingNotify),
                  0);
        auto msgs = Messages::get().waitFinal(id);
        if (c.paused) {
            EXPECT_EQ(g_pauseResult, 0);
            expectEndedWith(msgs, "已暂停");
            EXPECT_FALSE(fs::exists(target));
            continue;
        }
        EXPECT_LT(g_pauseResult, 0);
        expectSuccess(msgs);
        if (c.package)
            EXPECT_EQ(vxtest::readFile(app + "/a.txt"), "new a");
        else
            EXPECT_EQ(vxtest::readFile(target), body);
        EXPECT_EQ(listing(dir.path()).count(c.package ? "app/.p.zip.vxpart" : ".f.bin.vxpart"), 0u);
    }
}

} // namespace
