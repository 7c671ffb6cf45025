#include "wayland_session.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace {

const QString kSocket = QStringLiteral("kova-wayland");

// A plain desktop: no panel, no lock screen, no animations, no input method, one colour
// behind the windows.
const char kConfig[] = "[core]\n"
                       "idle-time=0\n"
                       "[shell]\n"
                       "panel-position=none\n"
                       "background-color=0xff2a4a6a\n"
                       "locking=false\n"
                       "animation=none\n"
                       "close-animation=none\n"
                       "startup-animation=none\n"
                       "focus-animation=none\n"
                       "[input-method]\n"
                       "path=/bin/true\n";

} // namespace

CWeston::~CWeston()
{
    if (m_weston.state() == QProcess::NotRunning)
        return;
    m_weston.terminate();
    if (!m_weston.waitForFinished(3000)) {
        m_weston.kill();
        m_weston.waitForFinished(3000);
    }
}

bool CWeston::Start(const CXServer& x, const QString& strWorkDir)
{
    m_pX = &x;
    m_strWorkDir = strWorkDir;
    const QString strRuntime = strWorkDir + QStringLiteral("/runtime");
    // Wayland insists on a runtime folder only its user may enter.
    if (!QDir().mkpath(strRuntime)
        || !QFile::setPermissions(strRuntime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return false;
    QFile config(strWorkDir + QStringLiteral("/weston.ini"));
    if (!config.open(QIODevice::WriteOnly) || config.write(kConfig) < 0)
        return false;
    config.close();

    QProcessEnvironment env = x.Environment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), strRuntime);
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    m_weston.setProcessEnvironment(env);
    m_weston.setProcessChannelMode(QProcess::MergedChannels);
    m_weston.setStandardOutputFile(strWorkDir + QStringLiteral("/weston.out"));
    m_weston.start(QStringLiteral("weston"),
                   {QStringLiteral("--backend=x11-backend.so"), QStringLiteral("--socket=") + kSocket,
                    QStringLiteral("--width=%1").arg(kOutputWidth), QStringLiteral("--height=%1").arg(kOutputHeight),
                    QStringLiteral("--config=") + config.fileName(),
                    QStringLiteral("--log=") + strWorkDir + QStringLiteral("/weston.log")});
    if (!m_weston.waitForStarted(10000))
        return false;
    unsigned long nOutputWindow = 0;
    // The output's X window, and its background drawn by the shell: ready for clients.
    const bool bUp = WaitUntil(
        [&] {
            if (m_weston.state() == QProcess::NotRunning)
                return true;
            // Its name is not one xdotool reads; its class is "Weston Compositor".
            if (nOutputWindow == 0)
                nOutputWindow = x.Xdotool({QStringLiteral("search"), QStringLiteral("--class"),
                                           QStringLiteral("^Weston Compositor$")})
                                    .trimmed()
                                    .split('\n')
                                    .front()
                                    .toULong();
            return nOutputWindow != 0
                   && (x.Screenshot().pixel(kOutputWidth / 2, kOutputHeight - 10) & 0xFFFFFF) == kBackground;
        },
        20000, 100);
    if (!bUp || m_weston.state() == QProcess::NotRunning)
        return false;
    x.Focus(nOutputWindow);
    // Until the X pointer first enters, weston's own waits in the middle of the output.
    ParkPointer();
    return true;
}

