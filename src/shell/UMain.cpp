#include "shell/UMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QScreen>
#include <QVBoxLayout>
#include <QWebEngineLoadingInfo>
#include <QWebEngineView>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "api/UJsExterned.h"
#include "api/VxJsMembers.h"
#include "bridge/hiJsScriptExtented.h"
#include "core/Global.h"
#include "core/Log.h"
#include "core/Text.h"
#include "core/Trust.h"
#include "core/Xml.h"
#include "http/HttpThread.h"
#include "link/HelperLibraries.h"
#include "platform/Platform.h"
#include "shell/OfflinePage.h"
#include "shell/QtEngine.h"
#include "shell/TitleBar.h"
#include "shell/UBrowser.h"

namespace vx::shell {

namespace {
void exitNow(int code) {
    std::fflush(nullptr);
    std::_Exit(code);
}
constexpr const char* kStartFailed = "系统文件不完整,请重新安装!";
constexpr const char* kLinkServerFailed = "本地连接服务启动失败：端口8885不可用，应用将无法与客户端通信";
} // namespace

void (*TfrmMain::exitProcess)(int) = &exitNow;

TfrmMain::TfrmMain() {
    setWindowFlag(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(1, 1, 1, 1); // Rectangle1's margin
    outer->setSpacing(0);
    m_titleBar = new TitleBar(this, false);
    m_view = new QWebEngineView(this);
    auto* page = new VxWebPage(m_view);
    m_view->setPage(page);
    connect(page, &VxWebPage::certificateRefused, this, &TfrmMain::certificateRefused);
    outer->addWidget(m_titleBar);
    outer->addWidget(m_view, 1);
    connect(m_titleBar, &TitleBar::buttonClicked, this, &TfrmMain::imgMiniClick);
    connect(m_view, &QWebEngineView::loadFinished, this, &TfrmMain::CrmFmxLoadEnd);
    connect(page, &QWebEnginePage::loadingChanged, this, &TfrmMain::startPageLoading);
    m_retry.setInterval(30000);
    connect(&m_retry, &QTimer::timeout, this, &TfrmMain::retryOnline);
    m_timer2.setInterval(60000);
    connect(&m_timer2, &QTimer::timeout, this, [this] {
        if (m_api)
            m_api->_GetMyApps();
    });
}

TfrmMain::~TfrmMain() {
    // The hook names the page API object, which goes with this window.
    THttpThread::setCertificateFailureHook(nullptr);
}

bool TfrmMain::FormCreate() {
    try {
        // What config.xml adds to the system's trust is known before anything is fetched,
        // the start page included.
        {
            pugi::xml_document trust;
            if (xml::load(trust, ConfigXml))
                Trust = readTrustSettings(trust.document_element(), ConfigPath);
            for (const std::string& problem : Trust.problems)
                std::fprintf(stderr, "vxcenter: %s\n", problem.c_str());
            // A setting the operator made that cannot be used is said once the page is there
            // (the link server's failure, if any, takes the line instead).
            if (!Trust.problems.empty())
                m_pendingStatus = Trust.problems.front();
        }
        // 1. The start page; it arrives while the loop runs.
        m_view->load(QUrl(QString::fromStdString(BaseUrl)));
        // 2-5. The configuration: all four values must be there.
        pugi::xml_document config;
        if (!xml::load(config, ConfigXml))
            return fail(), false;
        const pugi::xml_node root = config.document_element();
        const pugi::xml_node title = xml::findElement(root, "title");
        if (!title)
            return fail(), false;
        Title = xml::text(title);
        const pugi::xml_node sales = xml::findElement(root, "salesid");
        const pugi::xml_node aid = xml::findElement(root, "aid");
        const pugi::xml_node pid = xml::findElement(root, "pid");
        if (!sales || !aid || !pid)
            return fail(), false;
        SalesID = xml::text(sales);
        AgentID = xml::text(aid);
        {
            std::string set = "config: title " + Title + ", salesid " + SalesID + ", aid " + AgentID +
                              ", pid " + xml::text(pid) + ", cafile " +
                              (Trust.caFile.empty() ? "none" : Trust.caFile) + ", signing keys " +
                              std::to_string(Trust.signKeys.size()) +
                              (Trust.signingRequired ? " (required)" : "");
            for (const char* extra : {"maxrate", "updatewait", "connections"})
                if (const pugi::xml_node e = xml::findElement(root, extra))
                    set += std::string(", ") + extra + " " + xml::text(e);
            log::write("client", set);
            for (const auto& problem : Trust.problems)
                log::write("client", "config: " + problem);
        }
        // 6-7. The page API object with the product id.
        m_libs = std::make_unique<HelperLibraries>();
        m_api = std::make_unique<TVX_JS>(*this, *m_libs, *m_libs);
        m_api->ClientLaunched();
        m_api->_productID = xml::text(pid);
        // 9-10. Caption and size.
        setWindowTitle(QString::fromStdString(Title));
        QApplication::setApplicationDisplayName(QString::fromStdString(Title));
        resize(850, 600);
        // 11-12. The helper libraries from the client's own folder.
        if (!m_libs->bindLinkServer(AppPath))
            return fail(), false;
        m_linkBound = true;
        (void)m_libs->bindDownloader(AppPath); // a missing downloader shows when it is used
        // The download queue as a restart or a kill left it, and the bandwidth limit:
        // the one the page set last, else config.xml's <maxrate> (KiB/s, 0: none).
        m_api->loadQueue(ConfigPath + "Queue.xml");
        {
            int32_t maxrate = 0;
            if (const pugi::xml_node rate = xml::findElement(root, "maxrate");
                !rate || !parseInt32(trimSpaces(xml::text(rate)), maxrate) || maxrate < 0)
                maxrate = 0;
            m_api->loadRateLimit(ConfigPath + "RateLimit", maxrate);
            // How many files of one download go at once (1 to 16; the downloader's 4 else).
            int32_t connections = 0;
            if (const pugi::xml_node c = xml::findElement(root, "connections");
                c && parseInt32(trimSpaces(xml::text(c)), connections) && connections >= 1 &&
                connections <= 16)
                (void)m_libs->setConnections(connections);
        }
        if (!Trust.caFile.empty() && !m_libs->trustCaFile(toAnsi(Trust.caFile)))
            std::fprintf(stderr, "vxcenter: the downloader cannot use %s\n", Trust.caFile.c_str());
        THttpThread::setCertificateFailureHook([api = m_api.get()](const std::string& url) {
            api->ShowStatus(std::string(texts::kCertificateFailed) + url);
        });
        // What a crash in the middle of an install or an update left (half-placed sets,
        // stages, temporary files) is put right off the main thread; the binding outlives it.
        std::thread([libs = m_libs.get(), apps = toAnsi(AppsPath), update = toAnsi(AppPath + "Update"),
                     appsFolder = AppsPath] {
            libs->CleanLeftovers(apps);
            libs->CleanLeftovers(update);
            removeUninstalled(appsFolder);
        }).detach();
        setDownloadMessageHandler(
            [api = m_api.get()](int id, const std::string& text) { api->DownloadNotify(id, text); });
        setLinkMessageHandler([api = m_api.get()](const std::string& text) { api->LinkNotify(text); });
        // 15. The page API into every page. (Qt WebEngine runs on Qt's own loop: it needs
        // neither the idle pump nor the 100 ms wake-up timer.)
        m_engine = std::make_unique<QtScriptEngine>();
        m_bridge = std::make_unique<TNCJsExtended>(*m_engine);
        m_bridge->SetProcessObject(*m_api, TVX_JS_Members());
        // 16-17.
        ShowStatus("启动框架服务器");
        // Another program (or another user's client) may hold the port; the applications
        // would then talk to it instead. The page has not loaded yet, so the status line
        // says so once it has.
        m_linkServerUp = m_libs->StartServer("127.0.0.1", "8885");
        log::write("link", m_linkServerUp ? "link server listening on 127.0.0.1:8885"
                                          : "link server could not listen on 127.0.0.1:8885");
        if (!m_linkServerUp)
            m_pendingStatus = kLinkServerFailed;
        return true;
    } catch (...) {
        fail();
        return false;
    }
}

void TfrmMain::fail() {
    ShowMsg(kStartFailed);
    close();
}

bool TfrmMain::hasBrowserView() const { return m_view != nullptr; }

void TfrmMain::executeInMainFrame(const std::string& script) {
    if (m_view)
        m_view->page()->runJavaScript(QString::fromStdString(script));
}

void TfrmMain::ShowStatus(const std::string& text) {
    if (m_api)
        m_api->ShowStatus(text);
}

void TfrmMain::openPopup(const std::string& url, std::optional<std::pair<int, int>> size) {
    const QString address = QString::fromStdString(url);
    TfrmBrowser* target = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* b = qobject_cast<TfrmBrowser*>(w);
        if (b && !b->closed() && b->url == address) {
            target = b;
            break;
        }
    }
    if (!target) {
        target = new TfrmBrowser();
        // It opens on this window's screen, and whatever size the page asks for, it fits there
        // with its title bar and buttons in reach.
        target->setScreen(screen());
        const QSize wanted = size ? QSize(size->first, size->second) : target->size();
        target->resize(boundedPopupSize(wanted, target->screen()->availableGeometry().size()));
        target->url = address;
        if (auto* page = qobject_cast<VxWebPage*>(target->CrmFmx()->page()))
            connect(page, &VxWebPage::certificateRefused, this, &TfrmMain::certificateRefused);
        target->load(address);
    }
    target->hide();
    target->show();
    target->raise();
    target->activateWindow();
}

void TfrmMain::openInSystemBrowser(const std::string& url) {
    // The platform's own start closes every descriptor of the client in the browser's
    // process; QDesktopServices forks with all of them open. It stays the way out only where
    // the system has no opener (xdg-open) of its own.
    if (!platform::openUrl(url))
        QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

void TfrmMain::enableRefreshTimer() {
    if (!m_timer2.isActive())
        m_timer2.start();
}

void TfrmMain::closeMainWindow() { close(); }

void TfrmMain::startPageLoading(const QWebEngineLoadingInfo& info) {
    if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus)
        log::write("page", "load failed: " + info.url().toString(QUrl::RemoveQuery).toStdString() +
                               " (" + info.errorString().toStdString() + ", domain " +
                               std::to_string(info.errorDomain()) + ", code " +
                               std::to_string(info.errorCode()) + ")");
    else if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus)
        log::write("page", "loaded: " + info.url().toString(QUrl::RemoveQuery).toStdString());
    if (info.url().toString(QUrl::FullyEncoded).toStdString() != BaseUrl)
        return;
    constexpr int kAborted = -3; // another navigation took over: not the service's fault
    const bool failed = info.status() == QWebEngineLoadingInfo::LoadFailedStatus &&
                        info.errorCode() != kAborted &&
                        info.errorDomain() != QWebEngineLoadingInfo::HttpStatusCodeDomain;
    const bool serverError = info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain &&
                             info.errorCode() >= 500 &&
                             (info.status() == QWebEngineLoadingInfo::LoadFailedStatus ||
                              info.status() == QWebEngineLoadingInfo::LoadSucceededStatus);
    if (failed || serverError)
        QTimer::singleShot(0, this, &TfrmMain::goOffline);
}

