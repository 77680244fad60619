// Dispatch of native calls: lookup, argument counts, conversions, results and failures.

#include "BridgeFakes.h"
#include "api/UJsExterned.h"
#include "api/VxJsMembers.h"
#include "bridge/hiJsScriptExtented.h"
#include "core/Crypto.h"
#include "core/Global.h"
#include "support/TempDir.h"

#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>

using namespace vx;
using namespace bridgetest;

namespace {

struct Probe {
    int count = 0;
    std::vector<std::string> seen;
};

const MemberTable& probeTable() {
    using K = ValueKind;
    using A = const NativeArgs&;
    static const MemberTable table =
        MemberTableOf<Probe>("Probe")
            .method("Text", {K::Text}, K::Text,
                    [](Probe&, A a) -> NativeValue { return "[" + a.text(0) + "]"; })
            .method("Int", {K::Integer}, K::Integer,
                    [](Probe&, A a) -> NativeValue { return a.integer(0); })
            .method("Bool", {K::Boolean}, K::Boolean,
                    [](Probe&, A a) -> NativeValue { return a.boolean(0); })
            .method("Real", {K::Float}, K::Float,
                    [](Probe&, A a) -> NativeValue { return a.real(0); })
            .method("Char", {K::Character}, K::Character,
                    [](Probe&, A a) -> NativeValue { return a.text(0); })
            .method("Pair", {K::Text, K::Integer}, K::Text,
                    [](Probe&, A a) -> NativeValue {
                        return a.text(0) + "/" + std::to_string(a.int32(1));
                    })
            .method("Count", {}, K::Integer,
                    [](Probe& p, A) -> NativeValue { return int64_t{++p.count}; })
            .method("Flags", {}, K::Set,
                    [](Probe&, A) -> NativeValue { return int64_t{0x100000005}; })
            .method("Mode", {}, K::Enumeration, [](Probe&, A) -> NativeValue { return int64_t{3}; })
            .method("Obj", {}, K::Object, [](Probe&, A) -> NativeValue { return {}; })
            .method("Rec", {K::Other}, std::nullopt,
                    [](Probe& p, A) -> NativeValue {
                        ++p.count;
                        return {};
                    })
            .method("Nothing", {}, std::nullopt,
                    [](Probe& p, A) -> NativeValue {
                        p.seen.push_back("Nothing");
                        return {};
                    })
            .method("Boom", {}, K::Text,
                    [](Probe&, A) -> NativeValue { throw std::runtime_error("disk full"); })
            .method("Weird", {}, std::nullopt, [](Probe&, A) -> NativeValue { throw 42; })
            .method("Mismatch", {K::Text}, std::nullopt,
                    [](Probe&, A a) -> NativeValue { return a.integer(0); })
            .property("Size", K::Integer, [](const Probe&) -> NativeValue { return int64_t{1}; })
            .field("title", K::Text, [](const Probe&) -> NativeValue { return "t"; })
            .build();
    return table;
}

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override { ext.SetProcessObject(probe, probeTable()); }

    // Runs one call through the handler the engine was given.
    bool call(const std::string& name, std::vector<ScriptValue> args) {
        result = ResultValue::string("stale");
        exception.clear();
        return engine.registrations.at(0).handler->execute(name, args, result, exception);
    }

    FakeEngine engine;
    TNCJsExtended ext{engine};
    Probe probe;
    ResultValue result;
    std::string exception;
};

struct Case {
    const char* method;
    ScriptValue arg;
    ResultValue expected; // when accepted
    bool accepted = true;
};

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

} // namespace

