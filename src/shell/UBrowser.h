#pragma once
// TfrmBrowser: a pop-up browser window for one URL, with the main window's kind of title bar.
// It shows the loaded document's title and is destroyed when closed. It opens centred on the
// main window's screen, never larger than that screen's available area.

#include <QWidget>

class QWebEngineView;

namespace vx::shell {

class TitleBar;

class TfrmBrowser : public QWidget {
    Q_OBJECT
public:
    TfrmBrowser();

    // The address the window was opened with; it identifies the window for reuse and never
    // changes, whatever the page navigates to.
    QString url;
    // True once the window has been closed (it is then on its way to destruction).
    bool closed() const { return m_closed; }

    void load(const QString& address);
    QWebEngineView* CrmFmx() const { return m_view; }
    TitleBar* titleBar() const { return m_titleBar; }

protected:
    void paintEvent(QPaintEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void imgCloseClick(const QString& name);
    void CrmFmxLoadEnd(bool ok);

    TitleBar* m_titleBar;
    QWebEngineView* m_view;
    bool m_closed = false;
};

} // namespace vx::shell
