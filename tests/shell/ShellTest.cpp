// The main window, the pop-up windows and the native functions in real pages, offscreen,
// against an in-process HTTP server on 127.0.0.1.

#include "QtPump.h"
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QWebEngineView>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <thread>

#include "core/Background.h"
#include "api/UJsExterned.h"
#include "core/Global.h"
#include "core/Trust.h"
#include "http/HttpThread.h"
#include "shell/OfflinePage.h"
#include "shell/QtEngine.h"
#include "shell/QtMainThread.h"
#include "shell/TitleBar.h"
#include "shell/UBrowser.h"
#include "shell/UMain.h"
#include "support/Loopback.h"
#include "support/TempDir.h"
#include "support/TlsServer.h"

using namespace vx;
using namespace vx::shell;

namespace {

int g_exitCode = -1;
void recordExit(int code) { g_exitCode = code; }

using shelltest::pumpUntil;

// The value of a script expression in the main frame of a view.
QVariant evaluate(QWebEngineView* view, const QString& js) {
    QVariant result;
    bool done = false;
    view->page()->runJavaScript(js, [&](const QVariant& v) {
        result = v;
        done = true;
    });
    pumpUntil([&] { return done; });
    return result;
}

class Site {
public:
    httplib::Server server;
    int port = 0;
    void start() {
        server.set_keep_alive_timeout(1); // so that stop() does not wait on the browser
        port = server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~Site() {
        server.stop();
        m_thread.join();
    }
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const {
        return "http://" + host + ":" + std::to_string(port) + path;
    }

private:
    std::thread m_thread;
};

constexpr const char* kStartPage = R"(<html><head><title>start</title><script>
window.calls = [];
function ST_writeUserList(u, p, h, f) { calls.push(['list', u, p, h, f]); }
function ST_writeUserForm(u, p, h, a) { calls.push(['form', u, p, h, a]); }
function ST_softStatu(t) { calls.push(['status', t]); }
function ST_Login(ok, token, text) { calls.push(['login', ok, text]); }
window.frameSays = null;
window.addEventListener('message', function (e) { window.frameSays = e.data; });
function tryCall(f) { try { return f(); } catch (e) { return 'threw:' + e.message; } }
</script></head><body>start</body></html>)";

constexpr const char* kProbePage = R"(<html><head><title>probe</title></head><body><script>
var r; try { r = String(_GetPwd()); } catch (e) { r = 'threw:' + e.message; }
parent.postMessage(r, '*');
</script></body></html>)";

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        site.server.Get("/", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(kStartPage, "text/html; charset=utf-8");
        });
        site.server.Get("/probe.html", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(kProbePage, "text/html; charset=utf-8");
        });
        site.server.Get("/titled.html", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("<html><head><title>帮助中心</title></head><body>x</body></html>",
                            "text/html; charset=utf-8");
        });
        site.server.Get("/untitled.html", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("<html><body>no title</body></html>", "text/html");
        });
        site.server.Get("/moved/", [this](const httplib::Request&, httplib::Response& res) {
            res.set_redirect(site.url("/"));
        });
        site.start();
        SetBaseUrl(site.url("/"));
        InitSharedState(dir.str() + "vxclient");
        for (const char* lib : {"libTCPServer.so", "libDownLoader.so"})
            std::filesystem::copy_file(std::string(VX_LIB_DIR) + "/" + lib, dir.file(lib));
        std::filesystem::create_directories(ConfigPath);
        writeConfig("<config><TITLE>应用中心</TITLE><SalesID>1</SalesID><aid>2</aid>"
                    "<pid>77</pid></config>");
        shown.clear();
        SetShowMsgHook([this](const std::string& caption, const std::string& text) {
            shown.emplace_back(caption, text);
        });
        TfrmMain::exitProcess = &recordExit;
        g_exitCode = -1;
        Title.clear();
    }
    void TearDown() override {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<TfrmBrowser*>(w))
                delete w;
        if (main) {
            main->close(); // the close sequence stops the link server
            delete main;
        }
        pumpUntil([] { return THttpThread::liveCount() == 0 && vx::backgroundJobsRunning() == 0; });
        SetShowMsgHook(nullptr);
        AppList.clear();
    }
    void writeConfig(const std::string& xml) { dir.write("Config/config.xml", xml); }

    // Creates and starts the main window and waits for the start page.
    void startMain() {
        main = new TfrmMain();
        ASSERT_TRUE(main->FormCreate());
        main->show();
        ASSERT_TRUE(pumpUntil([&] {
            return evaluate(main->CrmFmx(), "document.readyState === 'complete' && "
                                            "typeof _GetUid === 'function'")
                .toBool();
        }));
    }
    QVariant js(const QString& code) { return evaluate(main->CrmFmx(), code); }

    Site site;
    vxtest::TempDir dir{"shell"};
    TfrmMain* main = nullptr;
    std::vector<std::pair<std::string, std::string>> shown;
};

} // namespace

