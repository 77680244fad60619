// Cost of the script bridge per native call, against calling the method directly, and of the
// prompt channel's message handling against the bare dispatch.

#include "BenchReport.h"
#include "api/UJsExterned.h"
#include "api/VxJsMembers.h"
#include "bridge/BridgeFakes.h"
#include "bridge/PromptChannel.h"
#include "bridge/hiJsScriptExtented.h"

#include <string>
#include <vector>

int main() {
    using namespace vx;
    bridgetest::FakeHost host;
    bridgetest::FakeLink link;
    bridgetest::FakeDownloader downloader;
    TVX_JS api(host, link, downloader);
    api._User = "benchmark-user";
    bridgetest::FakeEngine engine;
    TNCJsExtended ext(engine);
    ext.SetProcessObject(api, TVX_JS_Members());
    IScriptHandler& handler = *ext.JsHandle();

    constexpr int kCalls = 200000;
    std::size_t sink = 0;
    const double direct = vxbench::bestOf(5, [&] {
        for (int i = 0; i < kCalls; ++i)
            sink += api._GetUser().size();
    });
    const std::vector<ScriptValue> noArgs;
    const double bridged = vxbench::bestOf(5, [&] {
        for (int i = 0; i < kCalls; ++i) {
            ResultValue r;
            std::string x;
            handler.execute("_getuser", noArgs, r, x);
            sink += r.stringValue().size();
        }
    });
    vxbench::report("native call _GetUser: bridge dispatch vs direct call, ns/call",
                    bridged / kCalls * 1e9, direct / kCalls * 1e9, "ns");

    const std::vector<ScriptValue> threeArgs{ScriptValue::string("http://127.0.0.1/p"),
                                             ScriptValue::number(640), ScriptValue::number(480)};
    const std::string message = R"(["_OpenURLA",[{"s":"http://127.0.0.1/p"},{"n":640},{"n":480}]])";
    const double bare = vxbench::bestOf(5, [&] {
        for (int i = 0; i < kCalls / 10; ++i) {
            ResultValue r;
            std::string x;
            handler.execute("_OpenURLA", threeArgs, r, x);
        }
        host.popups.clear();
    });
    const double channel = vxbench::bestOf(5, [&] {
        for (int i = 0; i < kCalls / 10; ++i)
            sink += dispatchPromptMessage(handler, message).size();
        host.popups.clear();
    });
    vxbench::report("native call _OpenURLA: prompt message handling vs bare dispatch, ns/call",
                    channel / (kCalls / 10) * 1e9, bare / (kCalls / 10) * 1e9, "ns");
    return sink == 42 ? 1 : 0;
}
