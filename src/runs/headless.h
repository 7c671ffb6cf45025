#pragma once

#include "command_line.h"
#include "port_config.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

#include <cstdint>
#include <cstdio>

// The runs without a display: a probe for the panel and the permanence test from a script. Both
// drive the same panel model as the window, through a view that answers no dialog and shows no
// box, so the same telegrams go on the line in the same order.

// A reconnect after a lost link is tried this often, as a user would with Reset KOVA and
// Permanence Test Start.
inline constexpr int kReconnectPeriodMs = 3000;

// The options of the runs without a display, declared on the program's command line parser.
struct CHeadlessOptions {
    QCommandLineOption probe{QStringLiteral("probe")};
    QCommandLineOption permTest{QStringLiteral("permanence-test")};
    QCommandLineOption serve{QStringLiteral("serve")};
    QCommandLineOption port{QStringLiteral("port"), QString(), QStringLiteral("N")};
    QCommandLineOption baud{QStringLiteral("baud"), QString(), QStringLiteral("BD")};
    QCommandLineOption duration{QStringLiteral("duration"), QString(), QStringLiteral("D")};
    QCommandLineOption report{QStringLiteral("report"), QString(), QStringLiteral("FILE")};
    // The panel check and its own options.
    QCommandLineOption check{QStringLiteral("check")};
    QCommandLineOption serial{QStringLiteral("serial"), QString(), QStringLiteral("SN")};
    QCommandLineOption operatorName{QStringLiteral("operator"), QString(), QStringLiteral("NAME")};
    QCommandLineOption timeout{QStringLiteral("timeout"), QString(), QStringLiteral("S")};
    QCommandLineOption seed{QStringLiteral("seed"), QString(), QStringLiteral("N")};
    QCommandLineOption only{QStringLiteral("only"), QString(), QStringLiteral("LIST")};
    QCommandLineOption junit{QStringLiteral("junit"), QString(), QStringLiteral("FILE")};

    QList<QCommandLineOption> All() const;
    // Reads them into result after the rest of the command line; empty when they are sound,
    // or why they are refused.
    QString Read(const QCommandLineParser& parser, CCommandLine& result) const;

private:
    QString ReadCheckOptions(const QCommandLineParser& parser, CCommandLine& result) const;
};

// The longest prompt time-out of --check: an hour is more than any operator needs.
inline constexpr int kMaxCheckTimeoutS = 3600;
// The groups of items --only names, in the order the check runs them.
QStringList CheckGroups();

// The longest --duration: a year is far beyond any test.
inline constexpr int64_t kMaxDurationMs = int64_t{366} * 24 * 3600 * 1000;

// "90", "90s", "15m", "8h" as milliseconds; false and why for anything else, for no time at
// all and for more than kMaxDurationMs.
bool ParseDuration(const QString& text, int64_t* pMs, QString* pWhy = nullptr);

// The port setup of the command line (its --com1/--com2, the roots of the environment), with a
// word on pErr when the configuration file is broken. Read once per run and handed down.
CPortSetup SetUpPorts(const CCommandLine& commandLine, std::FILE* pErr);

// kova_en --probe: 0 found, 1 not found, 2 the port would not open.
int RunProbe(const CCommandLine& commandLine, std::FILE* pOut, std::FILE* pErr);

// kova_en --permanence-test: 0 pass, 1 fail (or not found), 2 the port would not open or the
// report could not be written.
int RunPermanenceTest(const CCommandLine& commandLine, std::FILE* pOut, std::FILE* pErr);