TEST_F(ShellTest, StartFailuresShowTheMessageAndExitWithZero) {
    std::filesystem::remove(ConfigXml);
    main = new TfrmMain();
    EXPECT_FALSE(main->FormCreate());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], std::make_pair(std::string(), std::string("系统文件不完整,请重新安装!")));
    EXPECT_EQ(g_exitCode, 0);
    delete main;
    main = nullptr;

    // A configuration without pid: the same message, captioned with the title.
    writeConfig("<config><title>应用中心</title><salesid>1</salesid><aid>2</aid></config>");
    shown.clear();
    g_exitCode = -1;
    main = new TfrmMain();
    EXPECT_FALSE(main->FormCreate());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, "应用中心");
    EXPECT_EQ(g_exitCode, 0);
    delete main;
    main = nullptr;

    // No link server library beside the executable.
    writeConfig("<config><title>t</title><salesid>1</salesid><aid>2</aid><pid>3</pid></config>");
    std::filesystem::remove(dir.file("libTCPServer.so"));
    shown.clear();
    main = new TfrmMain();
    EXPECT_FALSE(main->FormCreate());
    EXPECT_EQ(shown.size(), 1u);
    delete main;
    main = nullptr;
}

TEST_F(ShellTest, NativeFunctionsFromPageScript) {
    startMain();
    EXPECT_EQ(main->windowTitle(), "应用中心");
    EXPECT_EQ(main->width(), 850);
    EXPECT_EQ(main->height(), 600);
    EXPECT_EQ(js("_GetProductID()").toString(), "77");
    EXPECT_EQ(js("_productID").toString(), "77"); // the field as registered
    EXPECT_EQ(js("typeof _GetUid(1, 2)").toString(), "string");
    EXPECT_EQ(js("_GetConfigValue('salesid')").toString(), "1");
    EXPECT_EQ(js("_CloseAutoLogin()").toInt(), 0); // no Users.xml: false arrives as 0
    EXPECT_EQ(js("typeof _RefreshApp()").toString(), "undefined");
    EXPECT_EQ(js("_CheckAPP('5')").toString(), "未添加");
    EXPECT_EQ(js("tryCall(function () { return _OpenURL(); })").toString(),
              "threw:Error Parameters");
    EXPECT_EQ(js("tryCall(function () { return _OpenURLA('/x', 1); })").toString(),
              "threw:Error Parameters");
    EXPECT_EQ(js("tryCall(function () { return CheckAPP('1'); })").toString(),
              "threw:Error Parameters");
    EXPECT_EQ(js("_GetUser()").toString(), "");
    // The status line reached the page only if it existed; later ones arrive.
    main->ShowStatus("就绪");
    EXPECT_TRUE(pumpUntil([&] {
        return js("JSON.stringify(calls)").toString().contains("就绪");
    }));
}

