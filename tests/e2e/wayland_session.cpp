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
    env.remove(QStringLiteral("QT_WAYLAND_DISABLE_WINDOWDECORATION"));
    env.remove(QStringLiteral("QT_WAYLAND_DECORATION"));
    return env;
}

CWeston::ProtocolState CWeston::ReadProtocol() const
{
    // " -> xdg_toplevel@28.set_title("About KOVA_EN")", " -> xdg_toplevel@28.destroy()": the
    // requests the client sent. An object number is used again after a destroy, so the log is
    // read in order.
    static const QRegularExpression request(
        QStringLiteral(R"re(-> xdg_toplevel@(\d+)\.(set_title|set_app_id|destroy)\((?:"(.*)")?\))re"));
    ProtocolState state;
    QFile file(ProtocolLog());
    if (!file.open(QIODevice::ReadOnly))
        return state;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.contains("xdg_toplevel@"))
            continue;
        const QRegularExpressionMatch match = request.match(QString::fromUtf8(line));
        if (!match.hasMatch())
            continue;
        const QString strObject = match.captured(1);
        if (match.captured(2) == QLatin1String("set_title"))
            state.toplevels[strObject] = match.captured(3);
        else if (match.captured(2) == QLatin1String("set_app_id"))
            state.strAppId = match.captured(3);
        else
            state.toplevels.remove(strObject);
    }
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

bool CWeston::WaitToplevelGone(const QString& strTitle, int nDeadlineMs) const
{
    return WaitUntil([&] { return !Toplevels().contains(strTitle); }, nDeadlineMs, 100);
}

void CWeston::Click(QPoint pos, int nButton) const
{
    // Off the output first (the X screen is larger), then onto the point: see the header. Then
    // the same way to the output's bottom right corner: weston draws its pointer into the
    // output, and so into the screenshots, where it would hide what was clicked.
    const QString strOffX = QString::number(m_pX->ScreenSize().width() - 4);
    const QString strOffY = QString::number(m_pX->ScreenSize().height() - 4);
    const QString strMove = QStringLiteral("mousemove");
    const QString strSync = QStringLiteral("--sync");
    m_pX->Xdotool({strMove, strSync, strOffX, strOffY, strMove, strSync, QString::number(pos.x()),
                   QString::number(pos.y()), QStringLiteral("click"), QString::number(nButton), strMove, strSync,
                   strOffX, strOffY, strMove, strSync, QString::number(kOutputWidth - 2),
                   QString::number(kOutputHeight - 2)});
}