TEST_F(DispatchTest, ArgumentsConvertByTheirScriptTypeThenToTheParameterKind) {
    const auto str = [](const char* s) { return ResultValue::string(s); };
    const auto num = [](int32_t i) { return ResultValue::integer(i); };
    const auto dbl = [](double d) { return ResultValue::real(d); };
    const std::vector<Case> cases = {
        // text parameters: strings as they are; other values as String() would write them
        {"Text", S("abc"), str("[abc]")},
        {"Text", S(""), str("[]")},
        {"Text", U(), str("[]")},
        {"Text", B(true), str("[true]")},
        {"Text", B(false), str("[false]")},
        {"Text", N(12), str("[12]")},
        {"Text", N(-0.0), str("[0]")},
        {"Text", N(1.5), str("[1.5]")},
        {"Text", N(3e9), str("[3000000000]")},
        {"Text", N(1e21), str("[1e+21]")},
        {"Text", N(kNaN), str("[NaN]")},
        {"Text", N(-kInf), str("[-Infinity]")},
        {"Char", S("字"), str("字")},
        {"Char", U(), str("")},
        // whole-number parameters: integers, booleans as 1/0; fractions and strings refused
        {"Int", N(7), num(7)},
        {"Int", N(-2147483648.0), num(INT32_MIN)},
        {"Int", N(-0.0), num(0)},
        {"Int", B(true), num(1)},
        {"Int", U(), num(0)},
        {"Int", N(2.5), {}, false},
        {"Int", N(3e9), {}, false},
        {"Int", N(kNaN), {}, false},
        {"Int", N(kInf), {}, false},
        {"Int", S("5"), {}, false},
        // boolean parameters: booleans; numbers by their truth; the result as 1/0
        {"Bool", B(true), num(1)},
        {"Bool", B(false), num(0)},
        {"Bool", N(2), num(1)},
        {"Bool", N(0), num(0)},
        {"Bool", N(0.5), num(1)},
        {"Bool", N(kNaN), num(0)},
        {"Bool", U(), num(0)},
        {"Bool", S("true"), {}, false},
        // floating-point parameters
        {"Real", N(2.5), dbl(2.5)},
        {"Real", N(3), dbl(3.0)},
        {"Real", B(true), dbl(1.0)},
        {"Real", U(), dbl(0.0)},
        {"Real", S("2.5"), {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " with " +
                     (c.arg.isString()   ? "string " + c.arg.getStringValue()
                      : c.arg.isDouble() ? "number " + std::to_string(c.arg.getDoubleValue())
                      : c.arg.isBool()   ? std::string("boolean")
                                         : std::string("undefined")));
        const bool handled = call(c.method, {c.arg});
        EXPECT_EQ(handled, c.accepted);
        if (c.accepted) {
            EXPECT_EQ(result, c.expected);
            EXPECT_EQ(exception, "");
        } else {
            EXPECT_EQ(exception, "Error Parameters");
            EXPECT_TRUE(result.isEmpty());
        }
    }
}

TEST_F(DispatchTest, NumbersToTextParametersReadAsScriptWritesThem) {
    // The page's own text of the number, as the prompt channel's stubs send it.
    const auto text = [](double d, const char* t) { return ScriptValue::number(d, t); };
    ASSERT_TRUE(call("Text", {text(1e-7, "1e-7")}));
    EXPECT_EQ(result, ResultValue::string("[1e-7]"));
    ASSERT_TRUE(call("Char", {text(1.5e-5, "0.000015")}));
    EXPECT_EQ(result, ResultValue::string("0.000015"));
    ASSERT_TRUE(
        call("Pair", {text(123456789012345680000.0, "123456789012345680000"), text(7, "7")}));
    EXPECT_EQ(result, ResultValue::string("123456789012345680000/7"));
    // Number parameters take the number, never the text.
    ASSERT_TRUE(call("Int", {text(7, "seven")}));
    EXPECT_EQ(result, ResultValue::integer(7));
    ASSERT_TRUE(call("Real", {text(2.5, "x")}));
    EXPECT_EQ(result, ResultValue::real(2.5));
    EXPECT_FALSE(call("Int", {text(2.5, "2.5")}));
    EXPECT_EQ(exception, "Error Parameters");

    // Without the page's text (older stubs, other engines) the number is written as
    // Number::toString would write it.
    const std::vector<std::pair<double, const char*>> plain = {
        {1e-7, "1e-7"},
        {-1e-7, "-1e-7"},
        {1.5e-5, "0.000015"},
        {1e-6, "0.000001"},
        {0.1, "0.1"},
        {123.456, "123.456"},
        {-2.5, "-2.5"},
        {4294967296.5, "4294967296.5"},
        {123456789012345680000.0, "123456789012345680000"},
        {1e21, "1e+21"},
        {1.5e300, "1.5e+300"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {-0.0, "0"},
        {kNaN, "NaN"},
        {-kInf, "-Infinity"},
    };
    for (const auto& [d, written] : plain) {
        ASSERT_TRUE(call("Text", {N(d)})) << written;
        EXPECT_EQ(result, ResultValue::string("[" + std::string(written) + "]"));
    }
}

TEST_F(DispatchTest, ResultsByKind) {
    ASSERT_TRUE(call("Count", {}));
    EXPECT_EQ(result, ResultValue::integer(1));
    ASSERT_TRUE(call("Flags", {}));
    EXPECT_EQ(result, ResultValue::integer(5)); // as a 32-bit integer
    ASSERT_TRUE(call("Mode", {}));
    EXPECT_EQ(result, ResultValue::integer(3));
    ASSERT_TRUE(call("Obj", {}));
    EXPECT_TRUE(result.isEmpty());
    ASSERT_TRUE(call("Nothing", {}));
    EXPECT_TRUE(result.isEmpty()); // cleared, not left from before
    EXPECT_EQ(probe.seen.size(), 1u);
}

TEST_F(DispatchTest, LookupIgnoresAsciiCaseAndFindsOnlyMethods) {
    EXPECT_TRUE(call("count", {}));
    EXPECT_TRUE(call("COUNT", {}));
    EXPECT_TRUE(call("cOuNt", {}));
    EXPECT_EQ(probe.count, 3);
    for (auto name : {"Missing", "", "Coun", "Counts", "Size", "title"}) {
        EXPECT_FALSE(call(name, {})) << name;
        EXPECT_EQ(exception, "Have no member") << name;
        EXPECT_TRUE(result.isEmpty());
    }
}

TEST_F(DispatchTest, ArgumentCounts) {
    // No parameters: any arguments are ignored.
    EXPECT_TRUE(call("Count", {S("x"), N(1)}));
    EXPECT_EQ(probe.count, 1);
    // Parameters: exactly as many arguments.
    EXPECT_TRUE(call("Pair", {S("a"), N(2)}));
    EXPECT_EQ(result, ResultValue::string("a/2"));
    for (auto args : std::vector<std::vector<ScriptValue>>{{}, {S("a")}, {S("a"), N(2), N(3)}}) {
        EXPECT_FALSE(call("Pair", args)) << args.size();
        EXPECT_EQ(exception, "Error Parameters");
    }
    EXPECT_FALSE(call("Text", {}));
    EXPECT_EQ(exception, "Error Parameters");
    // One argument that does not convert refuses the whole call.
    EXPECT_FALSE(call("Pair", {S("a"), N(0.5)}));
    EXPECT_EQ(exception, "Error Parameters");
}

TEST_F(DispatchTest, RecordParametersAreRefusedWithoutCallingTheMethod) {
    for (auto arg : {U(), S("x"), N(1), B(true)}) {
        EXPECT_FALSE(call("Rec", {arg}));
        EXPECT_EQ(exception, "Error Parameters");
    }
    EXPECT_EQ(probe.count, 0);
}

TEST_F(DispatchTest, FailuresOfTheMethodBecomeTheExceptionText) {
    EXPECT_FALSE(call("Boom", {}));
    EXPECT_EQ(exception, "Native function failed: Boom: disk full");
    EXPECT_TRUE(result.isEmpty());
    EXPECT_FALSE(call("Weird", {}));
    EXPECT_EQ(exception, "Native function failed: Weird");
    // A member table whose invoker reads the wrong kind fails the call, not the process.
    EXPECT_FALSE(call("Mismatch", {S("x")}));
    EXPECT_EQ(exception.rfind("Native function failed: Mismatch: ", 0), 0u) << exception;
}

TEST(DispatchLifetime, AHandlerOutlivingItsComponentRefusesCalls) {
    FakeEngine engine;
    Probe probe;
    {
        TNCJsExtended ext(engine);
        ext.SetProcessObject(probe, probeTable());
    }
    ResultValue r;
    std::string x;
    EXPECT_FALSE(engine.registrations.at(0).handler->execute("Count", {}, r, x));
    EXPECT_EQ(x, "Have no member");
    EXPECT_EQ(probe.count, 0);
}

// The page API through the bridge, with the real TVX_JS.
class TvxDispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitSharedState(dir.str() + "vxclient");
        std::filesystem::create_directories(ConfigPath);
        ext.SetProcessObject(api, TVX_JS_Members());
    }
    bool call(const std::string& name, std::vector<ScriptValue> args) {
        result = ResultValue::string("stale");
        exception.clear();
        return ext.JsHandle()->Execute(name, args, result, exception);
    }

    vxtest::TempDir dir{"bridge"};
    FakeHost host;
    FakeLink link;
    FakeDownloader downloader;
    TVX_JS api{host, link, downloader};
    FakeEngine engine;
    TNCJsExtended ext{engine};
    ResultValue result;
    std::string exception;
};