#ifdef VX_FD_PROBE
TEST_F(ShellTest, TheSystemBrowserOfTheMainWindowInheritsNothingOfTheClient) {
    startMain();
    // The system's opener is a script that hands what it inherited to the probe, which writes
    // its descriptors down.
    vxtest::TempDir dir("browser");
    const std::string report = dir.file("fds.txt");
    const std::string opener = dir.write("bin/xdg-open", "#!/bin/sh\nexec '" +
                                                              std::string(VX_FD_PROBE) + "' '" +
                                                              report + "'\n");
    ::chmod(opener.c_str(), 0755);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(dir.file("bin")) + ":" + path);
    const int stray = ::open("/dev/zero", O_RDONLY); // one that nobody marked close-on-exec
    js("_OpenURLB('http://127.0.0.1:1/help.html')");
    qputenv("PATH", path);
    EXPECT_TRUE(pumpUntil([&] { return std::filesystem::exists(report); }));
    std::string fds = vxtest::readFile(report);
    fds.erase(0, fds.find('\n') + 1); // the probe's pid
    EXPECT_EQ(fds, "0 /dev/null\n1 /dev/null\n2 /dev/null\n");
    ::close(stray);
}
#endif

// The trust settings of a test, put back when it ends however it ends.
struct TrustRestorer {
    TrustSettings before = Trust;
    ~TrustRestorer() { Trust = before; }
};

// Chromium remembers an accepted certificate per host for the profile's life: the test
// server's certificate is accepted only for 127.0.0.1 and refused only for localhost
// (PageTrustTest.cpp does the same).
TEST_F(ShellTest, AnHttpsServiceLoadsWithTheExtraAuthority) {
    TrustRestorer restorer;
    std::filesystem::copy_file(vxtest::certsFile("ca.pem"), ConfigPath + "ca.pem");
    writeConfig("<config><title>应用中心</title><salesid>1</salesid><aid>2</aid><pid>77</pid>"
                "<cafile>ca.pem</cafile></config>");
    Trust.caFile = ConfigPath + "ca.pem"; // what the start reads from config.xml
    vxtest::TlsServer service;
    service.server().set_keep_alive_timeout(1);
    service.server().Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kStartPage, "text/html; charset=utf-8");
    });
    SetBaseUrl(service.url("/"));
    startMain();
    EXPECT_EQ(js("_GetProductID()").toString(), "77");
    // The window goes before the server it shows.
    main->close();
    delete main;
    main = nullptr;
}

TEST_F(ShellTest, ARefusedCertificateShowsItsHostInTheStatusLine) {
    TrustRestorer restorer;
    Trust.caFile.clear();
    vxtest::TlsServer other;
    other.server().set_keep_alive_timeout(1);
    other.server().Get("/page.html", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<html><head><title>secret</title></head></html>", "text/html");
    });
    startMain();
    main->openPopup(other.url("/page.html", "localhost"), std::nullopt);
    EXPECT_TRUE(pumpUntil([&] {
        return js("JSON.stringify(calls)").toString().contains("证书验证失败：localhost");
    }));
}

TEST_F(ShellTest, ATrustSettingThatCannotBeUsedIsSaidOnceThePageIsThere) {
    TrustRestorer restorer;
    writeConfig("<config><title>应用中心</title><salesid>1</salesid><aid>2</aid><pid>77</pid>"
                "<signkey>not a key</signkey></config>");
    startMain();
    // Signatures are required all the same: a key that cannot be read takes nothing unsigned.
    EXPECT_TRUE(Trust.signingRequired);
    EXPECT_TRUE(Trust.signKeys.empty());
    EXPECT_TRUE(pumpUntil([&] {
        return js("JSON.stringify(calls)").toString().contains("signkey 无法使用：");
    }));
}

TEST_F(ShellTest, OtherOriginsGetNoMember) {
    startMain();
    // A frame of another origin (another host name for the same server).
    js(QString::fromStdString("var f = document.createElement('iframe'); f.src = '" +
                              site.url("/probe.html", "localhost") +
                              "'; document.body.appendChild(f); true"));
    ASSERT_TRUE(pumpUntil([&] { return !js("window.frameSays").isNull(); }));
    EXPECT_EQ(js("window.frameSays").toString(), "threw:Have no member");
    // A frame of the service's own origin is served.
    js(QString::fromStdString("window.frameSays = null; var g = document.createElement('iframe');"
                              " g.src = '" + site.url("/probe.html") +
                              "'; document.body.appendChild(g); true"));
    ASSERT_TRUE(pumpUntil([&] { return !js("window.frameSays").isNull(); }));
    EXPECT_EQ(js("window.frameSays").toString(), "");
}

