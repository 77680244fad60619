// A service that answers slowly, never, with garbage or with enormous replies. The page API
// must keep answering the page's native calls while its HTTP workers wait (the main thread
// is never blocked by a transfer), and report each failure in its usual words.

#include "api/ApiFixture.h"

#include <condition_variable>
#include <random>
#include <zlib.h>

#include "api/PageCalls.h"
#include "core/Crypto.h"

using namespace apitest;
using vx::page::ST_Login;

namespace {

// What the service does with a request.
enum class Mode { Answer, Hold, Garbage, Enormous, GzipBomb };

class SlowService : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        // The "never" case waits out the worker's read timeout; the server must outlive it.
        service.server.set_read_timeout(120, 0);
        service.server.set_write_timeout(120, 0);
        service.server.Post("/Login.php", [this](const httplib::Request&, httplib::Response& res) {
            answer(loginMode, res,
                   "<root><statu>true</statu><msg></msg><info><user>u</user><uid>7</uid></info></root>");
        });
        service.server.Get("/myApps.php", [this](const httplib::Request&, httplib::Response& res) {
            answer(listMode, res, listReply({appElement(30, "app30", "1.0")}));
        });
        service.server.Get(R"(/apps/app30/version.xml)",
                           [this](const httplib::Request&, httplib::Response& res) {
                               answer(descriptorMode, res, "<info><version>1</version></info>");
                           });
    }
    void TearDown() override {
        release();
        // The handlers read this fixture's members: they must be done before it goes.
        service.stop();
        ApiTest::TearDown();
    }

    void answer(Mode mode, httplib::Response& res, const std::string& good) {
        ++m_requests;
        switch (mode) {
        case Mode::Hold: {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [&] { return m_released; });
            res.set_content(good, "text/xml");
            return;
        }
        case Mode::Garbage: {
            std::mt19937 rng(42);
            std::string junk(100000, '\0');
            for (auto& c : junk)
                c = static_cast<char>(rng());
            res.set_content(junk, "text/xml");
            return;
        }
        case Mode::Enormous: {
            // 256 MiB that never ends an element, sent in pieces: far above any real reply.
            res.set_content_provider(
                256u << 20, "text/xml", [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                    static const std::string chunk = [] {
                        std::string s = "<apps>";
                        while (s.size() < (1u << 20))
                            s += "<app><appId>1</appId><Name>x</Name>";
                        return s.substr(0, 1u << 20);
                    }();
                    std::size_t n = std::min<std::size_t>(length, chunk.size() - offset % chunk.size());
                    sink.write(chunk.data() + offset % chunk.size(), n);
                    return true;
                });
            return;
        }
        case Mode::GzipBomb: {
            // 200 KB on the wire that inflate to 200 MiB.
            static const std::string bomb = [] {
                const std::string spaces(1u << 20, ' ');
                std::string out;
                char buf[65536];
                z_stream z{};
                deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
                for (int i = 0; i < 200; ++i) {
                    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(spaces.data()));
                    z.avail_in = static_cast<uInt>(spaces.size());
                    int flush = i == 199 ? Z_FINISH : Z_NO_FLUSH;
                    do {
                        z.next_out = reinterpret_cast<Bytef*>(buf);
                        z.avail_out = sizeof buf;
                        deflate(&z, flush);
                        out.append(buf, sizeof buf - z.avail_out);
                    } while (z.avail_out == 0);
                }
                deflateEnd(&z);
                return out;
            }();
            // A type the test server does not compress once more by itself.
            res.set_header("Content-Encoding", "gzip");
            res.set_content(bomb, "application/octet-stream");
            return;
        }
        case Mode::Answer:
            res.set_content(good, "text/xml");
        }
    }
    void release() {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_cv.notify_all();
    }

    // Pumps the main thread until pred() holds, while a "page" thread keeps queuing native
    // calls to the main thread as page events would. Returns how many of them were answered
    // while pred() was false, and when `releaseAfter` is given releases the held replies
    // once that many were answered.
    int serveWhile(const std::function<bool()>& pred, const char* what, int releaseAfter = -1) {
        std::atomic<bool> stop{false};
        std::atomic<int> queued{0};
        int answered = 0;
        std::thread page([&] {
            while (!stop) {
                if (queued < 2) { // like a page waiting for each answer before its next call
                    ++queued;
                    loop.post([&] {
                        // The calls a start page makes while it waits for a login.
                        if (api->_GetConfigValue("title") == "应用中心" && !api->_CheckAPP("30").empty())
                            ++answered;
                        api->_GetUid();
                        --queued;
                    });
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        waitFor(
            [&] {
                if (releaseAfter >= 0 && answered >= releaseAfter)
                    release();
                return pred();
            },
            what);
        stop = true;
        page.join();
        loop.processPending();
        return answered;
    }

    // Logs in with the page kept busy, and returns the page's login report. Returns the
    // number of page calls answered meanwhile in `answered` when asked.
    std::string login(const char* what, int* answered = nullptr) {
        host.calls.clear();
        api->_LoginFun("u", "p", "0", "0");
        const int n = serveWhile([&] { return !host.callsStarting("ST_Login(").empty(); }, what);
        if (answered)
            *answered = n;
        return host.callsStarting("ST_Login(").back();
    }

    Mode loginMode = Mode::Answer, listMode = Mode::Answer, descriptorMode = Mode::Answer;
    std::atomic<int> m_requests{0};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_released = false;
};

} // namespace

TEST_F(SlowService, ASlowLoginLeavesThePageServedThroughout) {
    loginMode = Mode::Hold;
    listMode = Mode::Hold;
    api->_LoginFun("u", "p", "0", "0");
    // The replies come only after the page's calls have been answered 500 times while the
    // login's workers were waiting.
    int answered = serveWhile([&] { return !host.callsStarting("ST_Login(").empty(); },
                              "the login", 500);
    EXPECT_GE(answered, 500);
    ASSERT_EQ(host.callsStarting("ST_Login(").size(), 1u);
    EXPECT_EQ(host.callsStarting("ST_Login(")[0], ST_Login(true, vx::ScrambleParam("7"), "登录成功"));
}

TEST_F(SlowService, GarbageIsReportedInTheUsualWords) {
    loginMode = Mode::Garbage;
    EXPECT_EQ(login("the login"),
              ST_Login(false, vx::ScrambleParam("0"), vx::texts::kLoginBadReply));

    // A good login whose list is garbage; then an install whose descriptor is garbage.
    loginMode = Mode::Answer;
    listMode = Mode::Garbage;
    EXPECT_EQ(login("the second login"),
              ST_Login(false, vx::ScrambleParam("0"), vx::texts::kListFailed));

    listMode = Mode::Answer;
    api->_GetMyApps();
    settle();
    ASSERT_NE(vx::FindApp(30), nullptr);
    descriptorMode = Mode::Garbage;
    host.calls.clear();
    EXPECT_EQ(api->_InstallApp("30"), "正在安装");
    serveWhile([] { return !vx::installBusy; }, "the install");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"安装失败\")"));
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "安装失败");
}

