#include "shell/Startup.h"
#include "shell/OfflinePage.h"

#include <QApplication>
#include <QHostAddress>
#include <QMessageBox>
#include <QNetworkProxyFactory>
#include <QRegularExpression>

#include "core/Global.h"
#include "core/Log.h"
#include "core/MainThread.h"
#include "http/HttpThread.h"
#include "platform/Platform.h"
#include "shell/QtEngine.h"
#include "shell/QtMainThread.h"
#include "shell/UMain.h"

namespace vx::shell {

namespace {

constexpr const char* kEngineFlags = "QTWEBENGINE_CHROMIUM_FLAGS";

// The first of the environment variables that is set, as libcurl reads them: empty counts as
// unset.
QString firstSet(std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (QString v = qEnvironmentVariable(name).trimmed(); !v.isEmpty())
            return v;
    return {};
}

// A proxy as libcurl reads it from the environment ("host:port", "http://user:pw@host:port/",
// "socks5h://host") as a Chromium proxy server ("http://host:port"). The port is always
// written, since Chromium's default (80) is not libcurl's (1080; 443 for an https proxy).
// Credentials cannot be handed to Chromium this way and are left out. Empty for no proxy, or
// for one libcurl would refuse too.
QString chromiumProxy(QString v) {
    if (v.isEmpty() || v.contains(QRegularExpression(QStringLiteral("[\\s\"']"))))
        return {};
    QString scheme = QStringLiteral("http");
    if (const auto sep = v.indexOf(QLatin1String("://")); sep >= 0) {
        scheme = v.left(sep).toLower();
        v = v.mid(sep + 3);
    }
    if (const auto slash = v.indexOf(QLatin1Char('/')); slash >= 0)
        v.truncate(slash);
    if (const auto at = v.lastIndexOf(QLatin1Char('@')); at >= 0)
        v = v.mid(at + 1);
    QString kind;
    int port = 1080;
    if (scheme == QLatin1String("http")) {
        kind = scheme;
    } else if (scheme == QLatin1String("https")) {
        kind = scheme;
        port = 443;
    } else if (scheme == QLatin1String("socks4") || scheme == QLatin1String("socks4a")) {
        kind = QStringLiteral("socks4");
    } else if (scheme == QLatin1String("socks5") || scheme == QLatin1String("socks5h")) {
        kind = QStringLiteral("socks5");
    }
    if (kind.isEmpty() || v.isEmpty() || v.startsWith(QLatin1Char(':')))
        return {};
    const bool hasPort = v.startsWith(QLatin1Char('['))
                             ? v.contains(QLatin1String("]:"))
                             : v.contains(QLatin1Char(':'));
    if (!hasPort)
        v += QLatin1Char(':') + QString::number(port);
    return kind + QLatin1String("://") + v;
}

// no_proxy's list as libcurl reads it (a name matches itself and every name below it, with or
// without a leading dot; addresses, optionally with a /prefix) as Chromium's bypass rules,
// where a bare name matches itself only.
QString chromiumBypass(const QString& list) {
    QStringList rules;
    for (QString e : list.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts)) {
        if (e.startsWith(QLatin1Char('.')))
            e.remove(0, 1);
        if (e.isEmpty() || e.contains(QRegularExpression(QStringLiteral("[;\"']"))))
            continue;
        QHostAddress address;
        if (e.contains(QLatin1Char('/')))
            rules << e;
        else if (address.setAddress(e))
            rules << (address.protocol() == QAbstractSocket::IPv6Protocol
                          ? QLatin1Char('[') + e + QLatin1Char(']')
                          : e);
        else
            rules << e << QLatin1String("*.") + e;
    }
    return rules.join(QLatin1Char(';'));
}

} // namespace

