#include "shell/UBrowser.h"

#include <QCloseEvent>
#include <QPointer>
#include <QVBoxLayout>
#include <QWebEngineView>

#include "shell/QtEngine.h"
#include "shell/TitleBar.h"

namespace vx::shell {

TfrmBrowser::TfrmBrowser() {
    setWindowTitle(QStringLiteral("浏览器"));
    setWindowFlag(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    resize(748, 429);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(0);
    m_titleBar = new TitleBar(this, true);
    m_view = new QWebEngineView(this);
    m_view->setPage(new VxWebPage(m_view));
    layout->addWidget(m_titleBar);
    layout->addWidget(m_view, 1);
    connect(m_titleBar, &TitleBar::buttonClicked, this, &TfrmBrowser::imgCloseClick);
    connect(m_view, &QWebEngineView::loadFinished, this, &TfrmBrowser::CrmFmxLoadEnd);
}

void TfrmBrowser::load(const QString& address) { m_view->load(QUrl(address)); }

void TfrmBrowser::CrmFmxLoadEnd(bool) {
    // Visit the document for its own title (the page's title() falls back to the address).
    QPointer<TfrmBrowser> self(this);
    m_view->page()->runJavaScript(QStringLiteral("document.title"), [self](const QVariant& v) {
        if (!self)
            return;
        const QString title = v.toString();
        self->m_titleBar->TextTile->setText(title);
        self->setWindowTitle(title);
    });
}

void TfrmBrowser::imgCloseClick(const QString& name) {
    // Unlike the main window's, maximising keeps the height; close closes this window only.
    m_titleBar->standardClick(name);
}

void TfrmBrowser::paintEvent(QPaintEvent*) {
    paintRoundedFrame(this, Qt::white, QColor(0x91, 0x8A, 0x8A), 5, 0,
                      m_titleBar->windowFillsScreen());
}

void TfrmBrowser::showEvent(QShowEvent* e) {
    centreOnScreen(this);
    QWidget::showEvent(e);
}

void TfrmBrowser::closeEvent(QCloseEvent* e) {
    m_closed = true;
    e->accept();
}

} // namespace vx::shell
