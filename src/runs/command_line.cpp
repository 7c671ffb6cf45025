#include "command_line.h"

#include "check_plan.h"
#include "headless.h"
#include "kova_version.h"
#include "page_options.h"
#include "page_store.h"
#include "panel_check.h"
#include "ports.h"
#include "run_ports.h"
#include "serve.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <cmath>

namespace {

// The options QGuiApplication and QApplication take for themselves; they are let through here
// and consumed when the application object is made.
const char* const kQtValueOptions[] = {"platform",
                                       "platformpluginpath",
                                       "platformtheme",
                                       "plugin",
                                       "qwindowgeometry",
                                       "qwindowtitle",
                                       "qwindowicon",
                                       "geometry",
                                       "title",
                                       "icon",
                                       "display",
                                       "style",
                                       "stylesheet",
                                       "session",
                                       "name",
                                       "qmljsdebugger",
                                       "fontengine",
                                       "visual"};
const char* const kQtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"};

// The options of the runs without a window (--probe, --permanence-test, --check, --serve and
// what goes with them), declared on the program's command line parser.
struct CRunOptions {
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

QList<QCommandLineOption> CRunOptions::All() const
{
    return {probe, permTest, serve,        port,    baud, duration, report,
            check, serial,   operatorName, timeout, seed, only,     junit};
}

QString CRunOptions::Read(const QCommandLineParser& parser, CCommandLine& result) const
{
    const bool bProbe = parser.isSet(probe);
    const bool bPermTest = parser.isSet(permTest);
    const bool bServe = parser.isSet(serve);
    const bool bCheck = parser.isSet(check);
    const QCommandLineOption* const checkOnly[] = {&serial, &operatorName, &timeout, &seed, &only, &junit};
    if (!bCheck) {
        for (const QCommandLineOption* pOption : checkOnly)
            if (parser.isSet(*pOption))
                return QStringLiteral("--%1 goes with --check").arg(pOption->names().first());
    }
    if (!bProbe && !bPermTest && !bCheck && !bServe) {
        for (const QCommandLineOption* pOption : {&port, &baud, &duration, &report})
            if (parser.isSet(*pOption))
                return QStringLiteral("--%1 goes with --probe, --permanence-test, --check or --serve")
                    .arg(pOption->names().first());
        return {};
    }
    if (int(bProbe) + int(bPermTest) + int(bCheck) + int(bServe) > 1)
        return QStringLiteral("--probe, --permanence-test, --check and --serve go in separate runs");
    const char* const name = bProbe ? "probe" : bPermTest ? "permanence-test" : bCheck ? "check" : "serve";
    if (result.action != CCommandLine::Action::Run)
        return QStringLiteral("--%1 goes in a run of its own").arg(QLatin1String(name));
    if ((bProbe || bServe) && (parser.isSet(duration) || parser.isSet(report)))
        return QStringLiteral("--duration and --report go with --permanence-test");
    if (bCheck && parser.isSet(duration))
        return QStringLiteral("--duration goes with --permanence-test; --check takes --timeout");
    if (parser.isSet(port)) {
        const QString value = parser.value(port);
        if (value != QLatin1String("1") && value != QLatin1String("2"))
            return QStringLiteral("--port takes 1 or 2, not '%1'").arg(value);
        result.nPort = value.toInt();
    }
    if (parser.isSet(baud)) {
        const QString value = parser.value(baud);
        if (value != QLatin1String("9600") && value != QLatin1String("19200"))
            return QStringLiteral("--baud takes 9600 or 19200, not '%1'").arg(value);
        result.nBaud = value.toInt();
    }
    if (parser.isSet(duration)) {
        QString why;
        if (!ParseDuration(parser.value(duration), &result.nDurationMs, &why))
            return QStringLiteral("--duration %1: %2").arg(parser.value(duration), why);
    }
    if (parser.isSet(report)) {
        result.strReportPath = parser.value(report);
        if (result.strReportPath.isEmpty())
            return QStringLiteral("--report needs a file name");
        // The check talks to the operator on standard output; its report goes to a file.
        if (bCheck && result.strReportPath == QLatin1String("-"))
            return QStringLiteral("--report - goes with --permanence-test; --check writes its report to a file");
    }
    if (bCheck) {
        if (const QString why = ReadCheckOptions(parser, result); !why.isEmpty())
            return why;
    }
    result.action = bProbe      ? CCommandLine::Action::Probe
                    : bPermTest ? CCommandLine::Action::PermanenceTest
                    : bCheck    ? CCommandLine::Action::Check
                                : CCommandLine::Action::Serve;
    return {};
}

QString CRunOptions::ReadCheckOptions(const QCommandLineParser& parser, CCommandLine& result) const
{
    if (parser.isSet(serial)) {
        result.strSerial = parser.value(serial).trimmed();
        if (result.strSerial.isEmpty())
            return QStringLiteral("--serial needs the panel's serial number");
    }
    if (parser.isSet(operatorName))
        result.strOperator = parser.value(operatorName).trimmed();
    if (parser.isSet(timeout)) {
        bool ok = false;
        const int value = parser.value(timeout).toInt(&ok);
        if (!ok || value < 1 || value > kMaxCheckTimeoutS)
            return QStringLiteral("--timeout takes whole seconds from 1 to %1, not '%2'")
                .arg(kMaxCheckTimeoutS)
                .arg(parser.value(timeout));
        result.nTimeoutS = value;
    }
    if (parser.isSet(seed)) {
        bool ok = false;
        const qulonglong value = parser.value(seed).toULongLong(&ok);
        if (!ok || value > 0xFFFFFFFFull)
            return QStringLiteral("--seed takes a number from 0 to 4294967295, not '%1'").arg(parser.value(seed));
        result.seed = static_cast<uint32_t>(value);
    }
    if (parser.isSet(only)) {
        for (const QString& group : parser.value(only).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString word = group.trimmed();
            if (!CheckGroups().contains(word))
                return QStringLiteral("--only takes a comma list of %1, not '%2'")
                    .arg(CheckGroups().join(QLatin1Char(',')), word);
            if (!result.checkGroups.contains(word))
                result.checkGroups << word;
        }
        if (result.checkGroups.isEmpty())
            return QStringLiteral("--only needs at least one of %1").arg(CheckGroups().join(QLatin1Char(',')));
    }
    if (parser.isSet(junit)) {
        result.strJunitPath = parser.value(junit);
        if (result.strJunitPath.isEmpty())
            return QStringLiteral("--junit needs a file name");
    }
    return {};
}

} // namespace

bool ParseDuration(const QString& text, int64_t* pMs, QString* pWhy)
{
    QString number = text.trimmed();
    int64_t unit = 1000;
    if (number.endsWith(QLatin1Char('s'))) {
        number.chop(1);
    } else if (number.endsWith(QLatin1Char('m'))) {
        number.chop(1);
        unit = 60 * 1000;
    } else if (number.endsWith(QLatin1Char('h'))) {
        number.chop(1);
        unit = 3600 * 1000;
    }
    const auto refuse = [pWhy](const QString& why) {
        if (pWhy != nullptr)
            *pWhy = why;
        return false;
    };
    bool ok = false;
    const double value = number.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return refuse(QStringLiteral("takes seconds, or a number with s, m or h (90, 15m, 8h)"));
    // A year is far beyond any test, and keeps the product well inside 64 bits.
    if (value * static_cast<double>(unit) > static_cast<double>(kMaxDurationMs))
        return refuse(QStringLiteral("is more than a year (366 days, 8784h), the longest run"));
    const auto ms = static_cast<int64_t>(value * static_cast<double>(unit));
    if (ms <= 0)
        return refuse(QStringLiteral("is no time at all; leave --duration out to run until stopped"));
    *pMs = ms;
    return true;
}

bool Print(std::FILE* pFile, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    const bool bWritten = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), pFile)
                          == static_cast<size_t>(bytes.size());
    // Flushed at once, so a progress line shows while a long run goes on, and a closed pipe or
    // a full disk is noticed here.
    const bool bFlushed = std::fflush(pFile) == 0;
    if (!bWritten || !bFlushed) {
        std::clearerr(pFile);
        return false;
    }
    return true;
}

