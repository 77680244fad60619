#include "shell/TitleBar.h"

#include <QFile>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QWindow>
#include <algorithm>

#include "core/Global.h"

namespace vx::shell {

namespace {

// The built-in images: simple glyphs on a transparent ground, so the bar works without the
// image files.
QPixmap builtInImage(const QString& name, int w, int h) {
    QPixmap pm(w, h);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1.4));
    const int cx = w / 2, cy = h / 2;
    if (name == QLatin1String("imgMin")) {
        p.drawLine(cx - 5, cy + 3, cx + 5, cy + 3);
    } else if (name == QLatin1String("imgMax")) {
        p.drawRect(cx - 5, cy - 4, 10, 8);
    } else if (name == QLatin1String("imgRestore")) {
        p.drawRect(cx - 5, cy - 2, 8, 6);
        p.drawLine(cx - 2, cy - 5, cx + 5, cy - 5);
        p.drawLine(cx + 5, cy - 5, cx + 5, cy + 1);
    } else {
        p.drawLine(cx - 4, cy - 4, cx + 4, cy + 4);
        p.drawLine(cx - 4, cy + 4, cx + 4, cy - 4);
    }
    return pm;
}

// The tiled background of the bar.
QPixmap titleTile() {
    QPixmap pm(8, 24);
    QPainter p(&pm);
    QLinearGradient g(0, 0, 0, 24);
    g.setColorAt(0, QColor(0xE9, 0xEC, 0xEF));
    g.setColorAt(1, QColor(0xC9, 0xCD, 0xD1));
    p.fillRect(pm.rect(), g);
    return pm;
}

} // namespace

SysButton::SysButton(const QString& name, QWidget* parent) : QLabel(parent) {
    setObjectName(name);
    setPixmap(builtInImage(name, name == QLatin1String("imgClose") ? 39 : 28, 20));
    setAlignment(Qt::AlignCenter);
}

QString SysButton::imageFile(const QString& state) const {
    return QString::fromStdString(ImgsPath) + QStringLiteral("sysbutton/") + objectName() +
           QLatin1Char('_') + state + QStringLiteral(".png");
}

void SysButton::showState(const QString& state) {
    QPixmap pm(imageFile(state));
    if (!pm.isNull())
        setPixmap(pm);
}

void SysButton::enterEvent(QEnterEvent*) { showState(QStringLiteral("on")); }
void SysButton::leaveEvent(QEvent*) {
    m_pressed = false;
    showState(QStringLiteral("normal"));
}
void SysButton::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) {
        e->ignore();
        return;
    }
    m_pressed = true;
    showState(QStringLiteral("down"));
}
void SysButton::mouseReleaseEvent(QMouseEvent* e) {
    // Another button let go while the left one is held must not count as the click.
    if (e->button() != Qt::LeftButton) {
        e->ignore();
        return;
    }
    if (m_pressed && rect().contains(e->position().toPoint()))
        emit clicked(objectName());
    m_pressed = false;
}

