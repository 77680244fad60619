// A sample application: asks the client to start another installed application
// ("运行应用"). Usage: vx-launcher [APPID [PARAMETERS]] (default: application 12 with
// "--from-launcher"). Writes what it sent, and any refusal, to launcher-result.txt.

#include "Sample.h"
#include "core/Text.h"
#include "http/FormUrl.h"

#include <chrono>

using namespace std::chrono_literals;

int main(int argc, char** argv) {
    vxlink::prepareConsole();
    const auto args = vxlink::utf8Arguments(argc, argv);
    const std::string target = args.size() > 0 ? args[0] : "12";
    const std::string params = args.size() > 1 ? args[1] : "--from-launcher";
    std::vector<std::string> lines = {"app=15", "target=" + target, "parma=" + params};

    vxlink::LinkClient link(sample::linkOptions(15));
    link.start();
    if (auto st = link.waitRegistered(5s); !st) {
        lines.push_back("error=无法连接应用中心：" + st.error());
        sample::writeResult("launcher-result.txt", lines);
        return 1;
    }
    // The parameter text travels form-URL encoded in the code page of the link.
    const std::string request =
        "运行应用:appID=" + target + "&parma=" + vx::FormUrlEncode(vx::toAnsi(params));
    if (auto st = link.send(request); !st) {
        lines.push_back("error=" + st.error());
        sample::writeResult("launcher-result.txt", lines);
        return 1;
    }
    (void)link.flush(2s);
    lines.push_back("sent=" + request);
    // The client answers only a request it cannot read.
    if (auto m = link.receive(1500ms); m && m->command() == "error")
        lines.push_back("error=" + m->argument("msg").value_or(m->payload));
    return sample::writeResult("launcher-result.txt", lines) ? 0 : 1;
}
