// The prompt channel's stubs in a real Chromium page: page script that changes built-ins,
// calls the browser refuses to deliver, numbers to text parameters and the field values per
// origin. A small object of its own is registered through the real Qt adapter; its pages come
// from in-process HTTP servers on 127.0.0.1 (two ports are two origins).

#include "QtPump.h"
#include "bridge/hiJsScriptExtented.h"
#include "core/Global.h"
#include "shell/QtEngine.h"
#include "support/HttplibServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QWebEngineProfile>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>
#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

using namespace vx;
using namespace vx::shell;

namespace {

bool pumpFor(const std::function<bool()>& pred, int guardMs = 30000) {
    return shelltest::pumpUntil(pred, guardMs);
}

std::string text(const QVariant& v) {
    return v.toString().toStdString();
}

struct Probe {
    std::vector<std::string> calls; // what reached the native side
};

const MemberTable& probeTable() {
    using K = ValueKind;
    using A = const NativeArgs&;
    static const MemberTable table =
        MemberTableOf<Probe>("Probe")
            .method("Echo", {K::Text}, K::Text,
                    [](Probe& p, A a) -> NativeValue {
                        p.calls.push_back("Echo:" + a.text(0));
                        return a.text(0);
                    })
            .method("Login", {K::Text, K::Text}, K::Text,
                    [](Probe& p, A a) -> NativeValue {
                        p.calls.push_back("Login:" + a.text(0) + "|" + a.text(1));
                        return a.text(0) + "/" + a.text(1);
                    })
            .method("Add", {K::Integer, K::Integer}, K::Integer,
                    [](Probe&, A a) -> NativeValue { return a.integer(0) + a.integer(1); })
            .method("Half", {K::Float}, K::Float,
                    [](Probe&, A a) -> NativeValue { return a.real(0) / 2; })
            .method("Nothing", {}, std::nullopt, [](Probe&, A) -> NativeValue { return {}; })
            .method("Fail", {}, std::nullopt,
                    [](Probe&, A) -> NativeValue { throw std::runtime_error("boom"); })
            .field("serial", K::Text, [](const Probe&) -> NativeValue { return "S-1"; })
            .field("count", K::Integer, [](const Probe&) -> NativeValue { return int64_t{5}; })
            .build();
    return table;
}

constexpr const char* kServicePage = R"(<html><head><title>service</title><script>
window.said = {};
window.addEventListener('message', function (e) { said[e.data.from] = e.data; });
function tryCall(f) { try { return 'returned:' + f(); } catch (e) { return 'threw:' + e.message; } }
function addFrame(src, sandbox) {
  var f = document.createElement('iframe');
  if (sandbox !== null) f.setAttribute('sandbox', sandbox);
  f.src = src;
  document.body.appendChild(f);
  return true;
}
</script></head><body>service</body></html>)";

// Reports to its parent what a call gives and which field values it sees.
constexpr const char* kFramePage = R"(<html><body><script>
var from = location.search.substring(1), call;
try { call = 'returned:' + Echo(from); } catch (e) { call = 'threw:' + e.message; }
var fields = typeof serial === 'undefined' ? 'none' : String(serial) + ',' + String(count);
parent.postMessage({ from: from, call: call, fields: fields }, '*');
</script></body></html>)";

// Calls while the frame goes away, when Chromium no longer lets a page prompt.
constexpr const char* kUnloadPage = R"(<html><body><script>
var up = parent; // a frame being removed has no parent any more when its pagehide runs
up.unloadReady = true;
window.addEventListener('pagehide', function () {
  try { up.unloadSays = 'returned:' + Echo('unload'); }
  catch (e) { up.unloadSays = 'threw:' + e.message; }
});
</script></body></html>)";