QProcessEnvironment CWeston::Environment() const
{
    QProcessEnvironment env = m_pX->Environment();
    env.remove(QStringLiteral("DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), kSocket);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_strWorkDir + QStringLiteral("/runtime"));
    env.insert(QStringLiteral("WAYLAND_DEBUG"), QStringLiteral("client"));
    // Widgets draw into shared memory whatever this says. Left to its default, Qt also loads the
    // EGL integration, and Mesa's driver, loaded and unloaded again, leaves 128 bytes that the
    // leak checker of the sanitizer run cannot name or suppress.
    env.insert(QStringLiteral("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION"), QStringLiteral("none"));
    env.remove(QStringLiteral("QT_WAYLAND_DISABLE_WINDOWDECORATION"));
    env.remove(QStringLiteral("QT_WAYLAND_DECORATION"));
    return env;
}

CWeston::ProtocolState CWeston::ReadProtocol() const
{
    // The requests the client sent (" -> ") and the events it got, read in order, since an
    // object number is used again after a destroy:
    //   -> xdg_wm_base@18.get_xdg_surface(new id xdg_surface@19, wl_surface@16)
    //   -> xdg_surface@19.get_toplevel(new id xdg_toplevel@20)
    //   -> xdg_toplevel@20.set_title("Serial Communication")    set_app_id(...), destroy()
    //   wl_keyboard@7.enter(9, wl_surface@16, array[0])          leave(12, nil)
    static const QRegularExpression head(
        QStringLiteral(R"re((xdg_wm_base|xdg_surface|xdg_toplevel|wl_keyboard)@(\d+)\.(\w+)\()re"));
    static const QRegularExpression newId(QStringLiteral(R"re(new id \w+@(\d+))re"));
    static const QRegularExpression surface(QStringLiteral(R"re(wl_surface@(\d+))re"));
    static const QRegularExpression string(QStringLiteral(R"re("(.*)")re"));
    const auto find = [](const QRegularExpression& re, const QString& strLine) {
        return re.match(strLine).captured(1);
    };
    ProtocolState state;
    QMap<QString, QString> surfaceOfXdg;      // xdg_surface, wl_surface
    QMap<QString, QString> surfaceOfToplevel; // xdg_toplevel, wl_surface
    QString strKeyboardSurface;
    QFile file(ProtocolLog());
    if (!file.open(QIODevice::ReadOnly))
        return state;
    for (const QByteArray& text : file.readAll().split('\n')) {
        if (!text.contains("xdg_") && !text.contains("wl_keyboard@"))
            continue; // most of the log: buffers, frames, the pointer
        const QString strLine = QString::fromUtf8(text);
        const QRegularExpressionMatch match = head.match(strLine);
        if (!match.hasMatch())
            continue;
        const QString strInterface = match.captured(1);
        const QString strObject = match.captured(2);
        const QString strMessage = match.captured(3);
        if (strMessage == QLatin1String("get_xdg_surface"))
            surfaceOfXdg[find(newId, strLine)] = find(surface, strLine);
        else if (strMessage == QLatin1String("get_toplevel"))
            surfaceOfToplevel[find(newId, strLine)] = surfaceOfXdg.value(strObject);
        else if (strInterface == QLatin1String("xdg_toplevel") && strMessage == QLatin1String("set_title"))
            state.toplevels[strObject] = find(string, strLine);
        else if (strInterface == QLatin1String("xdg_toplevel") && strMessage == QLatin1String("set_app_id"))
            state.strAppId = find(string, strLine);
        else if (strInterface == QLatin1String("xdg_toplevel") && strMessage == QLatin1String("destroy"))
            state.toplevels.remove(strObject);
        else if (strInterface == QLatin1String("wl_keyboard") && strMessage == QLatin1String("enter"))
            strKeyboardSurface = find(surface, strLine);
        else if (strInterface == QLatin1String("wl_keyboard") && strMessage == QLatin1String("leave"))
            strKeyboardSurface.clear();
    }
    for (auto it = state.toplevels.cbegin(); it != state.toplevels.cend(); ++it)
        if (!strKeyboardSurface.isEmpty() && surfaceOfToplevel.value(it.key()) == strKeyboardSurface)
            state.strKeyboard = it.value();
    return state;
}

QStringList CWeston::Toplevels() const
{
    return ReadProtocol().toplevels.values();
}

QString CWeston::AppId() const
{
    return ReadProtocol().strAppId;
}

bool CWeston::WaitToplevel(const QString& strTitle, int nDeadlineMs) const
{
    return WaitUntil([&] { return Toplevels().contains(strTitle); }, nDeadlineMs, 100);
}

bool CWeston::WaitKeyboard(const QString& strTitle, int nDeadlineMs) const
{
    return WaitUntil([&] { return ReadProtocol().strKeyboard == strTitle; }, nDeadlineMs, 100);
}

bool CWeston::WaitToplevelGone(const QString& strTitle, int nDeadlineMs) const
{
    return WaitUntil([&] { return !Toplevels().contains(strTitle); }, nDeadlineMs, 100);
}

QStringList CWeston::MoveTo(QPoint pos) const
{
    // Off the output first (the X screen is larger), then onto the point: see the header.
    const QString strMove = QStringLiteral("mousemove");
    const QString strSync = QStringLiteral("--sync");
    return {strMove,
            strSync,
            QString::number(m_pX->ScreenSize().width() - 4),
            QString::number(m_pX->ScreenSize().height() - 4),
            strMove,
            strSync,
            QString::number(pos.x()),
            QString::number(pos.y())};
}

void CWeston::ParkPointer() const
{
    // weston draws its pointer into the output, and so into the screenshots, where it would
    // hide what a test looks at: when not clicking it waits in the output's bottom right corner.
    m_pX->Xdotool(MoveTo({kOutputWidth - 2, kOutputHeight - 2}));
}

void CWeston::Click(QPoint pos, int nButton) const
{
    m_pX->Xdotool(MoveTo(pos) << QStringLiteral("click") << QString::number(nButton));
    ParkPointer();
}
