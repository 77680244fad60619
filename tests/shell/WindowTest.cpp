// The windows as a user meets them: where they open, how large a pop-up may be, which mouse
// button the title bar answers, and the frame's corners maximised and restored. The last need
// real pixels: WindowOnXServer.FramesAndPlacesOnXvfb starts its own Xvfb and runs the
// WindowOnX tests in a child process of this executable on it (QT_QPA_PLATFORM=xcb); run
// directly anywhere else they skip.

#include "QtPump.h"
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <QWindow>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "core/Background.h"
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

using shelltest::pumpUntil;

// Centred in the area along each axis (the two gaps differ by the odd pixel at most); a
// window larger than the area starts at its edge, so that its title bar stays in reach.
void expectPlaced(const QWidget* w, const QRect& area) {
    const QRect g = w->frameGeometry();
    if (g.width() <= area.width())
        EXPECT_LE(std::abs((g.left() - area.left()) - (area.right() - g.right())), 1)
            << "x " << g.x() << " width " << g.width() << " in " << area.x() << "+" << area.width();
    else
        EXPECT_EQ(g.left(), area.left());
    if (g.height() <= area.height())
        EXPECT_LE(std::abs((g.top() - area.top()) - (area.bottom() - g.bottom())), 1)
            << "y " << g.y() << " height " << g.height() << " in " << area.y() << "+"
            << area.height();
    else
        EXPECT_EQ(g.top(), area.top());
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
        pumpUntil([] { return THttpThread::liveCount() == 0 && vx::backgroundJobsRunning() == 0; });
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
    QRect area() const { return main->screen()->availableGeometry(); }

    vxtest::HttplibServer site;
    vxtest::TempDir dir{"window"};
    TfrmMain* main = nullptr;
};

} // namespace

TEST_F(WindowTest, PopupsFitTheScreenAndOpenCentred) {
    startMain();
    const QRect screen = area();
    struct Case {
        const char* path;
        std::optional<QSize> asked;
        QSize opened;
    } cases[] = {
        {"/default.html", std::nullopt, QSize(748, 429).boundedTo(screen.size())},
        {"/fits.html", QSize(400, 300), QSize(400, 300)},
        {"/huge.html", QSize(screen.width() + 500, screen.height() * 3), screen.size()},
        {"/tall.html", QSize(320, screen.height() + 1), QSize(320, screen.height())},
        {"/tiny.html", QSize(5, 3), QSize(200, 150)},
        {"/negative.html", QSize(-40, 0), QSize(200, 150)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        TfrmBrowser* popup = openPopup(c.path, c.asked);
        ASSERT_NE(popup, nullptr);
        EXPECT_TRUE(popup->isVisible());
        EXPECT_EQ(popup->screen(), main->screen());
        EXPECT_EQ(popup->size(), c.opened);
        expectPlaced(popup, screen);
    }
    // One the user has moved comes back where they left it when the page opens it again.
    TfrmBrowser* moved = openPopup("/fits.html", QSize(400, 300));
    moved->move(screen.topLeft() + QPoint(7, 9));
    EXPECT_EQ(openPopup("/fits.html", QSize(400, 300)), moved);
    EXPECT_EQ(moved->pos(), screen.topLeft() + QPoint(7, 9));
}

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

// --- On a real X screen ------------------------------------------------------------------

TEST(WindowOnXServer, FramesAndPlacesOnXvfb) {
    QProcess xvfb;
    // -displayfd: Xvfb takes a free display number and writes it once it accepts clients.
    xvfb.start(QStringLiteral("Xvfb"),
               {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                QStringLiteral("tcp")});
    ASSERT_TRUE(xvfb.waitForStarted(30000))
        << "Xvfb could not be started (" << xvfb.errorString().toStdString()
        << "); ./dev installs it (package xvfb)";
    QByteArray number;
    const bool ready = pumpUntil([&] {
        number += xvfb.readAllStandardOutput();
        return number.contains('\n') || xvfb.state() == QProcess::NotRunning;
    });
    ASSERT_TRUE(ready && number.contains('\n'))
        << "Xvfb gave no display: " << xvfb.readAllStandardError().toStdString();
    const QString display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), display);
    env.remove(QStringLiteral("GTEST_OUTPUT")); // the report file is this process's
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=WindowOnX.*"), QStringLiteral("--gtest_color=no")});
    ASSERT_TRUE(child.waitForStarted(30000));
    const bool finished = child.waitForFinished(300000);
    const std::string output = child.readAll().toStdString();
    xvfb.terminate();
    xvfb.waitForFinished(30000);
    ASSERT_TRUE(finished) << output;
    // Every one of them ran on the X screen (none skipped) and passed.
    EXPECT_TRUE(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0 &&
                output.find("[  PASSED  ] ") != std::string::npos &&
                output.find("[  SKIPPED ]") == std::string::npos &&
                output.find("[  FAILED  ]") == std::string::npos)
        << output;
}