TEST_F(SlowService, EnormousRepliesAreRefusedWithoutStoppingThePage) {
    loginMode = Mode::Enormous;
    int answered = 0;
    EXPECT_EQ(login("the login", &answered),
              ST_Login(false, vx::ScrambleParam("0"), vx::texts::kLoginTimeout));
    EXPECT_GT(answered, 0);
    // The same for a GET: the list after a good login.
    loginMode = Mode::Answer;
    listMode = Mode::Enormous;
    EXPECT_EQ(login("the second login"),
              ST_Login(false, vx::ScrambleParam("0"), vx::texts::kListFailed));
    // A small compressed reply that would inflate to 200 MiB.
    loginMode = Mode::GzipBomb;
    EXPECT_EQ(login("the third login"),
              ST_Login(false, vx::ScrambleParam("0"), vx::texts::kLoginTimeout));
}

// A shortened read timeout stands in for the client's 30 s.
TEST_F(SlowService, AServiceThatNeverAnswersEndsInTheTimeoutMessages) {
    api->readTimeout = std::chrono::seconds(2);
    loginMode = Mode::Hold;
    descriptorMode = Mode::Hold;
    vx::AppList.clear();
    ASSERT_TRUE(vx::mergeAppList(listReply({appElement(30, "app30", "1.0")})));
    api->_LoginFun("u", "p", "0", "0");
    EXPECT_EQ(api->_InstallApp("30"), "正在安装");
    int answered = serveWhile(
        [&] { return !host.callsStarting("ST_Login(").empty() && !vx::installBusy; },
        "the timeouts");
    EXPECT_GT(answered, 0);
    EXPECT_EQ(host.callsStarting("ST_Login(").back(),
              ST_Login(false, vx::ScrambleParam("0"), vx::texts::kLoginTimeout));
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"安装失败\")"));
}
