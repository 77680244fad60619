#include "shell/QtEngine.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <vector>

#include "core/Global.h"

namespace vx::shell {

namespace {

QWebEngineProfile* g_profile = nullptr;
std::shared_ptr<IScriptHandler> g_handler;

// Defines __vxNative, the one entry of every stub. prompt is captured here, when the
// document is created, so a page that replaces window.prompt does not reach the channel.
constexpr const char* kChannel = R"JS(var __vxNative = (function () {
  var ask = window.prompt.bind(window), encode = JSON.stringify, decode = JSON.parse;
  var marker = "\u0001vx-native-call\u0001";
  return function (name, args) {
    var typed = [];
    for (var i = 0; i < args.length; i++) {
      var v = args[i], t = typeof v;
      if (t === "boolean") typed.push(["b", v]);
      else if (t === "number") typed.push(["n", isFinite(v) ? v : String(v)]);
      else if (t === "string") typed.push(["s", v]);
      else typed.push(["u"]);
    }
    var reply = decode(ask(marker, encode([name, typed])));
    if (reply && Object.prototype.hasOwnProperty.call(reply, "x")) throw new Error(reply.x);
    return reply ? reply.r : undefined;
  };
})();
)JS";

QString replyJson(const char* key, const QJsonValue& value) {
    QJsonObject o;
    o.insert(QLatin1String(key), value);
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

} // namespace

QWebEngineProfile* createClientProfile(const QString& cacheFolder, const QString& userAgent) {
    g_profile = new QWebEngineProfile(QStringLiteral("vxclient"));
    g_profile->setCachePath(cacheFolder);
    g_profile->setPersistentStoragePath(cacheFolder);
    g_profile->setHttpUserAgent(userAgent);
    return g_profile;
}

QWebEngineProfile* clientProfile() {
    if (!g_profile)
        g_profile = QWebEngineProfile::defaultProfile();
    return g_profile;
}

std::string stubScript(const std::string& source) {
    std::string out = kChannel;
    // The source's lines are separated by LF CR; a declaration is
    // " native function NAME( A, B);".
    static const std::string kDecl = " native function ";
    std::size_t pos = 0;
    while (pos <= source.size()) {
        std::size_t end = source.find('\n', pos);
        std::string line = source.substr(pos, end == std::string::npos ? std::string::npos
                                                                        : end - pos);
        if (!line.empty() && line.front() == '\r')
            line.erase(0, 1);
        if (line.rfind(kDecl, 0) == 0) {
            std::size_t open = line.find('(');
            std::string name = line.substr(kDecl.size(), open - kDecl.size());
            std::string params = line.substr(open + 1, line.rfind(')') - open - 1);
            out += "function " + name + "(" + params + ") { return __vxNative(\"" + name +
                   "\", arguments); }\n";
        } else {
            out += line + "\n";
        }
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    return out;
}

bool QtScriptEngine::registerExtension(const std::string& name, const std::string& source,
                                       std::shared_ptr<IScriptHandler> handler) {
    QWebEngineProfile* profile = clientProfile();
    if (!profile || !handler)
        return false;
    QWebEngineScript script;
    script.setName(QString::fromStdString(name));
    script.setSourceCode(QString::fromStdString(stubScript(source)));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(true);
    profile->scripts()->insert(script);
    g_handler = std::move(handler);
    return true;
}

bool sameOrigin(const QUrl& a, const QUrl& b) {
    auto defaultPort = [](const QUrl& u) {
        return u.port(u.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443
                                                                                           : 80);
    };
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && defaultPort(a) == defaultPort(b);
}

QString dispatchNativeCall(const QUrl& origin, const QString& message) {
    if (!sameOrigin(origin, QUrl(QString::fromStdString(BaseUrl))) || !g_handler)
        return replyJson("x", QStringLiteral("Have no member"));
    const QJsonArray call = QJsonDocument::fromJson(message.toUtf8()).array();
    const std::string name = call.at(0).toString().toStdString();
    std::vector<ScriptValue> args;
    for (const QJsonValue& v : call.at(1).toArray()) {
        const QJsonArray typed = v.toArray();
        const QString type = typed.at(0).toString();
        if (type == QLatin1String("b"))
            args.push_back(ScriptValue::boolean(typed.at(1).toBool()));
        else if (type == QLatin1String("n"))
            args.push_back(ScriptValue::number(
                typed.at(1).isString() ? typed.at(1).toString().toDouble() : typed.at(1).toDouble()));
        else if (type == QLatin1String("s"))
            args.push_back(ScriptValue::string(typed.at(1).toString().toStdString()));
        else
            args.push_back(ScriptValue::undefined());
    }
    ResultValue result;
    std::string exception;
    if (!g_handler->execute(name, args, result, exception))
        return replyJson("x", QString::fromStdString(exception));
    if (result.isInt())
        return replyJson("r", result.intValue());
    if (result.isDouble())
        return replyJson("r", result.doubleValue());
    if (result.isString())
        return replyJson("r", QString::fromStdString(result.stringValue()));
    return QStringLiteral("{}");
}

VxWebPage::VxWebPage(QObject* parent) : QWebEnginePage(clientProfile(), parent) {}

bool VxWebPage::javaScriptPrompt(const QUrl& securityOrigin, const QString& msg,
                                 const QString& defaultValue, QString* result) {
    if (msg != QLatin1String(kNativeCallMarker))
        return QWebEnginePage::javaScriptPrompt(securityOrigin, msg, defaultValue, result);
    *result = dispatchNativeCall(securityOrigin, defaultValue);
    return true;
}

} // namespace vx::shell
