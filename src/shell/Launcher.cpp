// The launcher of a packaged client (bin/vxcenter): lays out the user's own client folder from
// the package beside it (launcher/UserCopy.h) and starts the client there. A package folder
// that its user owns and may write runs as it is.
#include <QApplication>
#include <QMessageBox>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "launcher/UserCopy.h"
#include "platform/Platform.h"

namespace {

// Says why the client cannot start: on the terminal always, in a box when there is a display.
int fail(int argc, char** argv, const std::string& why) {
    std::fprintf(stderr, "vxcenter: %s\n", why.c_str());
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((x11 && *x11) || (wayland && *wayland)) {
        QApplication app(argc, argv);
        QMessageBox::critical(nullptr, QStringLiteral("应用中心"),
                              QStringLiteral("应用中心无法启动。\n\n") + QString::fromStdString(why));
    }
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string self = vx::platform::executablePath();
    const auto cut = self.find_last_of('/');
    if (self.empty() || cut == std::string::npos)
        return fail(argc, argv, "找不到启动程序自己的文件夹");
    const std::string package = cut == 0 ? std::string("/") : self.substr(0, cut);

    std::string folder = package;
    if (!vx::launcher::runsInPlace(package)) {
        auto own = vx::launcher::userClientFolder();
        if (!own)
            return fail(argc, argv, own.error());
        auto prepared = vx::launcher::prepareUserCopy(package, *own);
        if (!prepared)
            return fail(argc, argv, prepared.error());
        folder = prepared->folder;
        // The client writes its update script into its working folder.
        if (::chdir(folder.c_str()) != 0)
            return fail(argc, argv, "无法进入文件夹 " + folder + "：" + std::strerror(errno));
    }
    const std::string client = folder + "/vxclient";
    std::vector<char*> args(argv, argv + argc);
    args.push_back(nullptr);
    args[0] = const_cast<char*>(client.c_str());
    ::execv(client.c_str(), args.data());
    return fail(argc, argv, "无法启动 " + client + "：" + std::strerror(errno));
}
