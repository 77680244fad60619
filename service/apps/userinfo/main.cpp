// A sample application: asks the client for the logged-in user ("获取用户信息") and for its
// own data ("获取应用信息"), shows what it got and writes it to userinfo-result.txt beside
// itself. The application id is fixed when it is built (SAMPLE_APP_ID).

#include "Sample.h"

#include <chrono>
#include <optional>

#ifndef SAMPLE_APP_ID
#define SAMPLE_APP_ID 12
#endif
#ifndef SAMPLE_APP_NAME
#define SAMPLE_APP_NAME "用户信息"
#endif

using namespace std::chrono_literals;

int main(int argc, char** argv) {
    vxlink::prepareConsole();
    const auto args = vxlink::utf8Arguments(argc, argv);
    const std::string id = std::to_string(SAMPLE_APP_ID);
    std::vector<std::string> lines = {"app=" + id, "args=" + sample::joinArgs(args)};

    vxlink::LinkClient link(sample::linkOptions(SAMPLE_APP_ID));
    link.start();
    if (auto st = link.waitRegistered(5s); !st) {
        lines.push_back("error=无法连接应用中心：" + st.error());
        sample::writeResult("userinfo-result.txt", lines);
        return 1;
    }
    (void)link.send("启动成功：" SAMPLE_APP_NAME "（应用 " + id + "）");
    (void)link.send("获取用户信息:MyID=" + id);
    (void)link.send("获取应用信息:MyID=" + id);

    std::optional<std::string> uid, price, versionName, help;
    bool closed = false;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while ((!uid || (!price && !closed)) && std::chrono::steady_clock::now() < deadline) {
        auto m = link.receive(500ms);
        if (!m)
            continue;
        const std::string cmd = m->command();
        if (cmd == "UserInfo") {
            uid = m->argument("uid").value_or("");
        } else if (cmd == "AppInfo") {
            price = m->argument("appPrice").value_or("");
            versionName = m->argument("myAppVersionName").value_or("");
            help = m->argument("help").value_or("");
        } else if (cmd == "Close") {
            closed = true; // the client does not know this application
        } else if (cmd == "error") {
            lines.push_back("error=" + m->argument("msg").value_or(m->payload));
        }
    }
    lines.push_back("uid=" + uid.value_or(""));
    if (closed) {
        lines.push_back("appinfo=未知应用");
    } else {
        lines.push_back("appPrice=" + price.value_or(""));
        lines.push_back("myAppVersionName=" + versionName.value_or(""));
        lines.push_back("help=" + help.value_or(""));
    }
    if (!uid)
        lines.push_back("error=应用中心没有回答");
    const bool ok = sample::writeResult("userinfo-result.txt", lines);
    link.flush(2s);
    return ok && uid ? 0 : 1;
}
