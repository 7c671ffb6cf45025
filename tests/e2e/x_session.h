#pragma once

// The real program as a user and a panel see it: its own X server (Xvfb), keys and mouse
// through XTEST (xdotool), pixels from screenshots (ImageMagick's import), and the virtual
// panel on a pseudo-terminal behind COM1.
//
// Keyboard focus under a bare X server: there is no window manager, so nothing gives the
// focus to a window when it is mapped, or back to the main window when a dialog or message box
// closes (X then reverts the focus to the root window, and keys go nowhere). The harness does
// what a window manager would: before it types into a window it gives that window the focus
// with `xdotool windowfocus --sync`. `windowactivate` needs a window manager and does not work
// here. Popup menus grab the keyboard themselves once open.

#include <QImage>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QRgb>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

// The program's windows as X names them (regular expressions for xdotool), and the colours of
// an LED off and on and of a held key's marker as the screen shows them.
inline const QString kMainWindow = QStringLiteral("^TARVEST GMBH \\+ CO\\.   KOVA_EN$");
inline const QString kMessageBox = QStringLiteral("^KOVA_EN$");
inline const QString kSettings = QStringLiteral("^Serial Communication$");
inline const QString kTextInput = QStringLiteral("^Text Input$");
inline const QString kAbout = QStringLiteral("^About KOVA_EN$");
constexpr QRgb kGrey = qRgb(128, 128, 128);
constexpr QRgb kYellow = qRgb(241, 241, 0);
constexpr QRgb kRed = qRgb(255, 0, 0);

// Polls pred every nPollMs until it holds or nDeadlineMs have passed; returns pred().
bool WaitUntil(const std::function<bool()>& pred, int nDeadlineMs = 10000, int nPollMs = 50);

// Xvfb on a display number it chooses itself (-displayfd), and the X tools that drive it.
class CXServer {
public:
    CXServer() = default;
    CXServer(const CXServer&) = delete;
    CXServer& operator=(const CXServer&) = delete;
    ~CXServer();

    bool Start(const QString& strWorkDir);
    QString Display() const { return m_strDisplay; }
    QSize ScreenSize() const { return {kScreenWidth, kScreenHeight}; }

    // The environment for a client of this server.
    QProcessEnvironment Environment() const;

    // Runs an X tool to its end; its standard output, or a null string on failure.
    QByteArray Tool(const QString& strProgram, const QStringList& args, int nDeadlineMs = 10000) const;
    QByteArray Xdotool(const QStringList& args) const { return Tool(QStringLiteral("xdotool"), args); }

    // The first visible window whose name matches the regular expression, or 0.
    unsigned long FindWindow(const QString& strNamePattern) const;
    unsigned long WaitWindow(const QString& strNamePattern, int nDeadlineMs = 10000) const;
    bool WaitWindowGone(const QString& strNamePattern, int nDeadlineMs = 10000) const;
    // Outer geometry of a window on the screen.
    QRect Geometry(unsigned long nWindow) const;
    void Move(unsigned long nWindow, QPoint pos) const;

    // Gives the window the keyboard focus and waits until X reports it there.
    void Focus(unsigned long nWindow) const;
    // Key presses by X key-sym names ("Escape", "alt+f", "Return").
    void Keys(const QStringList& keys) const;
    void Type(const QString& strText) const;
    // A click at a screen point, 1 left, 3 right.
    void Click(QPoint pos, int nButton = 1) const;

    // The whole screen as RGB32.
    QImage Screenshot() const;

private:
    static constexpr int kScreenWidth = 1024;
    static constexpr int kScreenHeight = 768;
    QProcess m_server;
    QString m_strDisplay;
};

// Every byte the program wrote to the line so far, in hex, in order, from the log that the
// virtual panel keeps with --log.
QStringList BytesFromProgram(const QString& strPanelLog);

// The program itself.
class CProgram {
public:
    CProgram() = default;
    CProgram(const CProgram&) = delete;
    CProgram& operator=(const CProgram&) = delete;
    ~CProgram() { Kill(); }

    // Its standard error into a file rather than into Output(): for a protocol log that would
    // otherwise fill the pipe. Before Start.
    void LogErrorsTo(const QString& strPath) { m_strErrorLog = strPath; }
    // The program under test, or another build of it (the benchmarks compare two), or a
    // starter such as wine with the program among its arguments.
    bool Start(const QProcessEnvironment& env, const QString& strCom1, const QString& strBinary = QString(),
               const QStringList& args = {});
    qint64 Pid() const { return m_process.processId(); }
    bool Running() const { return m_process.state() != QProcess::NotRunning; }
    // Waits for the program to end by itself; its exit code, or -1 if it is still running
    // at the deadline or crashed.
    int WaitExit(int nDeadlineMs = 10000);
    void Kill();
    QByteArray Output() { return m_process.readAll(); }

private:
    QProcess m_process;
    QString m_strErrorLog;
};

// The main window's client area on the screen, found from the twelve grey LED squares (all
// LEDs off): the panel geometry's point (x, y) is at Origin() + (x, y).
bool FindClientOrigin(const QImage& screen, QPoint& origin);

// Whether every pixel of rc (screen coordinates) has the colour.
bool AllOf(const QImage& screen, const QRect& rc, QRgb colour);
// Pixels of rc (screen coordinates) below nBelow in every channel: black text or outlines
// drawn over the lighter parts of the picture.
int DarkPixels(const QImage& screen, const QRect& rc, int nBelow = 60);