// Old script libraries change built-ins; a page may also try to listen in on the channel.
constexpr const char* kTamperedPage = R"(<html><head><script>
window.heard = [];
function note(what) { heard[heard.length] = what; }
function tryCall(f) { try { return 'returned:' + f(); } catch (e) { return 'threw:' + e.message; } }
Array.prototype.toJSON = function () { note('Array.toJSON'); return 'array'; };
Object.prototype.toJSON = function () { note('Object.toJSON'); return 'object'; };
Object.prototype.d = 'oops';
Object.prototype.x = 'forged exception';
Object.prototype.r = 'forged result';
Function.prototype.call = function () { note('call'); return '{"r":"rerouted"}'; };
Function.prototype.apply = function () { note('apply'); return '{"r":"rerouted"}'; };
Reflect.apply = function () { note('Reflect.apply'); return '{"r":"rerouted"}'; };
JSON.stringify = function () { note('stringify'); return '["Login",[{"s":"x"},{"s":"y"}]]'; };
JSON.parse = function () { note('parse'); return { r: 'forged' }; };
Object.prototype.hasOwnProperty = function () { note('hasOwnProperty'); return true; };
window.prompt = function () { note('prompt'); return '{"r":"rerouted"}'; };
window.isFinite = function () { note('isFinite'); return false; };
window.String = function () { note('String'); return 'S'; };
window.Number = function () { note('Number'); return 1; };
window.Error = function () { note('Error'); this.message = 'forged'; };
</script></head><body>tampered</body></html>)";

class StubInChromium : public ::testing::Test {
protected:
    void SetUp() override {
        for (vxtest::HttplibServer* s : {&service, &other}) {
            s->server().set_keep_alive_timeout(1); // so that stopping does not wait on Chromium
            s->server().Get("/", [](const httplib::Request&, httplib::Response& res) {
                res.set_content(kServicePage, "text/html; charset=utf-8");
            });
            s->server().Get("/frame.html", [](const httplib::Request&, httplib::Response& res) {
                res.set_content(kFramePage, "text/html; charset=utf-8");
            });
            s->server().Get("/unload.html", [](const httplib::Request&, httplib::Response& res) {
                res.set_content(kUnloadPage, "text/html; charset=utf-8");
            });
            s->server().Get("/tampered.html", [](const httplib::Request&, httplib::Response& res) {
                res.set_content(kTamperedPage, "text/html; charset=utf-8");
            });
        }
        SetBaseUrl(service.url("/"));
        bridge.SetProcessObject(probe, probeTable());
        view = new QWebEngineView();
        view->setPage(new VxWebPage(view));
        view->resize(400, 300);
        view->show();
    }
    void TearDown() override {
        delete view;
        // The other tests of this program load pages into the same profile.
        QWebEngineScriptCollection* scripts = clientProfile()->scripts();
        for (const QWebEngineScript& s : scripts->find(QStringLiteral("Probe")))
            scripts->remove(s);
    }

    void load(const std::string& url) {
        bool done = false, ok = false;
        auto c = QObject::connect(view->page(), &QWebEnginePage::loadFinished, [&](bool good) {
            done = true;
            ok = good;
        });
        view->load(QUrl(QString::fromStdString(url)));
        ASSERT_TRUE(pumpFor([&] { return done; })) << url;
        QObject::disconnect(c);
        ASSERT_TRUE(ok) << url;
    }
    QVariant js(const QString& code) {
        QVariant result;
        bool done = false;
        view->page()->runJavaScript(code, [&](const QVariant& v) {
            result = v;
            done = true;
        });
        EXPECT_TRUE(pumpFor([&] { return done; })) << code.toStdString();
        return result;
    }
    // Adds a frame of kFramePage named `from` and waits for its report.
    QVariantMap frameReport(const vxtest::HttplibServer& server, const std::string& from,
                            const char* sandbox = nullptr) {
        const QString name = QString::fromStdString(from);
        js(QStringLiteral("addFrame('%1', %2)")
               .arg(QString::fromStdString(server.url("/frame.html?" + from)),
                    sandbox ? QStringLiteral("'%1'").arg(QLatin1String(sandbox))
                            : QStringLiteral("null")));
        const QString said = QStringLiteral("said['%1']").arg(name);
        EXPECT_TRUE(pumpFor([&] { return !js(said).isNull(); })) << from;
        return js(said).toMap();
    }

    vxtest::HttplibServer service;
    vxtest::HttplibServer other;
    Probe probe;
    QtScriptEngine engine;
    TNCJsExtended bridge{engine};
    QWebEngineView* view = nullptr;
};

} // namespace

