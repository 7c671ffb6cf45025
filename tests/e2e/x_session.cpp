#include "x_session.h"

#include "geometry.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

bool WaitUntil(const std::function<bool()>& pred, int nDeadlineMs, int nPollMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > nDeadlineMs)
            return pred();
        QThread::msleep(static_cast<unsigned long>(nPollMs));
    }
    return true;
}

namespace {

bool RunToEnd(QProcess& process, int nDeadlineMs)
{
    if (!process.waitForFinished(nDeadlineMs)) {
        process.kill();
        process.waitForFinished(2000);
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit;
}

void StopProcess(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------
// X server

CXServer::~CXServer()
{
    StopProcess(m_server);
}

bool CXServer::Start(const QString& strWorkDir)
{
    // Xvfb writes the display number it found free to descriptor 3 once it takes clients.
    const QString strDisplayFile = strWorkDir + QStringLiteral("/display");
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server.setStandardOutputFile(QProcess::nullDevice());
    m_server.start(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"),
         QStringLiteral("exec Xvfb -displayfd 3 -screen 0 %1x%2x24 -nolisten tcp -noreset 3>\"$0\" 2>/dev/null")
             .arg(kScreenWidth)
             .arg(kScreenHeight),
         strDisplayFile});
    if (!m_server.waitForStarted(10000))
        return false;
    const bool bUp = WaitUntil(
        [&] {
            QFile file(strDisplayFile);
            if (m_server.state() == QProcess::NotRunning || !file.open(QIODevice::ReadOnly))
                return false;
            const QByteArray text = file.readAll();
            if (!text.endsWith('\n'))
                return false;
            m_strDisplay = QStringLiteral(":") + QString::fromLatin1(text.trimmed());
            return true;
        },
        20000);
    // Asking the server something proves that clients get through.
    return bUp && !Tool(QStringLiteral("xdotool"), {QStringLiteral("getdisplaygeometry")}).isNull();
}

QProcessEnvironment CXServer::Environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_strDisplay);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("QT_SCALE_FACTOR"));
    env.remove(QStringLiteral("KOVA_TRACE"));
    return env;
}

QByteArray CXServer::Tool(const QString& strProgram, const QStringList& args, int nDeadlineMs) const
{
    QProcess process;
    process.setProcessEnvironment(Environment());
    process.start(strProgram, args);
    if (!process.waitForStarted(nDeadlineMs) || !RunToEnd(process, nDeadlineMs) || process.exitCode() != 0)
        return {};
    QByteArray out = process.readAllStandardOutput();
    if (out.isNull())
        out = QByteArray("");
    return out;
}

unsigned long CXServer::FindWindow(const QString& strNamePattern) const
{
    // xdotool exits with 1 when nothing matches, which Tool reports as a null result.
    const QByteArray out =
        Xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), strNamePattern});
    const QList<QByteArray> ids = out.trimmed().split('\n');
    return ids.isEmpty() ? 0 : ids.front().toULong();
}

unsigned long CXServer::WaitWindow(const QString& strNamePattern, int nDeadlineMs) const
{
    unsigned long nWindow = 0;
    WaitUntil([&] { return (nWindow = FindWindow(strNamePattern)) != 0; }, nDeadlineMs, 100);
    return nWindow;
}

bool CXServer::WaitWindowGone(const QString& strNamePattern, int nDeadlineMs) const
{
    return WaitUntil([&] { return FindWindow(strNamePattern) == 0; }, nDeadlineMs, 100);
}

QRect CXServer::Geometry(unsigned long nWindow) const
{
    const QByteArray out =
        Xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), QString::number(nWindow)});
    QRect rc;
    for (const QByteArray& line : out.split('\n')) {
        const int eq = line.indexOf('=');
        const QByteArray key = line.left(eq);
        const int value = line.mid(eq + 1).toInt();
        if (key == "X")
            rc.moveLeft(value);
        else if (key == "Y")
            rc.moveTop(value);
        else if (key == "WIDTH")
            rc.setWidth(value);
        else if (key == "HEIGHT")
            rc.setHeight(value);
    }
    return rc;
}

void CXServer::Move(unsigned long nWindow, QPoint pos) const
{
    Xdotool({QStringLiteral("windowmove"), QStringLiteral("--sync"), QString::number(nWindow), QString::number(pos.x()),
             QString::number(pos.y())});
}

void CXServer::Focus(unsigned long nWindow) const
{
    Xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(nWindow)});
}

void CXServer::Keys(const QStringList& keys) const
{
    // A short gap between keys lets a menu that a key opened take its grab first.
    Xdotool(QStringList{QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("120")} + keys);
}

void CXServer::Type(const QString& strText) const
{
    Xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"), strText});
}