CCommandLine ParseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    // Qt's options are words after a single dash (-platform), not bundles of letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    const QCommandLineOption com1(QStringLiteral("com1"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption com2(QStringLiteral("com2"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption listPorts(QStringLiteral("list-ports"));
    const QCommandLineOption savePort(QStringLiteral("save-port"), QString(), QStringLiteral("N"));
    parser.addOptions({help, version, com1, com2, listPorts, savePort});
    const CRunOptions headless;
    parser.addOptions(headless.All());
    const CPageOptions pages;
    parser.addOptions(pages.All());
    for (const char* name : kQtValueOptions)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    for (const char* name : kQtFlagOptions)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name)));

    CCommandLine result;
    const auto refuse = [&result](const QString& why) {
        result = CCommandLine();
        result.action = CCommandLine::Action::Refuse;
        result.strError = why;
        return result;
    };
    const bool bParsed = parser.parse(arguments);

    // Help and version answer whatever else stands beside them.
    if (parser.isSet(help)) {
        result.action = CCommandLine::Action::Help;
        return result;
    }
    if (parser.isSet(version)) {
        result.action = CCommandLine::Action::Version;
        return result;
    }
    if (!bParsed)
        return refuse(parser.errorText());
    // Given twice, an option would silently mean its last value; a script with a port or a
    // report path twice has a mistake in it.
    for (const QString& name : parser.optionNames())
        if (parser.optionNames().count(name) > 1 && !parser.values(name).isEmpty())
            return refuse(QStringLiteral("--%1 is given more than once").arg(name));

    for (const auto& [nPort, option] : {std::pair{1, &com1}, std::pair{2, &com2}}) {
        if (!parser.isSet(*option))
            continue;
        const QString path = parser.value(*option);
        if (path.isEmpty())
            return refuse(QStringLiteral("--com%1 needs a device path").arg(nPort));
        if (const QString why = NetPortNameProblem(path); !why.isEmpty())
            return refuse(QStringLiteral("--com%1 %2: %3").arg(nPort).arg(path, why));
        result.portOptions[nPort] = path;
    }

    QStringList positional = parser.positionalArguments();
    if (parser.isSet(savePort)) {
        bool ok = false;
        result.nSavePort = parser.value(savePort).toInt(&ok);
        if (!ok || (result.nSavePort != 1 && result.nSavePort != 2))
            return refuse(QStringLiteral("--save-port takes port 1 or 2, not '%1'").arg(parser.value(savePort)));
        if (positional.isEmpty())
            return refuse(QStringLiteral("--save-port %1 needs a device path").arg(result.nSavePort));
        result.strSavePath = positional.takeFirst();
        result.action = CCommandLine::Action::SavePort;
    }
    if (!positional.isEmpty())
        return refuse(QStringLiteral("unknown argument '%1'").arg(positional.first()));
    if (parser.isSet(listPorts)) {
        if (result.action == CCommandLine::Action::SavePort)
            return refuse(QStringLiteral("--list-ports and --save-port go in separate runs"));
        result.action = CCommandLine::Action::ListPorts;
    }
    if (const QString why = headless.Read(parser, result); !why.isEmpty())
        return refuse(why);
    if (const QString why = pages.Read(parser, result); !why.isEmpty())
        return refuse(why);
    return result;
}

