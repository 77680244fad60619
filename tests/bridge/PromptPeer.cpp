// The native side of the stub-script test: prints stub scripts and answers one call message
// per run, as the engine adapter would from its prompt handler.
//   bridge_prompt_peer stub        the stub script of the Demo object
//   bridge_prompt_peer stub-tvx    the stub script of TVX_JS
//   bridge_prompt_peer call JSON   the reply to one call of Demo

#include "BridgeFakes.h"
#include "api/UJsExterned.h"
#include "api/VxJsMembers.h"
#include "bridge/PromptChannel.h"
#include "bridge/hiJsScriptExtented.h"

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

using namespace vx;

namespace {

// The service's origin the stub scripts are made for; the test's page contexts claim it.
constexpr const char* kOrigin = "http://127.0.0.1:18080";

struct Demo {
    std::string title = "q\"\n</script>";
};

const MemberTable& demoTable() {
    using K = ValueKind;
    using A = const NativeArgs&;
    static const MemberTable table =
        MemberTableOf<Demo>("Demo")
            .method("Echo", {K::Text}, K::Text, [](Demo&, A a) -> NativeValue { return a.text(0); })
            .method("Add", {K::Integer, K::Integer}, K::Integer,
                    [](Demo&, A a) -> NativeValue { return a.integer(0) + a.integer(1); })
            .method("Not", {K::Boolean}, K::Boolean,
                    [](Demo&, A a) -> NativeValue { return !a.boolean(0); })
            .method("Half", {K::Float}, K::Float,
                    [](Demo&, A a) -> NativeValue { return a.real(0) / 2; })
            .method("Nothing", {}, std::nullopt, [](Demo&, A) -> NativeValue { return {}; })
            .method("Fail", {}, std::nullopt,
                    [](Demo&, A) -> NativeValue { throw std::runtime_error("boom"); })
            .field("title", K::Text, [](const Demo& d) -> NativeValue { return d.title; })
            .field("count", K::Integer, [](const Demo&) -> NativeValue { return int64_t{5}; })
            .field("ratio", K::Float, [](const Demo&) -> NativeValue { return 0.25; })
            .field("owner", K::Object, [](const Demo&) -> NativeValue { return {}; })
            .build();
    return table;
}

} // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    bridgetest::FakeEngine engine;
    Demo demo;
    TNCJsExtended ext(engine);
    ext.SetProcessObject(demo, demoTable());
    if (what == "stub") {
        std::cout << promptStubScript(ext.ExtensionSource(), kOrigin);
    } else if (what == "stub-tvx") {
        bridgetest::FakeHost host;
        bridgetest::FakeLink link;
        bridgetest::FakeDownloader downloader;
        TVX_JS api(host, link, downloader);
        api._productID = "12";
        std::cout << promptStubScript(buildExtensionSource(TVX_JS_Members(), &api), kOrigin);
    } else if (what == "call" && argc > 2) {
        std::cout << dispatchPromptMessage(*ext.JsHandle(), argv[2]);
    } else {
        std::cerr << "usage: bridge_prompt_peer stub | stub-tvx | call JSON\n";
        return 2;
    }
    return 0;
}
