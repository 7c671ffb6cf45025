#pragma once

#include <QWidget>

// The caption of a fixed-size window where the program draws its own: on Wayland.
//
// Under X11 a window manager draws the caption and knows from the size hints that a fixed-size
// window has nothing to maximise. Under Wayland the compositor often draws nothing (GNOME's
// does not), and Qt 6.4's own decoration then draws minimise, maximise and close on every
// window whatever its flags say, and cuts its title off where the minimise button would begin
// (our main window's and the settings dialog's titles do not fit). So there the windows go
// without Qt's decoration and carry this bar instead: the icon, the whole title, minimise and
// close only where the window's flags ask for them, never maximise; dragging the bar moves the
// window through the compositor.
//
// The bar lies above the client area: the client area keeps its size and its pixels, and the
// window grows by the bar's height.
class CCaptionBar : public QWidget {
    Q_OBJECT
public:
    static constexpr int kHeight = 30;

    explicit CCaptionBar(QWidget* pWindow);

    bool HasMinimize() const { return m_bMinimize; }
    bool HasClose() const { return m_bClose; }
    // Where the title may go: between the icon and the first button.
    QRect TitleSpace() const;
    // The width the title needs in the bar's font.
    int TitleWidth() const;
    QRect CloseRect() const;
    QRect MinimizeRect() const;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    QWidget* m_pWindow;
    bool m_bMinimize;
    bool m_bClose;
    enum class Button { None, Minimize, Close } m_pressed = Button::None;
};

// Whether the windows need a caption of their own on this platform (Wayland).
bool NeedsOwnCaption();

// Gives a top-level window that has not been shown yet its own caption: the platform's
// decoration is switched off, the bar goes on top and the window's contents move down under it.
// Windows that lay out their children make room through their contents margins; those that
// place them by hand (the dialogs' templates) have them moved down.
void AddOwnCaption(QWidget* pWindow);

// AddOwnCaption where NeedsOwnCaption(); nothing elsewhere.
void AddCaptionWherePlatformNeedsIt(QWidget* pWindow);