int RunWithoutWindow(const CCommandLine& commandLine, std::FILE* pOut, std::FILE* pErr)
{
    switch (commandLine.action) {
    case CCommandLine::Action::Run: return 0;
    case CCommandLine::Action::Help: return Print(pOut, QString::fromUtf8(HelpText())) ? 0 : 2;
    case CCommandLine::Action::Version:
        return Print(pOut, QString::fromUtf8(VersionText()) + QLatin1Char('\n')) ? 0 : 2;
    case CCommandLine::Action::Refuse:
        Print(pErr, QStringLiteral("kova_en: %1\n%2\n").arg(commandLine.strError, QString::fromLatin1(UsageLine())));
        return 2;
    case CCommandLine::Action::SavePort: {
        QString message;
        const int status = SavePortConfig(commandLine.nSavePort, commandLine.strSavePath, CPortSetup(), &message);
        Print(status == 0 ? pOut : pErr, message + QLatin1Char('\n'));
        return status;
    }
    case CCommandLine::Action::Probe: return RunProbe(commandLine, pOut, pErr);
    case CCommandLine::Action::PermanenceTest: return RunPermanenceTest(commandLine, pOut, pErr);
    case CCommandLine::Action::Check: return RunPanelCheck(commandLine, pOut, pErr);
    // Standard output belongs to the protocol alone: nothing else may be printed there.
    case CCommandLine::Action::Serve: return RunServe(commandLine, pErr);
    case CCommandLine::Action::Render: return RunRender(commandLine.strRenderPath, commandLine.strHtmlPath, pOut, pErr);
    case CCommandLine::Action::ListPorts: {
        Print(pOut, ListPortsText(DiscoverPorts(SetUpPorts(commandLine, pErr))));
        return 0;
    }
    }
    return 0;
}

