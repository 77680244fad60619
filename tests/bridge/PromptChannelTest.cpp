// The prompt channel's pieces: declarations, the stub script, call and reply messages.

#include "bridge/PromptChannel.h"

#include "BridgeFakes.h"
#include "api/UJsExterned.h"
#include "api/VxJsMembers.h"
#include "bridge/hiJsScriptExtented.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace vx;
using namespace bridgetest;

namespace {

const char* kSource = "var Demo; if(!Demo) Demo={};"
                      "\n\r native function Run();"
                      "\n\r native function Pair( A, B);"
                      "\n\r var title;\n\r title=\"a\\\"b\";";

// The arguments of a parsed call, written back as a short text for comparison.
std::string describe(const NativeCall& c) {
    std::string out = c.name + ":";
    for (const ScriptValue& v : c.arguments) {
        if (v.isBool())
            out += v.getBoolValue() ? " true" : " false";
        else if (v.isInt())
            out += " int " + std::to_string(v.getIntValue());
        else if (v.isDouble())
            out += " double " + std::to_string(v.getDoubleValue());
        else if (v.isString())
            out += " '" + v.getStringValue() + "'";
        else
            out += " other";
    }
    return out;
}

} // namespace

TEST(PromptChannel, DeclarationsOfThePageApi) {
    FakeHost host;
    FakeLink link;
    FakeDownloader downloader;
    TVX_JS api(host, link, downloader);
    const auto decls = nativeDeclarations(buildExtensionSource(TVX_JS_Members(), &api));
    ASSERT_EQ(decls.size(), 41u);
    for (std::size_t i = 0; i < decls.size(); ++i) {
        EXPECT_EQ(decls[i].name, TVX_JS_Members().methods[i].name);
        EXPECT_EQ(decls[i].paramCount, TVX_JS_Members().methods[i].paramCount());
    }
    EXPECT_EQ(nativeDeclarations(kSource),
              (std::vector<NativeDeclaration>{{"Run", 0}, {"Pair", 2}}));
}

TEST(PromptChannel, StubScriptDefinesAGlobalPerDeclarationAndKeepsTheRest) {
    const std::string stub = promptStubScript(kSource, "http://h:81", "MARK");
    EXPECT_EQ(stub.rfind("(function(){\n", 0), 0u);
    EXPECT_NE(stub.find("M=\"MARK\","), std::string::npos);
    EXPECT_NE(stub.find("w[\"Run\"]=function(){return c(\"Run\",arguments);};\n"),
              std::string::npos);
    EXPECT_NE(stub.find("w[\"Pair\"]=function(A,B){return c(\"Pair\",arguments);};\n"),
              std::string::npos);
    EXPECT_NE(stub.find("B=\"Native call blocked by the browser\""), std::string::npos);
    // The values only for the service's origin; the declarations for every frame.
    const std::string tail = "})();\nvar Demo; if(!Demo) Demo={};\n var title;\n"
                             "if(window.origin===\"http://h:81\"){\n title=\"a\\\"b\";\n}\n";
    ASSERT_GE(stub.size(), tail.size());
    EXPECT_EQ(stub.substr(stub.size() - tail.size()), tail);
    EXPECT_EQ(stub.find("native function"), std::string::npos);
}

