// The windows as a user meets them: which mouse button the title bar answers.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QWindow>
#include <filesystem>
#include <optional>

#include "api/UJsExterned.h"
#include "core/Global.h"
#include "http/HttpThread.h"
#include "shell/TitleBar.h"
#include "shell/UBrowser.h"
#include "shell/UMain.h"
#include "support/HttplibServer.h"
#include "support/TempDir.h"

using namespace vx;
using namespace vx::shell;

namespace {

int g_exitCode = -1;
void recordExit(int code) {
    g_exitCode = code;
}

bool pumpUntil(const std::function<bool()>& pred, int guardMs = 30000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > guardMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        site.server().set_keep_alive_timeout(1); // so that stopping does not wait on the browser
        site.server().Get(R"(/.*)", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content("<html><head><title>" + req.path + "</title></head><body>" + req.path +
                                "</body></html>",
                            "text/html; charset=utf-8");
        });
        SetBaseUrl(site.url("/"));
        InitSharedState(dir.str() + "vxclient");
        for (const char* lib : {"libTCPServer.so", "libDownLoader.so"})
            std::filesystem::copy_file(std::string(VX_LIB_DIR) + "/" + lib, dir.file(lib));
        dir.write("Config/config.xml", "<config><title>应用中心</title><salesid>1</salesid>"
                                       "<aid>2</aid><pid>77</pid></config>");
        SetShowMsgHook([](const std::string&, const std::string&) {});
        TfrmMain::exitProcess = &recordExit;
        g_exitCode = -1;
    }
    void TearDown() override {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<TfrmBrowser*>(w))
                delete w;
        if (main) {
            main->close(); // the close sequence stops the link server
            delete main;
        }
        pumpUntil([] { return THttpThread::liveCount() == 0; });
        SetShowMsgHook(nullptr);
        AppList.clear();
    }

    void startMain() {
        main = new TfrmMain();
        ASSERT_TRUE(main->FormCreate());
        main->show();
        ASSERT_TRUE(pumpUntil([&] { return main->windowHandle()->isExposed(); }));
    }
    // The pop-up a page opens with _OpenURLA (or _OpenURL without a size).
    TfrmBrowser* openPopup(const std::string& path, std::optional<QSize> size = std::nullopt) {
        if (size)
            main->api()->_OpenURLA(path, size->width(), size->height());
        else
            main->api()->_OpenURL(path);
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = qobject_cast<TfrmBrowser*>(w);
                b && !b->closed() && b->url.toStdString() == site.url(path))
                return b;
        return nullptr;
    }

    vxtest::HttplibServer site;
    vxtest::TempDir dir{"window"};
    TfrmMain* main = nullptr;
};

} // namespace

TEST_F(WindowTest, TitleBarAnswersTheLeftButtonOnly) {
    startMain();
    TfrmBrowser* popup = openPopup("/buttons.html", QSize(400, 300));
    ASSERT_NE(popup, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return popup->windowHandle()->isExposed(); }));
    TitleBar* bar = popup->titleBar();
    const QPoint grip(60, 12), dropped(160, 52);

    for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
        SCOPED_TRACE(button == Qt::RightButton ? "right" : "middle");
        const QPoint before = popup->pos();
        for (SysButton* b : {bar->imgMin, bar->imgMax, bar->imgClose})
            QTest::mouseClick(b, button);
        QTest::mouseClick(main->titleBar()->imgClose, button);
        QTest::mousePress(bar, button, {}, grip);
        QTest::mouseMove(bar, dropped);
        QTest::mouseRelease(bar, button, {}, dropped);
        QCoreApplication::processEvents();
        EXPECT_FALSE(popup->closed());
        EXPECT_TRUE(popup->isVisible());
        EXPECT_FALSE(popup->isMinimized());
        EXPECT_FALSE(popup->isMaximized());
        EXPECT_TRUE(bar->imgRestore->isHidden());
        EXPECT_EQ(popup->pos(), before);
        EXPECT_TRUE(main->isVisible());
        EXPECT_EQ(g_exitCode, -1);
    }

    // The left button drags the bar and works every button.
    const QPoint before = popup->pos();
    QTest::mousePress(bar, Qt::LeftButton, {}, grip);
    QTest::mouseMove(bar, dropped);
    QTest::mouseRelease(bar, Qt::LeftButton, {}, dropped);
    EXPECT_EQ(popup->pos(), before + (dropped - grip));
    QTest::mouseClick(bar->imgMax, Qt::LeftButton);
    EXPECT_TRUE(popup->isMaximized());
    EXPECT_FALSE(bar->imgRestore->isHidden());
    QTest::mouseClick(bar->imgRestore, Qt::LeftButton);
    EXPECT_FALSE(popup->isMaximized());
    EXPECT_TRUE(bar->imgRestore->isHidden());
    EXPECT_FALSE(bar->imgMax->isHidden());
    QTest::mouseClick(bar->imgMin, Qt::LeftButton);
    EXPECT_TRUE(popup->isMinimized());
    popup->showNormal();
    QTest::mouseClick(bar->imgClose, Qt::LeftButton);
    EXPECT_TRUE(popup->closed());
}
