// The extension source and the component's registration.

#include "BridgeFakes.h"
#include "api/UJsExterned.h"
#include "api/VxJsMembers.h"
#include "bridge/hiJsScriptExtented.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace vx;
using namespace bridgetest;

namespace {

// A class with a member of every value kind.
struct Sample {
    int64_t count = -42;
    int mode = 2; // an enumeration's ordinal
    bool flag = true;
    unsigned flags = 5; // a set of flags 0 and 2
    double ratio = 3.14159;
    std::string initial = "字";
    std::string title = "plain";
    Sample* owner = nullptr;
    int extent[2] = {1, 2}; // an array: declared only
    int runs = 0;
};

const MemberTable& sampleTable() {
    using K = ValueKind;
    static const MemberTable table =
        MemberTableOf<Sample>("Sample")
            .method("Run", {}, std::nullopt,
                    [](Sample& s, const NativeArgs&) -> NativeValue {
                        ++s.runs;
                        return {};
                    })
            .method("One", {K::Text}, K::Text,
                    [](Sample&, const NativeArgs& a) -> NativeValue { return a.text(0); })
            .method("Three", {K::Text, K::Integer, K::Boolean}, std::nullopt,
                    [](Sample&, const NativeArgs&) -> NativeValue { return {}; })
            .field("count", K::Integer, [](const Sample& s) -> NativeValue { return s.count; })
            .field("mode", K::Enumeration,
                   [](const Sample& s) -> NativeValue { return int64_t{s.mode}; })
            .field("flag", K::Boolean, [](const Sample& s) -> NativeValue { return s.flag; })
            .field("flags", K::Set, [](const Sample& s) -> NativeValue { return int64_t{s.flags}; })
            .field("ratio", K::Float, [](const Sample& s) -> NativeValue { return s.ratio; })
            .field("initial", K::Character,
                   [](const Sample& s) -> NativeValue { return s.initial; })
            .field("title", K::Text, [](const Sample& s) -> NativeValue { return s.title; })
            .field("owner", K::Object, [](const Sample&) -> NativeValue { return {}; })
            .field("extent", K::Other, [](const Sample&) -> NativeValue { return {}; })
            .property("Size", K::Integer, [](const Sample&) -> NativeValue { return int64_t{7}; })
            .property("Scale", K::Float, [](const Sample&) -> NativeValue { return -0.5; })
            .build();
    return table;
}

const std::string kSampleSource = "var Sample; if(!Sample) Sample={};"
                                  "\n\r native function Run();"
                                  "\n\r native function One( A);"
                                  "\n\r native function Three( A, B, C);"
                                  "\n\r var count;\n\r count=-42;"
                                  "\n\r var mode;\n\r mode=2;"
                                  "\n\r var flag;\n\r flag=1;"
                                  "\n\r var flags;\n\r flags=5;"
                                  "\n\r var ratio;\n\r ratio=3.14;"
                                  "\n\r var initial;\n\r initial=\"字\";"
                                  "\n\r var title;\n\r title=\"plain\";"
                                  "\n\r var owner;\n\r owner={};"
                                  "\n\r var extent;"
                                  "\n\r var Size;\n\r Size=7;"
                                  "\n\r var Scale;\n\r Scale=-0.50;";

// The TVX_JS source with `productId` in _productID and every other field empty.
std::string tvxSource(const std::string& productIdLiteral) {
    return "var TVX_JS; if(!TVX_JS) TVX_JS={};"
           "\n\r native function _LoginFun( A, B, C, D);"
           "\n\r native function _GetProductID();"
           "\n\r native function _GetUid();"
           "\n\r native function _CheckAPP( A);"
           "\n\r native function CheckAPP( A);"
           "\n\r native function _GetMyApps();"
           "\n\r native function _UpdateApp( A);"
           "\n\r native function _CheckAPPVer( A);"
           "\n\r native function CheckMainVer();"
           "\n\r native function _InstallApp( A);"
           "\n\r native function _DownApp( A);"
           "\n\r native function _AddNewTestApp( A);"
           "\n\r native function _RefreshApp();"
           "\n\r native function _OpenTimer();"
           "\n\r native function OpenTimer( A);"
           "\n\r native function _OpenURL( A);"
           "\n\r native function _OpenURLA( A, B, C);"
           "\n\r native function _OpenURLB( A);"
           "\n\r native function _GetUser();"
           "\n\r native function _GetPwd();"
           "\n\r native function _CloseAutoLogin();"
           "\n\r native function _SetAutoLogin( A);"
           "\n\r native function _GetAutoLogin();"
           "\n\r native function _GetConfigValue( A);"
           "\n\r native function _ExcuteJs( A);"
           "\n\r native function UpdateMain();"
           "\n\r native function _RunApp( A);"
           "\n\r native function _UninstallApp( A);"
           "\n\r native function _CancelInstall( A);"
           "\n\r native function _QueueApp( A);"
           "\n\r native function _GetQueue();"
           "\n\r native function _MoveInQueue( A, B);"
           "\n\r native function _RemoveFromQueue( A);"
           "\n\r native function _PauseApp( A);"
           "\n\r native function _ResumeApp( A);"
           "\n\r native function _SetRateLimit( A);"
           "\n\r native function _GetRateLimit();"
           "\n\r native function _VerifyApp( A);"
           "\n\r native function _RepairApp( A);"
           "\n\r native function _GetOfflineApps();"
           "\n\r native function _RetryOnline();"
           "\n\r var process;\n\r process=\"\";"
           "\n\r var ckPwd;\n\r ckPwd=\"\";"
           "\n\r var ckAuto;\n\r ckAuto=\"\";"
           "\n\r var _User;\n\r _User=\"\";"
           "\n\r var _pwd;\n\r _pwd=\"\";"
           "\n\r var _uid;\n\r _uid=\"\";"
           "\n\r var _productID;\n\r _productID=" +
           productIdLiteral + ";";
}

class TvxTest : public ::testing::Test {
protected:
    FakeHost host;
    FakeLink link;
    FakeDownloader downloader;
    TVX_JS api{host, link, downloader};
};

} // namespace

