#pragma once

// A Wayland desktop inside the test's own X server: weston with its X11 backend draws its
// output into one X window, so the X tools still type, click and take screenshots.
//
// - Keys: xdotool types into weston's X window (given the X focus once; nothing takes it
//   away), and weston hands them to the Wayland window it has activated.
// - Pointer: weston's X11 backend moves its pointer by the difference between two X motion
//   events, so a pointer that ever got out of step (a motion clamped at the output's edge, a
//   motion missed while it started) stays out of step, in one axis or both. Only the X pointer
//   entering its window sets weston's pointer to the exact point. Every click therefore first
//   moves the X pointer off weston's window (the X screen is larger than the output) and then
//   straight to the target: the enter event puts weston's pointer there. Between clicks the
//   pointer waits in a corner of the output, out of the screenshots' way.
// - Windows: a Wayland client's windows are not X windows. The program runs with
//   WAYLAND_DEBUG=client and its protocol log tells which toplevels it has (set_title, destroy)
//   and its app id, and which of them has the keyboard; where a window is comes from the
//   screenshots.

#include "x_session.h"

#include <QMap>

class CWeston {
public:
    CWeston() = default;
    CWeston(const CWeston&) = delete;
    CWeston& operator=(const CWeston&) = delete;
    ~CWeston();

    // weston on the X server, its runtime folder and configuration in strWorkDir; true once
    // its background is drawn.
    bool Start(const CXServer& x, const QString& strWorkDir);

    // The environment of a Wayland client of this weston, with its protocol log on: X and
    // every other way out are closed, so a client that cannot use Wayland fails.
    QProcessEnvironment Environment() const;
    // Where the program's standard error, and with it the protocol log, goes.
    QString ProtocolLog() const { return m_strWorkDir + QStringLiteral("/client-protocol.log"); }

    // The titles of the program's toplevel windows that exist now, and the app id it gave.
    QStringList Toplevels() const;
    QString AppId() const;
    bool WaitToplevel(const QString& strTitle, int nDeadlineMs = 10000) const;
    // Until the window exists and the compositor has given it the keyboard: keys typed before
    // that would go to the window that had it.
    bool WaitKeyboard(const QString& strTitle, int nDeadlineMs = 10000) const;
    bool WaitToplevelGone(const QString& strTitle, int nDeadlineMs = 10000) const;

    void Keys(const QStringList& keys) const { m_pX->Keys(keys); }
    // A click at a point of the output, 1 left, 3 right.
    void Click(QPoint pos, int nButton = 1) const;
    QImage Screenshot() const { return m_pX->Screenshot(); }

    static constexpr QRgb kBackground = 0x2a4a6a;

private:
    struct ProtocolState {
        QMap<QString, QString> toplevels; // object, title
        QString strAppId;
        QString strKeyboard; // the title of the window that has the keyboard, if any
    };
    ProtocolState ReadProtocol() const;
    // xdotool's arguments that put weston's pointer exactly on pos.
    QStringList MoveTo(QPoint pos) const;
    void ParkPointer() const;

    static constexpr int kOutputWidth = 1000;
    static constexpr int kOutputHeight = 740;
    const CXServer* m_pX = nullptr;
    QString m_strWorkDir;
    QProcess m_weston;
};
