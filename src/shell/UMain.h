#pragma once
// TfrmMain: the client's main window. A borderless, rounded frame with its own title bar and
// a browser view showing the service's page. Its creation handler brings the client together
// (configuration, the page API object, the helper libraries, the script bridge, the link
// server); it is the page API's host (page calls, status line, pop-ups, the refresh timer);
// closing it ends the process. It opens centred on its screen.

#include <QTimer>
#include <QWidget>
#include <memory>

#include "api/PageHost.h"

class QUrl;
class QWebEngineLoadingInfo;
class QWebEngineView;

namespace vx {
class TVX_JS;
class HelperLibraries;
class TNCJsExtended;
} // namespace vx

namespace vx::shell {

class TitleBar;
class QtScriptEngine;

class TfrmMain : public QWidget, public IPageHost {
    Q_OBJECT
public:
    TfrmMain();
    ~TfrmMain() override;

    // The creation handler. False when the start failed: the message has been shown and the
    // window closed (which ends the process).
    bool FormCreate();

    // IPageHost
    bool hasBrowserView() const override;
    void executeInMainFrame(const std::string& script) override;
    void openPopup(const std::string& url, std::optional<std::pair<int, int>> size) override;
    void openInSystemBrowser(const std::string& url) override;
    void enableRefreshTimer() override;
    void closeMainWindow() override;
    void retryOnline() override;

    // The status line of the page.
    void ShowStatus(const std::string& text);
    // Sends the remembered users to the page.
    void LoadUserList();

    QWebEngineView* CrmFmx() const { return m_view; }
    TitleBar* titleBar() const { return m_titleBar; }
    vx::TVX_JS* api() const { return m_api.get(); }
    QTimer& Timer2() { return m_timer2; }

    // What the process does when the window closes (tests replace the exit).
    static void (*exitProcess)(int code);

protected:
    void paintEvent(QPaintEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void imgMiniClick(const QString& name);
    void CrmFmxLoadEnd(bool ok);
    // The start page could not load (no network, refused, DNS, TLS, a 5xx reply): the
    // client's own page instead, and a new try every 30 s.
    void startPageLoading(const QWebEngineLoadingInfo& info);
    void goOffline();
    // A browser view of the client refused a certificate: the status line says for which host.
    void certificateRefused(const QUrl& url);
    void fail();

    TitleBar* m_titleBar = nullptr;
    QWebEngineView* m_view = nullptr;
    QTimer m_timer2;
    QTimer m_retry;
    bool m_offline = false;
    bool m_probing = false;
    std::unique_ptr<QtScriptEngine> m_engine;
    std::unique_ptr<vx::HelperLibraries> m_libs;
    std::unique_ptr<vx::TVX_JS> m_api;
    std::unique_ptr<vx::TNCJsExtended> m_bridge;
    bool m_linkBound = false;
    // The link server listens on its port (a new client is healthy only then).
    bool m_linkServerUp = false;
    // A status line text for the start page once it has loaded (the link server's failure).
    std::string m_pendingStatus;
};

} // namespace vx::shell
