#include "shell/Startup.h"

#include <QApplication>
#include <QMessageBox>

#include "core/Global.h"
#include "core/MainThread.h"
#include "http/HttpThread.h"
#include "platform/Platform.h"
#include "shell/QtEngine.h"
#include "shell/QtMainThread.h"
#include "shell/UMain.h"

namespace vx::shell {

int runClient(int argc, char** argv) {
    // 1. Shared state first: paths, the apps folder, the empty application list.
    InitSharedState();
    static QtMainThread mainThread;
    setMainThread(&mainThread);
    SetShowMsgHook([](const std::string& caption, const std::string& text) {
        QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption),
                        QString::fromStdString(text), QMessageBox::Ok);
        box.exec();
    });
    // 4. The application object (Qt needs it before any engine setting can be made).
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    // 5-7. One client per session.
    auto instance = platform::acquireInstanceLock("VXFrame");
    if (!instance) {
        ShowMsg("已经运行这个程序!");
        return 0;
    }
    // 2-3. The engine's user agent and cache folder, before the first view exists.
    createClientProfile(QString::fromStdString(AppPath + "cache"),
                        QString::fromLatin1(THttpThread::kUserAgent));
    // 9. The main window; its creation handler runs here.
    auto* main = new TfrmMain();
    if (!main->FormCreate())
        return 0;
    main->show();
    return app.exec();
}

} // namespace vx::shell
