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

bool IsTerminal(std::FILE* pFile)
{
#ifdef _WIN32
    DWORD mode = 0;
    const auto hFile = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(pFile)));
    if (hFile == INVALID_HANDLE_VALUE || ::GetConsoleMode(hFile, &mode) == 0)
        return false;
    ::SetConsoleMode(hFile, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    return true;
#else
    return ::isatty(::fileno(pFile)) != 0;
#endif
}

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
