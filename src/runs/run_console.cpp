#include "run_console.h"

#include "command_line.h"
#include "panel_driver.h"
#include "port_config.h"
#include "port_diagnosis.h"
#include "string_table.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
// Windows' own, which would take the place of the string table's.
#undef LoadString
#else
#include <unistd.h>
#endif

#ifdef _WIN32
namespace {

HANDLE HandleOf(std::FILE* pFile)
{
    return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(pFile)));
}

} // namespace

bool IsTerminal(std::FILE* pFile)
{
    DWORD mode = 0;
    const HANDLE hFile = HandleOf(pFile);
    return hFile != INVALID_HANDLE_VALUE && ::GetConsoleMode(hFile, &mode) != 0;
}

bool TakesEscapes(std::FILE* pFile)
{
    const HANDLE hFile = HandleOf(pFile);
    DWORD mode = 0;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    // A screen buffer is a console's output; an input handle has none.
    if (hFile == INVALID_HANDLE_VALUE || ::GetConsoleMode(hFile, &mode) == 0
        || ::GetConsoleScreenBufferInfo(hFile, &info) == 0)
        return false;
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0)
        return true; // on already, by the console or by an earlier call: not set again
    return ::SetConsoleMode(hFile, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}
#else
bool IsTerminal(std::FILE* pFile)
{
    return ::isatty(::fileno(pFile)) != 0;
}

bool TakesEscapes(std::FILE* pFile)
{
    return IsTerminal(pFile);
}
#endif

QString PortText(const CPanelState& state)
{
    return QStringLiteral("COM%1 (%2) at %3 Bd")
        .arg(state.nPort)
        .arg(PathFromBytes(QByteArray::fromStdString(state.strDevice)))
        .arg(state.nBaud);
}

QString ConnectFailure(const CConnectResult& result, const QString& where)
{
    const QString on = where.isEmpty() ? QString() : QStringLiteral(" on %1").arg(where);
    switch (result.outcome) {
    case ConnectOutcome::PortError: return result.strError;
    case ConnectOutcome::NotFound: return QStringLiteral("KOVA not found%1").arg(on);
    case ConnectOutcome::Found: break;
    }
    return result.bLinkUp ? QString()
                          : QStringLiteral("KOVA found%1, but lost again before the connect was through").arg(on);
}

int SayConnect(const CConnectResult& result, CPanelDriver& driver, std::FILE* pOut, std::FILE* pErr)
{
    const QString where = PortText(driver.State());
    if (result.outcome == ConnectOutcome::PortError) {
        Print(pErr, QStringLiteral("kova_en: %1: %2\n%3\n")
                        .arg(where, LoadString(IDS_PORT_NOT_OPENED),
                             OpenFailureDetail(driver.Link().DevicePath(), driver.Link().LastOpenErrno(),
                                               driver.Link().LastOpenError())));
        return 2;
    }
    if (result.Connected())
        return 0;
    // A panel that answered "#" and then fell silent is told apart from one never there.
    Print(pOut,
          ConnectFailure(result, where)
              + (result.outcome == ConnectOutcome::Found ? QStringLiteral(" (it answered \"#\", then not in time)\n")
                                                         : QStringLiteral("\n")));
    return 1;
}