void TfrmMain::goOffline() {
    if (!m_api)
        return;
    if (!m_offline) {
        m_api->enterOffline();
        log::write("page", "the service cannot be reached: the offline page");
    }
    m_offline = true;
    m_view->load(offlinePageUrl());
    if (!m_retry.isActive())
        m_retry.start();
}

void TfrmMain::retryOnline() {
    if (!m_offline || m_probing)
        return;
    // The service is asked first, so that the offline page stays while it does not answer.
    m_probing = true;
    auto* probe = new THttpThread(BaseUrl, "", "", "", nullptr, kSendGetText,
                                  std::chrono::milliseconds(15000));
    probe->FSendDone = [this](THttpThread*, PReturnInfo info) {
        m_probing = false;
        if (!m_offline)
            return;
        if (info->str.empty()) {
            ShowStatus("仍无法连接应用中心服务，稍后将自动重试");
            return;
        }
        m_view->load(QUrl(QString::fromStdString(BaseUrl)));
    };
}

void TfrmMain::CrmFmxLoadEnd(bool ok) {
    // The main frame's address, compared as text with the service's start page.
    if (m_view->url().toString(QUrl::FullyEncoded).toStdString() == BaseUrl) {
        if (ok && m_offline) {
            m_offline = false;
            m_retry.stop();
            log::write("page", "the service answers again: its start page");
        }
        LoadUserList();
        // An update script waits for this client's word (or has put it back); the link
        // server's failure, shown after it, is what the user must act on.
        if (m_api)
            m_api->ClientStarted(ok);
        if (!m_pendingStatus.empty())
            ShowStatus(m_pendingStatus);
    }
}