TEST_F(StubInChromium, ChangedBuiltInsNeitherBreakNorRerouteCalls) {
    load(service.url("/tampered.html"));
    EXPECT_EQ(text(js(QStringLiteral("Login('ann', 'pa\"ss字')"))), "ann/pa\"ss字");
    EXPECT_EQ(probe.calls, std::vector<std::string>{"Login:ann|pa\"ss字"});
    EXPECT_EQ(js(QStringLiteral("Add(2, 3)")).toInt(), 5);
    EXPECT_EQ(js(QStringLiteral("Half(3)")).toDouble(), 1.5);
    EXPECT_EQ(text(js(QStringLiteral("typeof Nothing()"))), "undefined");
    EXPECT_EQ(text(js(QStringLiteral("Echo(true) + Echo(12) + Echo(undefined) + Echo([1])"))),
              "true12");
    EXPECT_EQ(text(js(QStringLiteral("tryCall(function () { return Fail(); })"))),
              "threw:Native function failed: Fail: boom");
    EXPECT_EQ(text(js(QStringLiteral("tryCall(function () { return Add(1); })"))),
              "threw:Error Parameters");
    EXPECT_EQ(text(js(QStringLiteral("tryCall(function () { return Add(0.5, 1); })"))),
              "threw:Error Parameters");
    // Nothing the page put in place was ever asked.
    EXPECT_EQ(js(QStringLiteral("heard.length")).toInt(), 0)
        << js(QStringLiteral("heard.join(', ')")).toString().toStdString();
}

TEST_F(StubInChromium, NumbersReachTextParametersAsThePageWritesThem) {
    load(service.url("/"));
    EXPECT_EQ(text(js(QStringLiteral("Echo(1e-7)"))), "1e-7");
    EXPECT_EQ(text(js(QStringLiteral("Echo(1.5e-5)"))), "0.000015");
    EXPECT_EQ(text(js(QStringLiteral("Echo(123456789012345680000)"))), "123456789012345680000");
    EXPECT_EQ(text(js(QStringLiteral("Login(-0, 0.1 + 0.2)"))), "0/0.30000000000000004");
    EXPECT_EQ(probe.calls,
              (std::vector<std::string>{"Echo:1e-7", "Echo:0.000015", "Echo:123456789012345680000",
                                        "Login:0|0.30000000000000004"}));
}

TEST_F(StubInChromium, CallsTheBrowserBlocksSaySo) {
    load(service.url("/"));
    // A sandboxed frame without allow-modals: Chromium answers prompt() with null itself.
    EXPECT_EQ(text(frameReport(service, "sandboxed", "allow-scripts allow-same-origin")["call"]),
              "threw:" + std::string(bridge_texts::kCallBlocked));
    // The same frame allowed to prompt is served.
    EXPECT_EQ(
        text(frameReport(service, "modal", "allow-scripts allow-same-origin allow-modals")["call"]),
        "returned:modal");
    // A frame going away.
    js(QStringLiteral("addFrame('%1', null)")
           .arg(QString::fromStdString(service.url("/unload.html"))));
    ASSERT_TRUE(
        pumpFor([&] { return js(QStringLiteral("window.unloadReady === true")).toBool(); }));
    js(QStringLiteral("document.querySelectorAll('iframe')[2].remove(); true"));
    ASSERT_TRUE(pumpFor([&] { return !js(QStringLiteral("window.unloadSays")).isNull(); }));
    EXPECT_EQ(text(js(QStringLiteral("window.unloadSays"))),
              "threw:" + std::string(bridge_texts::kCallBlocked));
    EXPECT_EQ(probe.calls, std::vector<std::string>{"Echo:modal"});
}

TEST_F(StubInChromium, FieldValuesOnlyInFramesOfTheServicesOrigin) {
    load(service.url("/"));
    EXPECT_EQ(text(js(QStringLiteral("serial + ',' + count"))), "S-1,5");
    // Another loopback origin (another port): the functions answer "Have no member" and the
    // variables are there without their values.
    const QVariantMap foreign = frameReport(other, "foreign");
    EXPECT_EQ(text(foreign["call"]), "threw:Have no member");
    EXPECT_EQ(text(foreign["fields"]), "none");
    // The service's address in a frame sandboxed without allow-same-origin is another
    // (opaque) origin too.
    EXPECT_EQ(text(frameReport(service, "opaque", "allow-scripts")["fields"]), "none");
    // A frame of the service's own origin sees them.
    const QVariantMap own = frameReport(service, "own");
    EXPECT_EQ(text(own["call"]), "returned:own");
    EXPECT_EQ(text(own["fields"]), "S-1,5");
    // Nor does a main page of the other origin.
    load(other.url("/"));
    EXPECT_EQ(text(js(QStringLiteral("typeof serial + ',' + typeof count"))),
              "undefined,undefined");
}