TEST_F(TvxDispatchTest, TextResultsAndLowerCaseNames) {
    api._uid = "0";
    ASSERT_TRUE(call("_getuid", {}));
    EXPECT_EQ(result, ResultValue::string(ScrambleParam("0")));
    ASSERT_TRUE(call("_GetUid", {S("a"), S("b")}));
    EXPECT_EQ(result, ResultValue::string(ScrambleParam("0")));
    api._User = "张三";
    ASSERT_TRUE(call("_GETUSER", {}));
    EXPECT_EQ(result, ResultValue::string("张三"));
}

TEST_F(TvxDispatchTest, ParametersOfEveryKind) {
    ASSERT_TRUE(call("_OpenURLA", {S("http://x/a"), N(640), N(480)}));
    ASSERT_EQ(host.popups.size(), 1u);
    EXPECT_EQ(host.popups[0].first, "http://x/a");
    EXPECT_EQ(host.popups[0].second, std::make_pair(640, 480));
    EXPECT_TRUE(result.isEmpty());

    EXPECT_FALSE(call("_OpenURLA", {S("http://x/a"), N(640)}));
    EXPECT_EQ(exception, "Error Parameters");
    EXPECT_FALSE(call("_OpenURLA", {S("http://x/a"), N(640.5), N(480)}));
    EXPECT_EQ(exception, "Error Parameters");
    EXPECT_FALSE(call("_OpenURL", {}));
    EXPECT_EQ(exception, "Error Parameters");
    EXPECT_EQ(host.popups.size(), 1u);

    ASSERT_TRUE(call("OpenTimer", {B(true)}));
    ASSERT_TRUE(call("OpenTimer", {B(false)}));
    EXPECT_EQ(link.sent, (std::vector<std::string>{"appID=4&parma=ShowForm%3Fa",
                                                   "appID=4&parma=HideForm%3Fa"}));

    // An undefined text argument arrives as an empty text.
    ASSERT_TRUE(call("_ExcuteJs", {U()}));
    ASSERT_TRUE(call("_ExcuteJs", {S("ST_x()")}));
    EXPECT_EQ(host.calls, (std::vector<std::string>{"", "ST_x()"}));
}

TEST_F(TvxDispatchTest, BooleanResultArrivesAsOneOrZero) {
    ASSERT_TRUE(call("_CloseAutoLogin", {}));
    EXPECT_EQ(result, ResultValue::integer(0)); // no Users.xml
    dir.write("Config/Users.xml",
              "<?xml version=\"1.0\" encoding=\"utf-8\"?><Users><DefUser name=\"a\" pwd=\"\" "
              "auto=\"true\"/></Users>");
    ASSERT_TRUE(call("_closeautologin", {}));
    EXPECT_EQ(result, ResultValue::integer(1));
}

TEST_F(TvxDispatchTest, RecordMethodsAreRefused) {
    for (auto name : {"CheckAPP", "_CheckAPPVer", "_DownApp"}) {
        for (auto arg : {U(), S("12"), N(12)}) {
            EXPECT_FALSE(call(name, {arg})) << name;
            EXPECT_EQ(exception, "Error Parameters");
        }
    }
    EXPECT_FALSE(installBusy);
    EXPECT_EQ(downloader.calls, 0);
    // Fields are no functions.
    EXPECT_FALSE(call("_productID", {}));
    EXPECT_EQ(exception, "Have no member");
}
