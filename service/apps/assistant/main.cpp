// A sample background application (id 4): the client asks it to show or hide its window
// after logins ("ShowForm" / "HideForm"). It logs every message it receives to
// assistant.log beside itself until it is stopped. --once: exit after the first message.

#include "Sample.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>

using namespace std::chrono_literals;

namespace {
volatile std::sig_atomic_t g_stop = 0;
extern "C" void onSignal(int) {
    g_stop = 1;
}
} // namespace

int main(int argc, char** argv) {
    vxlink::prepareConsole();
    const auto args = vxlink::utf8Arguments(argc, argv);
    const bool once = !args.empty() && args[0] == "--once";
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    vxlink::LinkClient link(sample::linkOptions(4));
    link.start();
    std::ofstream log(sample::ownFolder() / "assistant.log", std::ios::app);
    if (link.waitRegistered(5s).ok())
        (void)link.send("启动成功：消息助手已在后台运行");
    while (!g_stop) {
        auto m = link.receive(200ms);
        if (!m)
            continue;
        const std::string cmd = m->command();
        const std::string what = cmd == "ShowForm"   ? "显示窗口"
                                 : cmd == "HideForm" ? "隐藏窗口"
                                                     : "收到消息";
        log << what << " " << m->payload << std::endl;
        std::printf("%s %s\n", what.c_str(), m->payload.c_str());
        std::fflush(stdout);
        if (once)
            break;
    }
    return 0;
}