const char* UsageLine()
{
    return "Usage: kova_en [--com1 PATH] [--com2 PATH] [--list-ports | --save-port N PATH | --probe | --permanence-test"
           " | --check | --serve | --render REPORT | --help | --version]";
}

const char* HelpText()
{
    return "Usage: kova_en [--com1 PATH] [--com2 PATH] [--list-ports | --save-port N PATH | --probe | --permanence-test"
           " | --check | --serve | --render REPORT | --help | --version]\n"
           "       kova_en [--com1 PATH] [--com2 PATH] --probe [--port N] [--baud BD]\n"
           "       kova_en [--com1 PATH] [--com2 PATH] --permanence-test [--port N] [--baud BD] [--duration D]\n"
           "               [--report FILE] [--html FILE | --no-html]\n"
           "       kova_en [--com1 PATH] [--com2 PATH] --check [--port N] [--baud BD] [--serial SN] [--operator NAME]\n"
           "               [--timeout S] [--seed N] [--only LIST] [--report FILE] [--junit FILE]\n"
           "               [--html FILE | --no-html]\n"
           "       kova_en --render REPORT [--html FILE]\n"
           "       kova_en [--com1 PATH] [--com2 PATH] --serve [--port N] [--baud BD]\n"
           "\n"
           "Test and demonstration program for the KOVA operator panel.\n"
           "Port and baud rate are chosen in the program's \"Serial Communication\" dialog.\n"
           "\n"
           "Options:\n"
           "  --com1 PATH, --com2 PATH  device behind COM1 or COM2 for this run; a port on\n"
           "                            a serial device server is a URL:\n"
           "                            rfc2217://HOST:PORT (RFC 2217), socket://HOST:PORT\n"
           "                            (raw TCP), IPv6 as [::1]:PORT\n"
           "  --list-ports              list the serial devices, which port uses each, and\n"
           "                            whether you may open them\n"
           "  --save-port N PATH        make COMN use PATH from now on (written into\n"
           "                            ~/.config/kova_en/kova_en.conf, section [ports])\n"
           "  --probe                   connect as the window does, print what was found\n"
           "                            and exit: 0 found, 1 not found, 2 usage or port\n"
           "                            error\n"
           "  --permanence-test         run the permanence test without a display until the\n"
           "                            duration or SIGINT/SIGTERM/SIGHUP, reconnecting\n"
           "                            after a lost link; exit 0 pass, 1 fail, 2 usage or\n"
           "                            port error, or the report not written where it was\n"
           "                            to go\n"
           "  --serve                   drive the panel from a script: JSON Lines, one\n"
           "                            command per line on standard input, one reply or\n"
           "                            event per line on standard output (protocol 1,\n"
           "                            below); exit 0 at the end of the input, quit or a\n"
           "                            signal, 2 when the port cannot be opened or\n"
           "                            standard output closes\n"
           "  --port N                  port 1 (COM1, the default) or 2 of --probe,\n"
           "                            --permanence-test, --check and --serve\n"
           "  --baud BD                 9600 (the default) or 19200\n"
           "  --duration D              seconds, or a number with s, m or h (90, 15m, 8h)\n"
           "  --report FILE             the run's JSON report (default\n"
           "                            $XDG_STATE_HOME/kova_en/permanence-TIME-COMN.json,\n"
           "                            check-TIME-SN.json for --check); - for standard\n"
           "                            output (--permanence-test only)\n"
           "  --check                   lead an operator through the panel with prompts on\n"
           "                            its LCD and here: hands off (2 s), each key under\n"
           "                            its lit LED in a random order, both selectors\n"
           "                            through all 12 positions, all LEDs on, flashing and\n"
           "                            off, every LCD cell (answered with key 1 = yes, key\n"
           "                            2 = no, or y/n on a terminal); exit 0 every item\n"
           "                            passed, 1 an item failed or was not checked or the\n"
           "                            panel was not found, 2 usage or port error or a\n"
           "                            report that cannot be written, 3 ended by\n"
           "                            SIGINT/SIGTERM/SIGHUP\n"
           "  --serial SN               the panel's serial number, in the report and its\n"
           "                            name\n"
           "  --operator NAME           who checks the panel, for the report\n"
           "  --timeout S               seconds each prompt waits (default 30; selectors\n"
           "                            twice that)\n"
           "  --seed N                  the order of the keys again (the report gives it)\n"
           "  --only LIST               a comma list of at-rest,keys,selectors,lamps,lcd;\n"
           "                            the other items are not run\n"
           "  --junit FILE              the check as JUnit XML as well, one test case per\n"
           "                            item, and the panel's picture with the results\n"
           "                            beside it as FILE's name with .png\n"
           "  --html FILE               the report's page (one HTML file with the panel's\n"
           "                            picture; default: beside the report, .html)\n"
           "  --no-html                 no page beside the report\n"
           "  --render REPORT           make the page of a saved report (beside it, or\n"
           "                            --html FILE); exit 0 written, 2 an unknown or\n"
           "                            broken report, or the page not written\n"
           "  (--check and --permanence-test end with 4 when the report was written but\n"
           "  its page, or the JUnit file's picture, was not)\n"
           "  -h, --help                this text\n"
           "  -v, --version             the program's version\n"
           "\n"
           "Scripting (--serve): the first line is {\"event\": \"hello\", \"protocol\": 1, ...}\n"
           "with found, link, variant, selector1 and selector2 (0: unknown), or error when\n"
           "the port would not open. Commands, each with an optional \"id\" its reply repeats:\n"
           "  {\"cmd\": \"led\", \"key\": 1..12, \"state\": \"on\"|\"off\"|\"flash\"}\n"
           "  {\"cmd\": \"leds_off\"}\n"
           "  {\"cmd\": \"text\", \"rows\": [up to 8 strings of up to 15 characters]}\n"
           "  {\"cmd\": \"cell\", \"row\": 0..7, \"column\": 0..14,\n"
           "   \"attr\": \"AC\"|\"@C\"|\"AB\"|\"@B\", \"code\": 128..255}\n"
           "  {\"cmd\": \"send\", \"hex\": \"6C 2B\", \"reply\": true}\n"
           "  {\"cmd\": \"wait\", \"for\": \"key\"|\"release\"|\"selector1\"|\"selector2\",\n"
           "   \"value\": N, \"timeout_ms\": T}\n"
           "  {\"cmd\": \"state\"}, {\"cmd\": \"stats\"}, {\"cmd\": \"connect\"},\n"
           "  {\"cmd\": \"close\"}, {\"cmd\": \"quit\"}\n"
           "A reply has \"ok\" (and \"result\", the block result: 0 done, 33, 34, 255 with\n"
           "\"error\"); an event has \"event\": key, release, selector, report, link_lost,\n"
           "link_up. A bad line gets {\"ok\":false,\"error\":...} and reading goes on.\n"
           "\n"
           "Which device COM1 and COM2 stand for, first match wins: --com1/--com2; the\n"
           "environment; the configuration file; /dev/ttyS0 and /dev/ttyS1.\n"
           "\n"
           "Environment:\n"
           "  KOVA_COM1, KOVA_COM2  device behind COM1 and COM2;\n"
           "                        for USB adaptors use /dev/serial/by-id/...;\n"
           "                        rfc2217://HOST:PORT or socket://HOST:PORT\n"
           "  KOVA_TRACE            1: trace every block exchange to standard error;\n"
           "                        a file name: trace to that file\n"
           "  QT_LOGGING_RULES      kova.link.trace=true traces to standard error too\n"
           "  XDG_STATE_HOME        where permanence-test and check reports go (default\n"
           "                        ~/.local/state; on Windows %LOCALAPPDATA%)\n"
           "  XDG_CONFIG_HOME       where the configuration lives (default ~/.config)\n";
}

const char* VersionText()
{
    return KOVA_VERSION_TEXT;
}
