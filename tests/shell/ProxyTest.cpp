// The page follows the proxy environment variables like the HTTP worker and the downloader,
// even on a desktop whose own settings name another proxy: a real view loads pages of a named
// host through a recording proxy on 127.0.0.1.
//
// The engine reads its proxy switches once, when it starts, and this program's engine has
// started long before a test runs; so the pages are loaded by a child run of this program
// whose engine starts under the test's variables, set up the way the client sets it up.

#include "shell/QtEngine.h"
#include "shell/Startup.h"
#include "support/HttplibServer.h"
#include "support/RecordingProxy.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <gtest/gtest.h>
#include <optional>

using namespace vx::shell;

namespace {

// The addresses the child loads, separated by spaces; set only in the child run.
constexpr const char* kChildUrls = "VX_PAGE_PROXY_CHILD";
constexpr const char* kTitle = "through the proxy";

// Before main() starts the engine, as runClient does before it creates the profile.
const bool g_childEngine = [] {
    if (qEnvironmentVariableIsSet(kChildUrls))
        usePageProxyOfSystem();
    return true;
}();

TEST(PageProxy, PagesOfANamedHostGoThroughTheProxyOfTheEnvironment) {
    vxtest::HttplibServer site;
    site.server().Get("/page.html", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string("<html><head><title>") + kTitle +
                            "</title></head><body>x</body></html>",
                        "text/html; charset=utf-8");
    });
    vxtest::RecordingProxy proxy;
    // A KDE desktop's own settings, which Chromium would follow by itself there.
    vxtest::RecordingProxy desktopProxy;
    vxtest::TempDir home("proxyhome");
    home.write(".config/kioslaverc", "[Proxy Settings]\nProxyType=1\nhttpProxy=http://127.0.0.1 " +
                                         std::to_string(desktopProxy.port()) +
                                         "\nhttpsProxy=http://127.0.0.1 " +
                                         std::to_string(desktopProxy.port()) + "\n");
    // Chromium keeps loopback addresses direct: the pages are asked for by a name, which the
    // proxy maps to 127.0.0.1.
    const std::string authority = "vx-service.test:" + std::to_string(site.port());
    const std::string page = "http://" + authority + "/page.html";
    // The proxy refuses the tunnel: the secure page fails to load, having gone to the proxy
    // only through CONNECT.
    const std::string securePage = "https://" + authority + "/page.html";

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("http_proxy"), QString::fromStdString(proxy.url()));
    env.insert(QStringLiteral("https_proxy"), QString::fromStdString(proxy.url()));
    env.insert(QStringLiteral("no_proxy"), QStringLiteral("example.org"));
    env.insert(QStringLiteral("HOME"), QString::fromStdString(home.path().string()));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(home.file(".config")));
    env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("KDE"));
    env.insert(QStringLiteral("KDE_SESSION_VERSION"), QStringLiteral("5"));
    env.insert(QString::fromLatin1(kChildUrls), QString::fromStdString(page + " " + securePage));
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--gtest_filter=PageProxyChild.*"), QStringLiteral("--gtest_color=no")});
    ASSERT_TRUE(child.waitForStarted(30000));
    const bool finished = child.waitForFinished(300000);
    const std::string output = child.readAll().toStdString();
    ASSERT_TRUE(finished) << output;
    EXPECT_EQ(child.exitCode(), 0) << output;
    EXPECT_EQ(output.find("SKIPPED"), std::string::npos) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    EXPECT_EQ(proxy.count("GET " + page + " HTTP/1.1"), 1) << output;
    EXPECT_GE(proxy.count("CONNECT " + authority + " HTTP/1.1"), 1) << output;
    EXPECT_EQ(proxy.count("https:"), 0) << output;
    EXPECT_EQ(desktopProxy.requests(), std::vector<std::string>{}) << output;
}

TEST(PageProxyChild, LoadsThePages) {
    const QStringList urls =
        qEnvironmentVariable(kChildUrls).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (urls.isEmpty())
        GTEST_SKIP() << "run by PageProxy.PagesOfANamedHostGoThroughTheProxyOfTheEnvironment";
    QWebEngineView view;
    auto* page = new QWebEnginePage(clientProfile(), &view);
    view.setPage(page);
    view.resize(400, 300);
    view.show();
    for (const QString& url : urls) {
        std::optional<bool> loaded;
        auto c =
            QObject::connect(page, &QWebEnginePage::loadFinished, [&](bool ok) { loaded = ok; });
        view.load(QUrl(url));
        QElapsedTimer t;
        t.start();
        while (!loaded && t.elapsed() < 60000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QObject::disconnect(c);
        ASSERT_TRUE(loaded.has_value()) << url.toStdString();
        if (url.startsWith(QLatin1String("http:"))) {
            EXPECT_TRUE(*loaded);
            EXPECT_EQ(page->title().toStdString(), kTitle);
        }
    }
}

} // namespace