TitleBar::TitleBar(QWidget* window, bool withText) : QWidget(window), m_window(window) {
    setFixedHeight(24);
    m_layout3 = new QWidget(this);
    m_layout3->setObjectName(QStringLiteral("Layout3"));
    m_layout3->setFixedSize(224, 24);
    imgMin = new SysButton(QStringLiteral("imgMin"), m_layout3);
    imgMax = new SysButton(QStringLiteral("imgMax"), m_layout3);
    imgRestore = new SysButton(QStringLiteral("imgRestore"), m_layout3);
    imgClose = new SysButton(QStringLiteral("imgClose"), m_layout3);
    imgMin->setGeometry(122, -1, 28, 20);
    imgMax->setGeometry(149, -1, 28, 20);
    imgRestore->setGeometry(149, -1, 28, 20);
    imgClose->setGeometry(176, -1, 39, 20);
    imgRestore->hide();
    for (SysButton* b : {imgMin, imgMax, imgRestore, imgClose})
        connect(b, &SysButton::clicked, this, &TitleBar::buttonClicked);
    if (withText) {
        TextTile = new QLabel(QStringLiteral("浏览器 "), this);
        TextTile->setObjectName(QStringLiteral("TextTile"));
        TextTile->setGeometry(5, 0, 377, 24);
        TextTile->setFont(QFont(QStringLiteral("Arial"), 12));
        TextTile->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        // The drag works through the text.
        TextTile->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    // A maximise or restore by any means (the buttons, the window manager) changes the
    // frame's shape, and without a change of size nothing else would repaint it.
    m_window->installEventFilter(this);
}

bool TitleBar::eventFilter(QObject* watched, QEvent* e) {
    if (watched == m_window && e->type() == QEvent::WindowStateChange) {
        m_window->update();
        update();
    }
    return QWidget::eventFilter(watched, e);
}

void TitleBar::standardClick(const QString& name) {
    if (name == QLatin1String("imgMin")) {
        m_window->showMinimized();
    } else if (name == QLatin1String("imgMax")) {
        m_maximised = true;
        m_window->showMaximized();
        imgMax->lower();
        imgMax->hide();
        imgRestore->show();
    } else if (name == QLatin1String("imgRestore")) {
        m_maximised = false;
        m_window->showNormal();
        imgRestore->lower();
        imgRestore->hide();
        imgMax->show();
        // The window may be in its normal state already as far as Qt knows (see
        // windowFillsScreen), and then no state change repaints the frame.
        m_window->update();
        update();
    } else if (name == QLatin1String("imgClose")) {
        m_window->close();
    }
}

void TitleBar::resizeEvent(QResizeEvent*) { m_layout3->move(width() - m_layout3->width(), 0); }

void TitleBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (windowFillsScreen()) {
        p.fillRect(rect(), QBrush(titleTile()));
        return;
    }
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    const qreal r = 5;
    const QRectF rc = rect();
    path.moveTo(rc.left(), rc.bottom() + 1);
    path.lineTo(rc.left(), rc.top() + r);
    path.quadTo(rc.topLeft(), QPointF(rc.left() + r, rc.top()));
    path.lineTo(rc.right() + 1 - r, rc.top());
    path.quadTo(QPointF(rc.right() + 1, rc.top()), QPointF(rc.right() + 1, rc.top() + r));
    path.lineTo(rc.right() + 1, rc.bottom() + 1);
    path.closeSubpath();
    p.fillPath(path, QBrush(titleTile()));
}

void TitleBar::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) {
        e->ignore();
        return;
    }
    if (QWindow* w = m_window->windowHandle(); w && w->startSystemMove())
        return;
    // No system move (a window manager without one, or none at all): the bar follows the
    // mouse itself. A window that fills its screen stays where it is.
    if (!windowFillsScreen()) {
        m_dragging = true;
        m_dragOffset = e->globalPosition().toPoint() - m_window->pos();
    }
}

void TitleBar::mouseMoveEvent(QMouseEvent* e) {
    if (!m_dragging)
        return;
    if (e->buttons() & Qt::LeftButton)
        m_window->move(e->globalPosition().toPoint() - m_dragOffset);
    else
        m_dragging = false; // the release went elsewhere
}

void TitleBar::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton)
        m_dragging = false;
}

bool TitleBar::windowFillsScreen() const {
    return m_maximised || m_window->isMaximized() || m_window->isFullScreen();
}

void paintRoundedFrame(QWidget* w, const QColor& fill, const QColor& stroke, qreal radius,
                       int margin, bool square) {
    QPainter p(w);
    if (square) {
        // Nothing of the desktop may show at the screen's edges or corners.
        p.fillRect(w->rect(), fill);
        p.setPen(stroke);
        p.drawRect(w->rect().adjusted(0, 0, -1, -1));
        return;
    }
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(stroke, 1));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(w->rect()).adjusted(margin + 0.5, margin + 0.5, -margin - 0.5,
                                                 -margin - 0.5),
                      radius, radius);
}

QSize boundedPopupSize(const QSize& wanted, const QSize& available) {
    if (available.isEmpty())
        return wanted.expandedTo(QSize(kMinPopupWidth, kMinPopupHeight));
    return QSize(
        std::clamp(wanted.width(), std::min(kMinPopupWidth, available.width()), available.width()),
        std::clamp(wanted.height(), std::min(kMinPopupHeight, available.height()),
                   available.height()));
}

void centreOnScreen(QWidget* w) {
    // A window its owner has moved keeps that place (a pop-up shown again included).
    if (w->testAttribute(Qt::WA_Moved))
        return;
    const QScreen* screen = w->screen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize size = w->frameGeometry().size();
    w->move(area.x() + std::max(0, (area.width() - size.width()) / 2),
            area.y() + std::max(0, (area.height() - size.height()) / 2));
}

} // namespace vx::shell
