#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>

// What the command line asks for. Qt's own options (-platform, -style and the like) are
// accepted here and left to the application object.
struct CCommandLine {
    enum class Action { Run, Help, Version, ListPorts, SavePort, Probe, PermanenceTest, Check, Serve, Render, Refuse };
    Action action = Action::Run;
    QString strError;                   // why the command line was refused
    std::map<int, QString> portOptions; // --com1, --com2 by port number
    int nSavePort = 0;                  // --save-port N PATH
    QString strSavePath;
    int nPort = 1;           // --port, for --probe, --permanence-test and --serve
    int nBaud = 9600;        // --baud
    int64_t nDurationMs = 0; // --duration; 0: until interrupted
    QString strReportPath;   // --report; "-" for standard output
    QString strTrace;        // where the traffic trace goes (KOVA_TRACE); empty: none
    // --check
    QString strSerial;            // --serial: the panel's serial number
    QString strOperator;          // --operator
    int nTimeoutS = 30;           // --timeout: how long a prompt waits for the operator
    std::optional<uint32_t> seed; // --seed: the order of the keys; drawn when not given
    QStringList checkGroups;      // --only; empty: every group
    QString strJunitPath;         // --junit
    // The report's page (page_options.h)
    QString strHtmlPath;   // --html: the page's file; empty: beside the report
    bool bNoHtml = false;  // --no-html
    QString strRenderPath; // --render: the saved report to make a page of
};

// The longest prompt time-out of --check: an hour is more than any operator needs.
inline constexpr int kMaxCheckTimeoutS = 3600;
// The longest --duration: a year is far beyond any test.
inline constexpr int64_t kMaxDurationMs = int64_t{366} * 24 * 3600 * 1000;

// "90", "90s", "15m", "8h" as milliseconds; false and why for anything else, for no time at
// all and for more than kMaxDurationMs.
bool ParseDuration(const QString& text, int64_t* pMs, QString* pWhy = nullptr);

// Reads the whole command line; arguments[0] is the program. Needs no application object.
CCommandLine ParseCommandLine(const QStringList& arguments);

// Carries out everything that needs no window (help, version, refusal, listing and saving
// ports) and returns the exit status.
int RunWithoutWindow(const CCommandLine& commandLine, std::FILE* pOut, std::FILE* pErr);

const char* UsageLine();
const char* HelpText();
const char* VersionText();

// Text for the terminal in the locale's encoding, written at once; false when it could not be
// written (a closed pipe, a full disk).
bool Print(std::FILE* pFile, const QString& text);