void TfrmMain::certificateRefused(const QUrl& url) {
    log::write("page", "certificate refused: " + url.toString(QUrl::RemoveQuery).toStdString());
    // Chromium's error page says little; the status line names the host. When the start page
    // itself is refused there is no status line to show it in, only that error page.
    ShowStatus(std::string(texts::kCertificateFailed) + url.host().toStdString());
}

void TfrmMain::LoadUserList() {
    if (m_api)
        m_api->LoadUserList();
}

void TfrmMain::imgMiniClick(const QString& name) {
    m_titleBar->standardClick(name);
    if (name == QLatin1String("imgMax"))
        resize(width(), 555);
}

void TfrmMain::paintEvent(QPaintEvent*) {
    paintRoundedFrame(this, QColor(0x97, 0x9B, 0x9B), QColor(0x91, 0x8A, 0x8A), 5, 1,
                      m_titleBar->windowFillsScreen());
}

void TfrmMain::showEvent(QShowEvent* e) {
    centreOnScreen(this);
    QWidget::showEvent(e);
}

void TfrmMain::closeEvent(QCloseEvent* e) {
    // The close sequence: stop the link server, unload it, end the process at once.
    if (m_linkBound && m_libs)
        m_libs->DisconnectAllAndUnload();
    e->accept();
    exitProcess(0);
}

} // namespace vx::shell