TEST(ExtensionSource, EveryValueKindInDeclarationOrder) {
    Sample s;
    EXPECT_EQ(buildExtensionSource(sampleTable(), &s), kSampleSource);
}

TEST(ExtensionSource, TextIsWrittenAsAnEscapedLiteralAndNumbersStayValidScript) {
    Sample s;
    s.title = "a\"b\\c\nd\re</script>";
    s.initial = "";
    s.ratio = std::nan("");
    s.count = INT64_MIN;
    const std::string src = buildExtensionSource(sampleTable(), &s);
    EXPECT_NE(src.find("\n\r title=\"a\\\"b\\\\c\\nd\\re<\\/script>\";"), std::string::npos) << src;
    EXPECT_NE(src.find("\n\r initial=\"\";"), std::string::npos);
    EXPECT_NE(src.find("\n\r ratio=NaN;"), std::string::npos);
    EXPECT_NE(src.find("\n\r count=-9223372036854775808;"), std::string::npos);
    s.ratio = -std::numeric_limits<double>::infinity();
    EXPECT_NE(buildExtensionSource(sampleTable(), &s).find("\n\r ratio=-Infinity;"),
              std::string::npos);
    // The only raw line breaks are the separators: no value can end a line of the source.
    const std::string noSeparators = [&] {
        std::string t = src;
        for (auto p = t.find("\n\r"); p != std::string::npos; p = t.find("\n\r"))
            t.erase(p, 2);
        return t;
    }();
    EXPECT_EQ(noSeparators.find_first_of("\n\r"), std::string::npos);
}

TEST_F(TvxTest, SourceOfThePageApi) {
    api._productID = "12";
    EXPECT_EQ(buildExtensionSource(TVX_JS_Members(), &api), tvxSource("\"12\""));
    api._productID = "1\"2\n";
    EXPECT_EQ(buildExtensionSource(TVX_JS_Members(), &api), tvxSource("\"1\\\"2\\n\""));
}

