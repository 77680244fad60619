#pragma once
// The 24-pixel title bar shared by the main window and the pop-up windows: a tiled
// background that drags the window (with the left button), and the four buttons (imgMin,
// imgMax, imgRestore, imgClose) whose images come from imgs/sysbutton/ once hovered or
// pressed.

#include <QLabel>
#include <QWidget>

namespace vx::shell {

// One title-bar button. Mouse-enter shows "<name>_on.png", mouse-leave "<name>_normal.png",
// mouse-down "<name>_down.png" (from ImgsPath/sysbutton/); a missing file keeps the
// built-in image. Only the left button presses it: a right or middle click does nothing.
class SysButton : public QLabel {
    Q_OBJECT
public:
    SysButton(const QString& name, QWidget* parent);
    // The image file of a state ("normal", "on", "down").
    QString imageFile(const QString& state) const;

signals:
    void clicked(const QString& name);

protected:
    void enterEvent(QEnterEvent* e) override;
    void leaveEvent(QEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    void showState(const QString& state);
    bool m_pressed = false;
};

class TitleBar : public QWidget {
    Q_OBJECT
public:
    // withText: a title text at the left end (the pop-up windows have one).
    TitleBar(QWidget* window, bool withText);

    // What a click on a button does to the bar's window: minimise; maximise or restore (both
    // swap imgMax and imgRestore); close.
    void standardClick(const QString& name);

    // True while the window fills its screen: maximised (by imgMax or by the window manager)
    // or full screen. Its frame is then square and opaque to the edges, otherwise rounded
    // with see-through corners. (The main window's maximise also sets its height, which Qt
    // takes for a restore; the button's state still counts.)
    bool windowFillsScreen() const;

    SysButton* imgMin;
    SysButton* imgMax;
    SysButton* imgRestore;
    SysButton* imgClose;
    QLabel* TextTile = nullptr;

signals:
    void buttonClicked(const QString& name);

protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    QWidget* m_window;
    QWidget* m_layout3;
    bool m_maximised = false; // by imgMax, until imgRestore
    // The drag the bar does itself where the platform offers no system move: the press
    // position relative to the window's origin.
    bool m_dragging = false;
    QPoint m_dragOffset;
};

// Paints a window's frame: fill and stroke, corner radius; square, filling the whole window,
// while its title bar's windowFillsScreen().
void paintRoundedFrame(QWidget* w, const QColor& fill, const QColor& stroke, qreal radius,
                       int margin, bool square);

// The size a pop-up opens with: the wanted size, no larger than the screen's available area
// and no smaller than kMinPopupWidth x kMinPopupHeight (nor than that area).
inline constexpr int kMinPopupWidth = 200;
inline constexpr int kMinPopupHeight = 150;
QSize boundedPopupSize(const QSize& wanted, const QSize& available);

// Moves a window that has not been placed yet to the centre of its screen's available area;
// one larger than that area keeps its title bar on screen at the area's top-left.
void centreOnScreen(QWidget* w);

} // namespace vx::shell
