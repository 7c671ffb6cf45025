#include "command_line.h"

#include "headless.h"
#include "kova_version.h"
#include "panel_check.h"
#include "ports.h"
#include "serve.h"

#include <QCommandLineParser>

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

} // namespace

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
    const CHeadlessOptions headless;
    parser.addOptions(headless.All());
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
           " | --check | --serve | --help | --version]";
}

const char* HelpText()
{
    return "Usage: kova_en [--com1 PATH] [--com2 PATH] [--list-ports | --save-port N PATH | --probe | --permanence-test"
           " | --check | --serve | --help | --version]\n"
           "       kova_en [--com1 PATH] [--com2 PATH] --probe [--port N] [--baud BD]\n"
           "       kova_en [--com1 PATH] [--com2 PATH] --permanence-test [--port N] [--baud BD] [--duration D]\n"
           "               [--report FILE]\n"
           "       kova_en [--com1 PATH] [--com2 PATH] --check [--port N] [--baud BD] [--serial SN] [--operator NAME]\n"
           "               [--timeout S] [--seed N] [--only LIST] [--report FILE] [--junit FILE]\n"
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
           "                            item\n"
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