TEST_F(TvxTest, TableOfThePageApi) {
    const MemberTable& t = TVX_JS_Members();
    EXPECT_EQ(t.className, "TVX_JS");
    ASSERT_EQ(t.methods.size(), 41u);
    EXPECT_EQ(t.fields.size(), 7u);
    EXPECT_TRUE(t.properties.empty());
    for (const FieldInfo& f : t.fields)
        EXPECT_EQ(f.kind, ValueKind::Text) << f.name;
    auto method = [&](std::string_view name) -> const MethodInfo& {
        for (const auto& m : t.methods)
            if (m.name == name)
                return m;
        throw std::runtime_error("no method " + std::string(name));
    };
    using K = ValueKind;
    EXPECT_EQ(method("_OpenURLA").params, (std::vector<K>{K::Text, K::Integer, K::Integer}));
    EXPECT_EQ(method("OpenTimer").params, std::vector<K>{K::Boolean});
    EXPECT_EQ(method("_MoveInQueue").params, (std::vector<K>{K::Text, K::Integer}));
    EXPECT_EQ(method("_SetRateLimit").params, std::vector<K>{K::Integer});
    EXPECT_EQ(method("_CloseAutoLogin").result, K::Boolean);
    EXPECT_EQ(method("_GetUid").result, K::Text);
    EXPECT_EQ(method("_LoginFun").result, std::nullopt);
    for (auto name : {"CheckAPP", "_CheckAPPVer", "_DownApp"})
        EXPECT_EQ(method(name).params, std::vector<K>{K::Object}) << name;
}

TEST_F(TvxTest, RegistersUnderTheClassNameWithItsHandler) {
    FakeEngine engine;
    TNCJsExtended ext(engine);
    EXPECT_EQ(ext.ProcessObject(), nullptr);
    api._productID = "12";
    ext.SetProcessObject(api, TVX_JS_Members());
    ASSERT_EQ(engine.registrations.size(), 1u);
    EXPECT_EQ(engine.registrations[0].name, "TVX_JS");
    EXPECT_EQ(engine.registrations[0].source, tvxSource("\"12\""));
    EXPECT_EQ(engine.registrations[0].handler, ext.JsHandle());
    EXPECT_EQ(ext.ProcessObject(), &api);
    EXPECT_EQ(ext.ATypeInfo(), &TVX_JS_Members());
    // The page keeps the values of the moment of registration.
    api._productID = "99";
    EXPECT_EQ(ext.ExtensionSource(), tvxSource("\"12\""));
    // Once only; and a table must describe the object's own class.
    EXPECT_THROW(ext.SetProcessObject(api, TVX_JS_Members()), std::logic_error);
    TNCJsExtended other(engine);
    Sample s;
    EXPECT_THROW(other.SetProcessObject(s, TVX_JS_Members()), std::invalid_argument);
    EXPECT_EQ(engine.registrations.size(), 1u);
}

TEST_F(TvxTest, RefusedRegistrationRaisesAndLeavesNothingBound) {
    FakeEngine engine;
    engine.accept = false;
    TNCJsExtended ext(engine);
    try {
        ext.SetProcessObject(api, TVX_JS_Members());
        FAIL() << "no error raised";
    } catch (const BridgeError& e) {
        EXPECT_STREQ(e.what(), "Register JavaScript Extension Error");
    }
    EXPECT_EQ(ext.ProcessObject(), nullptr);
    ResultValue r;
    std::string x;
    EXPECT_FALSE(ext.JsHandle()->execute("_GetUid", {}, r, x));
    EXPECT_EQ(x, "Have no member");
}

TEST(ExecuteJavaScript, NeedsABoundViewAndPassesUrlAndLine) {
    FakeEngine engine;
    TNCJsExtended ext(engine);
    try {
        ext.ExecuteJavaScript("x()");
        FAIL() << "no error raised";
    } catch (const BridgeError& e) {
        EXPECT_STREQ(e.what(), "Chromium could not be nil, please first set the Chromium property");
    }
    FakeView view;
    ext.SetChromium(&view);
    EXPECT_EQ(ext.Chromium(), &view);
    ext.ExecuteJavaScript("a()");
    ext.ExecuteJavaScript("b()", "about:blank", 7);
    ASSERT_EQ(view.runs.size(), 2u);
    EXPECT_EQ(view.runs[0].code, "a()");
    EXPECT_EQ(view.runs[0].url, "");
    EXPECT_EQ(view.runs[0].line, 0);
    EXPECT_EQ(view.runs[1].url, "about:blank");
    EXPECT_EQ(view.runs[1].line, 7);
}