// The start page cannot load (a refused connection, a 5xx reply): the client's own page
// lists the last user's installed applications from the catalogue cache, grants only its own
// functions, and gives way to the start page once the service answers.
TEST_F(ShellTest, TheOfflinePageServesWhileTheServiceIsAway) {
    static std::atomic<bool> down{true};
    site.server.Get("/away/", [](const httplib::Request&, httplib::Response& res) {
        if (down)
            res.status = 503;
        else
            res.set_content(kStartPage, "text/html; charset=utf-8");
    });
    struct Case {
        const char* name;
        std::string base;
        bool comesBack;
    };
    const Case cases[] = {{"refused", "http://127.0.0.1:" + std::to_string(vxtest::freePort()) + "/", false},
                          {"503", site.url("/away/"), true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        down = true;
        SetBaseUrl(c.base);
        InitSharedState(dir.str() + "vxclient");
        dir.write("apps/userinfo/version.xml", "<info><version>1.0</version></info>");
        dir.write("Config/Catalogue-10086.xml",
                  "<apps><app><appId>12</appId><Name>用户信息</Name><Dir>userinfo</Dir>"
                  "<MainFile>vx-userinfo</MainFile><Version>1.1</Version></app>"
                  "<app><appId>15</appId><Name>启动器</Name><Dir>launcher</Dir>"
                  "<MainFile>vx-launcher</MainFile><Version>1.0</Version></app></apps>");
        main = new TfrmMain();
        ASSERT_TRUE(main->FormCreate());
        main->show();
        ASSERT_TRUE(pumpUntil([&] {
            return main->CrmFmx()->url() == offlinePageUrl() &&
                   js("document.readyState === 'complete' && typeof _GetOfflineApps === 'function'")
                       .toBool();
        }));
        // Only the installed one, with its installed version.
        EXPECT_EQ(js("_GetOfflineApps()").toString(),
                  QString::fromUtf8(R"([{"id":"12","name":"用户信息","version":"1.0","status":"正常"}])"));
        EXPECT_EQ(js("document.querySelectorAll('#apps li').length").toInt(), 1);
        const QString attempt =
            "(function(){try{%1;return 'ran'}catch(e){return 'threw:'+e.message}})()";
        for (const char* refused : {"_LoginFun('a','b','0','0')", "_InstallApp('12')",
                                    "_QueueApp('12')", "_GetPwd()", "_ExcuteJs('1')",
                                    "_OpenURLB('http://x/')", "_UpdateApp('12')"})
            EXPECT_EQ(js(attempt.arg(refused)).toString(), "threw:Have no member") << refused;
        EXPECT_EQ(js(attempt.arg("_RunApp('12')")).toString(), "ran");
        EXPECT_EQ(js(attempt.arg("_UninstallApp('15')")).toString(), "ran");
        if (c.comesBack) {
            down = false;
            js("_RetryOnline(); true");
            ASSERT_TRUE(pumpUntil([&] {
                return main->CrmFmx()->url().toString().toStdString() == BaseUrl &&
                       js("document.title === 'start' && typeof _GetUid === 'function'").toBool();
            }));
            EXPECT_EQ(js("typeof _GetPwd()").toString(), "string"); // the service's page again
        }
        main->close();
        delete main;
        main = nullptr;
        pumpUntil([] { return THttpThread::liveCount() == 0 && vx::backgroundJobsRunning() == 0; });
        AppList.clear();
    }
}

TEST_F(ShellTest, RememberedUsersArriveInFileOrder) {
    dir.write("Config/Users.xml", "<VXFrame><User user=\"a\" pwd=\"1\"/><DefUser User=\"b\" "
                                  "PWD=\"\" auto=\"TRUE\"/><User user=\"b\"/></VXFrame>");
    startMain();
    ASSERT_TRUE(pumpUntil([&] { return js("calls.length").toInt() >= 3; }));
    EXPECT_EQ(js("JSON.stringify(calls.filter(function (c) { return c[0] !== 'status'; }))")
                  .toString(),
              R"([["list","a","1",true,false],["form","b","",false,false],["list","b","",false,false]])");
}

TEST_F(ShellTest, NoUsersAfterARedirectedStartPage) {
    dir.write("Config/Users.xml", "<VXFrame><User user=\"a\" pwd=\"1\"/></VXFrame>");
    SetBaseUrl(site.url("/moved/"));
    main = new TfrmMain();
    ASSERT_TRUE(main->FormCreate());
    ASSERT_TRUE(pumpUntil([&] {
        return js("document.readyState === 'complete' && !!window.calls").toBool();
    }));
    QTimer::singleShot(500, [] {});
    pumpUntil([] { return false; }, 500);
    EXPECT_EQ(js("calls.filter(function (c) { return c[0] === 'list'; }).length").toInt(), 0);
}

TEST_F(ShellTest, PopupsAreReusedByExactAddressAndShowTheirTitle) {
    startMain();
    // The open pop-ups (the framework lists top-level windows in no fixed order).
    auto popups = [] {
        std::set<TfrmBrowser*> out;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = qobject_cast<TfrmBrowser*>(w); b && !b->closed())
                out.insert(b);
        return out;
    };
    main->api()->_OpenURL("/titled.html");
    ASSERT_EQ(popups().size(), 1u);
    TfrmBrowser* first = *popups().begin();
    EXPECT_EQ(first->url.toStdString(), site.url("/titled.html"));
    ASSERT_TRUE(pumpUntil([&] { return first->windowTitle() == "帮助中心"; }));
    EXPECT_EQ(first->titleBar()->TextTile->text(), "帮助中心");
    main->api()->_OpenURLA("/titled.html", 300, 200); // reused, size kept
    EXPECT_EQ(popups(), std::set<TfrmBrowser*>{first});
    EXPECT_EQ(first->width(), 748);
    // Another letter case is another window; a size is given to a new one.
    main->api()->_OpenURLA("/TITLED.html", 640, 480);
    auto now = popups();
    ASSERT_EQ(now.size(), 2u);
    now.erase(first);
    TfrmBrowser* second = *now.begin();
    EXPECT_EQ(second->size(), QSize(640, 480));
    // Closed windows are never reused.
    first->close();
    main->api()->_OpenURL("/titled.html");
    now = popups();
    ASSERT_EQ(now.size(), 2u);
    EXPECT_FALSE(now.count(first));
    // An untitled document leaves the title empty.
    const auto before = popups();
    main->api()->_OpenURL("/untitled.html");
    TfrmBrowser* untitled = nullptr;
    for (TfrmBrowser* b : popups())
        if (!before.count(b))
            untitled = b;
    ASSERT_NE(untitled, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return untitled->titleBar()->TextTile->text() != "浏览器 "; }));
    EXPECT_EQ(untitled->windowTitle(), "");
}

TEST_F(ShellTest, MaximiseAndRestore) {
    startMain();
    emit main->titleBar()->buttonClicked("imgMax");
    EXPECT_EQ(main->height(), 555);
    EXPECT_TRUE(main->titleBar()->imgMax->isHidden());
    EXPECT_FALSE(main->titleBar()->imgRestore->isHidden());
    emit main->titleBar()->buttonClicked("imgRestore");
    EXPECT_FALSE(main->titleBar()->imgMax->isHidden());
    EXPECT_TRUE(main->titleBar()->imgRestore->isHidden());
    // What the frame looks like in both states is tested on an X screen (WindowTest.cpp).
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    static QtMainThread mainThread;
    setMainThread(&mainThread);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    registerOfflineScheme();
    QApplication app(argc, argv);
    vxtest::TempDir cache("shellcache");
    createClientProfile(QString::fromStdString(cache.str()),
                        QString::fromLatin1(THttpThread::kUserAgent));
    return RUN_ALL_TESTS();
}