namespace {

class WindowOnX : public WindowTest {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "needs an X screen: WindowOnXServer.FramesAndPlacesOnXvfb runs it";
        WindowTest::SetUp();
    }
    // What the screen shows at a point.
    static QColor pixel(const QPoint& at) {
        return QGuiApplication::primaryScreen()
            ->grabWindow(0, at.x(), at.y(), 1, 1)
            .toImage()
            .pixelColor(0, 0);
    }
};

// The frames' stroke, which is the colour of their outermost pixels while maximised.
const QColor kStroke(0x91, 0x8A, 0x8A);

} // namespace

TEST_F(WindowOnX, WindowsOpenCentredOnTheScreen) {
    startMain();
    ASSERT_EQ(area(), QRect(0, 0, 1280, 800));
    EXPECT_EQ(main->frameGeometry(), QRect(215, 100, 850, 600));
    TfrmBrowser* popup = openPopup("/centred.html", QSize(640, 480));
    ASSERT_NE(popup, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return popup->windowHandle()->isExposed(); }));
    EXPECT_EQ(popup->frameGeometry(), QRect(320, 160, 640, 480));
    TfrmBrowser* huge = openPopup("/huge.html", QSize(3000, 2000));
    ASSERT_NE(huge, nullptr);
    EXPECT_EQ(huge->frameGeometry(), QRect(0, 0, 1280, 800));
}

TEST_F(WindowOnX, MaximisedFramesAreSquareRestoredTheirCornersSeeThrough) {
    // Each window's top-left corner where nothing but the desktop is under it: the main
    // window's centred place, and for the pop-up a place beside the main window.
    const QPoint mainCorner(215, 100), popupCorner(10, 480);
    const QColor desktop = pixel(mainCorner);
    ASSERT_EQ(pixel(popupCorner), desktop);
    ASSERT_NE(desktop, kStroke);
    startMain();
    ASSERT_EQ(main->pos(), mainCorner);
    TfrmBrowser* popup = openPopup("/corners.html", QSize(200, 300));
    ASSERT_NE(popup, nullptr);
    popup->move(popupCorner);
    for (QWidget* window : {static_cast<QWidget*>(main), static_cast<QWidget*>(popup)}) {
        SCOPED_TRACE(window == main ? "main window" : "pop-up");
        TitleBar* bar = window->findChild<TitleBar*>();
        auto corner = [&] { return pixel(window->frameGeometry().topLeft()); };
        // Drawn: the title bar shows beside the corner.
        ASSERT_TRUE(pumpUntil(
            [&] { return pixel(window->frameGeometry().topLeft() + QPoint(40, 12)) != desktop; }));
        EXPECT_EQ(corner(), desktop);
        QTest::mouseClick(bar->imgMax, Qt::LeftButton);
        ASSERT_TRUE(bar->windowFillsScreen());
        EXPECT_TRUE(pumpUntil([&] { return corner() == kStroke; }, 10000))
            << "maximised corner " << corner().name().toStdString();
        QTest::mouseClick(bar->imgRestore, Qt::LeftButton);
        ASSERT_FALSE(bar->windowFillsScreen());
        EXPECT_TRUE(pumpUntil([&] { return corner() == desktop; }, 10000))
            << "restored corner " << corner().name().toStdString();
    }
}
