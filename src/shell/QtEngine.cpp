#include "shell/QtEngine.h"

#include <QWebEngineCertificateError>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <vector>

#include "bridge/PromptChannel.h"
#include "bridge/hiJsScriptExtented.h"
#include "core/Global.h"
#include "shell/OfflinePage.h"
#include "shell/PageTrust.h"

namespace vx::shell {

namespace {

QWebEngineProfile* g_profile = nullptr;
std::shared_ptr<IScriptHandler> g_handler;

} // namespace

QWebEngineProfile* createClientProfile(const QString& cacheFolder, const QString& userAgent) {
    // A named profile writes its first files (user_prefs.json) below the data location Qt
    // knows when the profile is made, before its storage path can be set; on POSIX that is
    // $XDG_DATA_HOME. For that moment it is the client's own folder too, so that nothing of
    // the engine lands outside it (a packaged client's user folder, docs/operators.md).
    const bool hadData = qEnvironmentVariableIsSet("XDG_DATA_HOME");
    const QByteArray data = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", cacheFolder.toLocal8Bit());
    g_profile = new QWebEngineProfile(QStringLiteral("vxclient"));
    if (hadData)
        qputenv("XDG_DATA_HOME", data);
    else
        qunsetenv("XDG_DATA_HOME");
    g_profile->setCachePath(cacheFolder);
    g_profile->setPersistentStoragePath(cacheFolder);
    g_profile->setHttpUserAgent(userAgent);
    installOfflinePage(g_profile);
    return g_profile;
}

QWebEngineProfile* clientProfile() {
    if (!g_profile)
        g_profile = QWebEngineProfile::defaultProfile();
    return g_profile;
}

bool QtScriptEngine::registerExtension(const std::string& name, const std::string& source,
                                       std::shared_ptr<IScriptHandler> handler) {
    QWebEngineProfile* profile = clientProfile();
    if (!profile || !handler)
        return false;
    // Registering an extension again replaces it: two stub scripts of one name would both
    // run in every frame.
    QWebEngineScriptCollection* scripts = profile->scripts();
    for (const QWebEngineScript& old : scripts->find(QString::fromStdString(name)))
        scripts->remove(old);
    QWebEngineScript script;
    script.setName(QString::fromStdString(name));
    const QString origin = scriptOrigin(QUrl(QString::fromStdString(BaseUrl)));
    script.setSourceCode(QString::fromStdString(promptStubScript(source, origin.toStdString())));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(true);
    scripts->insert(script);
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

QString scriptOrigin(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty())
        return {};
    const QString scheme = url.scheme().toLower();
    const int port = url.port();
    QString host = url.host(QUrl::FullyEncoded).toLower();
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']'); // IPv6
    const bool defaultPort = port == -1 || (scheme == QLatin1String("http") && port == 80) ||
                             (scheme == QLatin1String("https") && port == 443);
    return scheme + QLatin1String("://") + host +
           (defaultPort ? QString() : QLatin1Char(':') + QString::number(port));
}

QString dispatchNativeCall(const QUrl& origin, const QString& message) {
    // The client's own offline page gets its few functions, nothing else.
    bool granted = sameOrigin(origin, QUrl(QString::fromStdString(BaseUrl)));
    if (!granted && isOfflineOrigin(origin)) {
        const auto call = parseCallMessage(message.toStdString());
        granted = call && offlinePageMayCall(call->name);
    }
    if (!granted || !g_handler) {
        return QString::fromStdString(
            replyMessage(false, ResultValue(), std::string(bridge_texts::kHaveNoMember)));
    }
    return QString::fromStdString(dispatchPromptMessage(*g_handler, message.toStdString()));
}

VxWebPage::VxWebPage(QObject* parent) : QWebEnginePage(clientProfile(), parent) {
    connect(this, &QWebEnginePage::certificateError, this, &VxWebPage::judgeCertificate);
}

void VxWebPage::judgeCertificate(const QWebEngineCertificateError& reported) {
    // The decision is made at once (the file is read once, the verification is in memory).
    // A handler that decides nothing would refuse as well; saying so keeps that explicit.
    QWebEngineCertificateError error = reported;
    std::string reason;
    if (mayAcceptCertificate(error, &reason)) {
        error.acceptCertificate();
        return;
    }
    qWarning("certificate of %s refused: %s", qPrintable(error.url().toDisplayString()),
             reason.c_str());
    error.rejectCertificate();
    emit certificateRefused(error.url());
}

bool VxWebPage::javaScriptPrompt(const QUrl& securityOrigin, const QString& msg,
                                 const QString& defaultValue, QString* result) {
    if (msg.toStdString() != kNativeCallMarker)
        return QWebEnginePage::javaScriptPrompt(securityOrigin, msg, defaultValue, result);
    *result = dispatchNativeCall(securityOrigin, defaultValue);
    return true;
}

} // namespace vx::shell