void CXServer::Click(QPoint pos, int nButton) const
{
    Xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(pos.x()), QString::number(pos.y()),
             QStringLiteral("click"), QString::number(nButton)});
}

QImage CXServer::Screenshot() const
{
    const QByteArray ppm =
        Tool(QStringLiteral("import"), {QStringLiteral("-silent"), QStringLiteral("-window"), QStringLiteral("root"),
                                        QStringLiteral("-depth"), QStringLiteral("8"), QStringLiteral("ppm:-")});
    return QImage::fromData(ppm, "PPM").convertToFormat(QImage::Format_RGB32);
}

// ---------------------------------------------------------------------------------------
// Virtual panel

QStringList BytesFromProgram(const QString& strPanelLog)
{
    QFile file(strPanelLog);
    QStringList bytes;
    if (!file.open(QIODevice::ReadOnly))
        return bytes;
    // "   12.3 PC> 02 23 10 03 30": the bytes as the panel read them, in chunks.
    for (const QByteArray& line : file.readAll().split('\n')) {
        const int at = line.indexOf(" PC> ");
        if (at < 0)
            continue;
        for (const QByteArray& byte : line.mid(at + 5).simplified().split(' '))
            bytes << QString::fromLatin1(byte).toUpper();
    }
    return bytes;
}

// ---------------------------------------------------------------------------------------
// Program

bool CProgram::Start(const QProcessEnvironment& env, const QString& strCom1, const QString& strBinary,
                     const QStringList& args)
{
    QProcessEnvironment programEnv = env;
    programEnv.insert(QStringLiteral("KOVA_COM1"), strCom1);
    programEnv.insert(QStringLiteral("KOVA_COM2"), strCom1 + QStringLiteral("-com2-absent"));
    // Only matters in the sanitizer build: a leak check of the program that leaves out
    // libdbus's own buffer (see lsan.supp).
    QString strLsan = programEnv.value(QStringLiteral("LSAN_OPTIONS"));
    if (!strLsan.isEmpty())
        strLsan += u':';
    programEnv.insert(QStringLiteral("LSAN_OPTIONS"), strLsan + QStringLiteral("suppressions=" KOVA_LSAN_SUPPRESSIONS));
    m_process.setProcessEnvironment(programEnv);
    m_process.setProcessChannelMode(m_strErrorLog.isEmpty() ? QProcess::MergedChannels : QProcess::SeparateChannels);
    if (!m_strErrorLog.isEmpty())
        m_process.setStandardErrorFile(m_strErrorLog);
    m_process.start(strBinary.isEmpty() ? QStringLiteral(KOVA_EN_BINARY) : strBinary, args);
    return m_process.waitForStarted(10000);
}

int CProgram::WaitExit(int nDeadlineMs)
{
    if (!m_process.waitForFinished(nDeadlineMs) && m_process.state() != QProcess::NotRunning)
        return -1;
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

void CProgram::Kill()
{
    StopProcess(m_process);
}

// ---------------------------------------------------------------------------------------
// Pixels

bool AllOf(const QImage& screen, const QRect& rc, QRgb colour)
{
    if (!screen.rect().contains(rc))
        return false;
    for (int y = rc.top(); y <= rc.bottom(); ++y)
        for (int x = rc.left(); x <= rc.right(); ++x)
            if ((screen.pixel(x, y) & 0xFFFFFF) != (colour & 0xFFFFFF))
                return false;
    return true;
}

int DarkPixels(const QImage& screen, const QRect& rc, int nBelow)
{
    int n = 0;
    const QRect inside = rc.intersected(screen.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const QRgb px = screen.pixel(x, y);
            if (qRed(px) < nBelow && qGreen(px) < nBelow && qBlue(px) < nBelow)
                ++n;
        }
    return n;
}

bool FindClientOrigin(const QImage& screen, QPoint& origin)
{
    const QRgb grey = qRgb(128, 128, 128);
    const CRect& first = g_rcKeys[0];
    for (int y = 0; y + 36 <= screen.height(); ++y) {
        for (int x = 0; x + 36 <= screen.width(); ++x) {
            if ((screen.pixel(x, y) & 0xFFFFFF) != (grey & 0xFFFFFF))
                continue;
            const QPoint candidate(x - first.left, y - first.top);
            bool bAll = true;
            for (const CRect& rc : g_rcKeys) {
                const QRect face(candidate + QPoint(rc.left, rc.top), QSize(rc.Width(), rc.Height()));
                if (!AllOf(screen, face, grey)) {
                    bAll = false;
                    break;
                }
            }
            if (bAll) {
                origin = candidate;
                return true;
            }
        }
    }
    return false;
}