void usePageProxyOfSystem() {
    // Only the system configuration path of Qt WebEngine reads Chromium's own proxy settings
    // (the switches below, or on Windows the Internet Options); the other one knows a single
    // proxy for every scheme and no bypass list.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    if (!platform::systemProxy("http://").fromEnvironment)
        return;
    QByteArray flags = qgetenv(kEngineFlags);
    QStringList given = QString::fromLocal8Bit(flags).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (QCoreApplication::instance())
        given += QCoreApplication::arguments();
    for (const QString& arg : given)
        for (const char* own : {"--proxy-server", "--no-proxy-server", "--proxy-pac-url",
                                "--proxy-auto-detect", "--proxy-bypass-list"})
            if (arg.startsWith(QLatin1String(own)))
                return;

    // libcurl's choice: http_proxy for http (never HTTP_PROXY, which a CGI environment lets a
    // request set), https_proxy or HTTPS_PROXY for https, all_proxy or ALL_PROXY otherwise.
    const QString http = chromiumProxy(firstSet({"http_proxy", "all_proxy", "ALL_PROXY"}));
    const QString https =
        chromiumProxy(firstSet({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}));
    const QString bypass = firstSet({"no_proxy", "NO_PROXY"});

    QByteArray own;
    // Without a proxy the page goes direct, whatever a desktop's own settings say: the
    // environment is what the HTTP worker and the downloader follow.
    const bool bypassAll =
        bypass.split(QRegularExpression(QStringLiteral("[,\\s]+"))).contains(QLatin1String("*"));
    if ((http.isEmpty() && https.isEmpty()) || bypassAll) {
        own = "--no-proxy-server";
    } else {
        QStringList rules;
        if (!http.isEmpty())
            rules << QLatin1String("http=") + http;
        if (!https.isEmpty())
            rules << QLatin1String("https=") + https;
        own = "--proxy-server=" + rules.join(QLatin1Char(';')).toUtf8();
        // Chromium keeps loopback addresses (localhost, 127.0.0.0/8, [::1]) direct by itself,
        // as the worker and the downloader do.
        if (const QString b = chromiumBypass(bypass); !b.isEmpty())
            own += " --proxy-bypass-list=" + b.toUtf8();
    }
    qputenv(kEngineFlags, flags.isEmpty() ? own : flags + ' ' + own);
}

int runClient(int argc, char** argv, const char* version) {
    // 1. Shared state first: paths, the apps folder, the empty application list.
    InitSharedState();
    // The log, for whoever supports the user (a client without one runs all the same).
    (void)log::start(log::defaultFolder());
    log::write("client", std::string("start, version ") + version + ", folder " + AppPath +
                             ", service " + BaseUrl);
    static QtMainThread mainThread;
    setMainThread(&mainThread);
    SetShowMsgHook([](const std::string& caption, const std::string& text) {
        QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption),
                        QString::fromStdString(text), QMessageBox::Ok);
        box.exec();
    });
    // 4. The application object (Qt needs it before any engine setting can be made).
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    registerOfflineScheme();
    QApplication app(argc, argv);
    // 5-7. One client per session.
    auto instance = platform::acquireInstanceLock("VXFrame");
    if (!instance) {
        ShowMsg("已经运行这个程序!");
        return 0;
    }
    // 2-3. The engine's proxies, user agent and cache folder, before the first view exists.
    // The proxy switches are for this engine only: the programs the client starts must not
    // inherit them, so the engine's variable is back as it was once the engine has read it.
    const bool hadFlags = qEnvironmentVariableIsSet(kEngineFlags);
    const QByteArray flags = qgetenv(kEngineFlags);
    usePageProxyOfSystem();
    createClientProfile(QString::fromStdString(AppPath + "cache"),
                        QString::fromLatin1(THttpThread::kUserAgent));
    if (hadFlags)
        qputenv(kEngineFlags, flags);
    else
        qunsetenv(kEngineFlags);
    // 9. The main window; its creation handler runs here.
    auto* main = new TfrmMain();
    if (!main->FormCreate())
        return 0;
    main->show();
    const int code = app.exec();
    log::stop();
    return code;
}

} // namespace vx::shell
