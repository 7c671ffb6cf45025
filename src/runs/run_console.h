#pragma once

#include <QString>

#include <cstdio>

class CPanelDriver;
struct CConnectResult;
struct CPanelState;

// What the runs without a window say about the port and a connect, in the same words for every
// run (--probe, --permanence-test, --check, --serve).

// Whether pFile is a terminal a person types at or reads: on Windows a console, which the NUL
// device and a file, though "character devices" to the C library there, are not. It only asks:
// nothing about the terminal changes, standard input's included.
bool IsTerminal(std::FILE* pFile);
// Whether a progress line that redraws itself ("\r", "\x1b[K") can be written to pFile: a
// terminal that takes the escape sequences. A Windows console output takes them once told
// (ENABLE_VIRTUAL_TERMINAL_PROCESSING), which is done here the first time, on that output
// alone; the bit means something else on an input, which is never touched. False where the
// console cannot take them (before Windows 10): the run then writes plain lines instead.
bool TakesEscapes(std::FILE* pFile);

// "COM1 (/dev/ttyUSB0) at 9600 Bd", as every run names its port.
QString PortText(const CPanelState& state);
// Why a connect left the link down: "KOVA not found on <where>", "KOVA found on <where>, but lost
// again before the connect was through", or for a port that would not open the system's reason.
// Without where the words "on ..." are left out. Empty when the link is up.
QString ConnectFailure(const CConnectResult& result, const QString& where = QString());
// What a connect came to, said on pOut or pErr: 2 when the port would not open (with the
// advice), 1 when the panel was not found or was lost again before the connect was through, 0
// when the link is up.
int SayConnect(const CConnectResult& result, CPanelDriver& driver, std::FILE* pOut, std::FILE* pErr);
