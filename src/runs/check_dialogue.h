#pragma once

#include "command_line.h"
#include "panel_driver.h"
#include "run_wait.h"

#include <QString>

#include <cstdio>
#include <functional>
#include <string>

// The panel check's dialogue with the operator: each item's prompt on the LCD and on standard
// output, the item listened to until its verdict can be given (check_verdicts.h), a reconnect
// after a lost link, the panel left dark and blank at the end, the report and the JUnit file.
// What it runs on is handed in, so a test runs a whole check in its own process on a scripted
// device and a fake clock.
struct CCheckRig {
    CPanelDriver& driver;
    // The device behind port 1 or 2 at the moment of each connect.
    std::function<std::string(int)> resolveDevice;
    // Where the wait idles when there is no descriptor to sleep on (empty: real time).
    CRunWait::Idler idler;
    bool bTerminal = false; // answers may be typed on standard input
    QString strStation;     // the machine's name, for the report
};

// 0 every item run passed, 1 an item failed or was not checked or the panel could not be
// reached, 2 a report or JUnit file that cannot be written or a port that would not open,
// 3 ended by a stop signal.
int RunCheckDialogue(const CCommandLine& commandLine, const CCheckRig& rig, std::FILE* pOut, std::FILE* pErr);