TEST(PromptChannel, CallMessages) {
    const std::vector<std::pair<std::string, std::string>> good = {
        {R"(["Run",[]])", "Run:"},
        {R"( [ "Pair" , [ {"s":"x"} , {"n":2} ] ] )", "Pair: 'x' int 2"},
        {R"(["F",[{"b":true},{"b":false},{}]])", "F: true false other"},
        {R"(["F",[{"n":1.5},{"n":-0},{"n":3e9},{"n":-2147483648}]])",
         "F: double 1.500000 double -0.000000 double 3000000000.000000 int -2147483648"},
        {R"(["F",[{"s":"a\"b\\c\/d\n\r\t\b\f"}]])", "F: 'a\"b\\c/d\n\r\t\b\f'"},
        {R"(["F",[{"s":"\u5b57\u00e9"},{"s":"字"}]])", "F: '字é' '字'"},
        {R"(["F",[{"s":"\ud83d\ude00"},{"s":"\ud83d"},{"s":"\ude00x"},{"s":"\ud83d\u0041"}]])",
         "F: '\xF0\x9F\x98\x80' '\xEF\xBF\xBD' '\xEF\xBF\xBDx' '\xEF\xBF\xBD"
         "A'"},
    };
    for (const auto& [json, expected] : good) {
        auto call = parseCallMessage(json);
        ASSERT_TRUE(call.ok()) << json << ": " << call.error();
        EXPECT_EQ(describe(*call), expected) << json;
    }
    auto special = parseCallMessage(R"(["F",[{"n":"NaN"},{"n":"Infinity"},{"n":"-Infinity"}]])");
    ASSERT_TRUE(special.ok());
    ASSERT_EQ(special->arguments.size(), 3u);
    EXPECT_TRUE(std::isnan(special->arguments[0].getDoubleValue()));
    EXPECT_FALSE(special->arguments[0].isInt());
    EXPECT_EQ(special->arguments[1].getDoubleValue(), INFINITY);
    EXPECT_EQ(special->arguments[2].getDoubleValue(), -INFINITY);

    // The page's text of a number rides along; older stubs leave it out.
    auto texts = parseCallMessage(R"(["F",[{"n":1e-7,"t":"1e-7"},{"n":"NaN","t":"NaN"},{"n":2}]])");
    ASSERT_TRUE(texts.ok()) << texts.error();
    ASSERT_EQ(texts->arguments.size(), 3u);
    ASSERT_NE(texts->arguments[0].numberText(), nullptr);
    EXPECT_EQ(*texts->arguments[0].numberText(), "1e-7");
    EXPECT_EQ(texts->arguments[0].getDoubleValue(), 1e-7);
    ASSERT_NE(texts->arguments[1].numberText(), nullptr);
    EXPECT_EQ(*texts->arguments[1].numberText(), "NaN");
    EXPECT_EQ(texts->arguments[2].numberText(), nullptr);

    for (std::string bad :
         {"", "[]", "[\"F\"]", "[\"F\",[]", "[\"F\",[]]x", "[F,[]]", R"(["F",[{"q":1}]])",
          R"(["F",[{"n":"1"}]])", R"(["F",[{"n":nan}]])", R"(["F",[{"n":inf}]])",
          R"(["F",[{"b":1}]])", R"(["F",[{"s":"x}]])", R"(["F",[{"s":"\x"}]])",
          R"(["F",[{"s":"\u12"}]])", "[\"F\",[{\"s\":\"a\nb\"}]]", R"(["F",[{"s":"x","n":1}]])",
          R"(["F",[{},]])", R"(["F",[,{}]])", R"(["F",[{"n":1,"t":1}]])",
          R"(["F",[{"n":1,"x":"1"}]])", R"(["F",[{"n":1,"t":"1","t":"1"}]])",
          R"(["F",[{"t":"1"}]])", R"(["F",[{"n":1,}]])", R"(["F",[{"s":"1","t":"1"}]])"}) {
        EXPECT_FALSE(parseCallMessage(bad).ok()) << bad;
    }
}

TEST(PromptChannel, ReplyMessages) {
    EXPECT_EQ(replyMessage(true, {}, ""), "{}");
    EXPECT_EQ(replyMessage(true, ResultValue::integer(-7), ""), R"({"r":-7})");
    EXPECT_EQ(replyMessage(true, ResultValue::real(2.5), ""), R"({"r":2.5})");
    EXPECT_EQ(replyMessage(true, ResultValue::real(1e300), ""), R"({"r":1e+300})");
    EXPECT_EQ(replyMessage(true, ResultValue::real(NAN), ""), R"({"d":"NaN"})");
    EXPECT_EQ(replyMessage(true, ResultValue::real(-INFINITY), ""), R"({"d":"-Infinity"})");
    EXPECT_EQ(replyMessage(true, ResultValue::string("a\"\n</"), ""), R"({"r":"a\"\n<\/"})");
    EXPECT_EQ(replyMessage(false, ResultValue::string("ignored"), "Have no member"),
              R"({"x":"Have no member"})");
}

TEST(PromptChannel, DispatchesThroughTheHandler) {
    FakeHost host;
    FakeLink link;
    FakeDownloader downloader;
    TVX_JS api(host, link, downloader);
    FakeEngine engine;
    TNCJsExtended ext(engine);
    ext.SetProcessObject(api, TVX_JS_Members());
    IScriptHandler& handler = *ext.JsHandle();
    api._User = "张\"三";
    EXPECT_EQ(dispatchPromptMessage(handler, R"(["_getuser",[{"n":1}]])"), R"({"r":"张\"三"})");
    EXPECT_EQ(
        dispatchPromptMessage(handler, R"(["_OpenURLA",[{"s":"http://h/p"},{"n":3},{"n":4}]])"),
        "{}");
    ASSERT_EQ(host.popups.size(), 1u);
    EXPECT_EQ(host.popups[0].second, std::make_pair(3, 4));
    EXPECT_EQ(dispatchPromptMessage(handler, R"(["_ExcuteJs",[{"n":1e-7,"t":"1e-7"}]])"), "{}");
    EXPECT_EQ(host.calls, std::vector<std::string>{"1e-7"});
    EXPECT_EQ(dispatchPromptMessage(handler, R"(["_OpenURL",[]])"), R"({"x":"Error Parameters"})");
    EXPECT_EQ(dispatchPromptMessage(handler, R"(["nothing",[]])"), R"({"x":"Have no member"})");
    EXPECT_EQ(dispatchPromptMessage(handler, "not json"), R"({"x":"Error Parameters"})");
}
