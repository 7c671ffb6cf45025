// The command line: what each argument asks for, and the program answering everything that
// needs no window without a display (a bad argument included, with its usage line).

#include "command_line.h"
#include "port_test_tree.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

CCommandLine Parse(QStringList args)
{
    args.prepend(QStringLiteral("kova_en"));
    return ParseCommandLine(args);
}

using Action = CCommandLine::Action;

// The command line (words split at spaces) is refused, and its message says why.
void ExpectRefused(const char* args, const char* why)
{
    const CCommandLine refused = Parse(QString::fromLatin1(args).split(u' '));
    EXPECT_EQ(refused.action, Action::Refuse) << args;
    EXPECT_TRUE(refused.strError.contains(QLatin1String(why))) << args << ": " << refused.strError.toStdString();
}

struct CRun {
    int nExitCode = -1;
    bool bFinished = false;
    QString strOut;
    QString strErr;
};

// Runs the program with no display at all: no DISPLAY, no WAYLAND_DISPLAY and no platform
// chosen, so anything that reached for the window system would abort.
CRun RunProgram(const QStringList& args, const QProcessEnvironment& extra = {})
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "KOVA_COM1", "KOVA_COM2"})
        env.remove(QString::fromLatin1(name));
    env.insert(extra);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(KOVA_EN_BINARY), args);
    CRun run;
    // An argument that is not refused would open the settings dialog and wait for ever.
    run.bFinished = process.waitForStarted(30000) && process.waitForFinished(30000);
    if (!run.bFinished) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.nExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.strOut = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.strErr = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

} // namespace

TEST(CommandLineTest, ArgumentsAndWhatTheyAskFor)
{
    EXPECT_EQ(Parse({}).action, Action::Run);
    EXPECT_EQ(Parse({QStringLiteral("--help")}).action, Action::Help);
    EXPECT_EQ(Parse({QStringLiteral("-h")}).action, Action::Help);
    EXPECT_EQ(Parse({QStringLiteral("--version")}).action, Action::Version);
    EXPECT_EQ(Parse({QStringLiteral("--list-ports")}).action, Action::ListPorts);
    // Help and version answer whatever else stands beside them.
    EXPECT_EQ(Parse({QStringLiteral("--bogus"), QStringLiteral("--version")}).action, Action::Version);

    // Qt's own options, in both of their spellings, are left for the application object.
    EXPECT_EQ(Parse({QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("-reverse")}).action,
              Action::Run);
    EXPECT_EQ(Parse({QStringLiteral("-style=fusion")}).action, Action::Run);

    const CCommandLine ports =
        Parse({QStringLiteral("--com2"), QStringLiteral("/dev/ttyUSB1"), QStringLiteral("--com1=/dev/ttyUSB0")});
    EXPECT_EQ(ports.action, Action::Run);
    EXPECT_EQ(ports.portOptions.at(1), QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(ports.portOptions.at(2), QStringLiteral("/dev/ttyUSB1"));

    const CCommandLine save =
        Parse({QStringLiteral("--save-port"), QStringLiteral("2"), QStringLiteral("/dev/ttyACM0")});
    EXPECT_EQ(save.action, Action::SavePort);
    EXPECT_EQ(save.nSavePort, 2);
    EXPECT_EQ(save.strSavePath, QStringLiteral("/dev/ttyACM0"));
}

TEST(CommandLineTest, BadArgumentsAreRefusedWithAReason)
{
    const QList<QStringList> refused = {
        {QStringLiteral("--bogus")},
        {QStringLiteral("--helpme")},
        {QStringLiteral("COM2")},
        {QStringLiteral("")},
        {QStringLiteral("--com1")},
        {QStringLiteral("--com1=")},
        {QStringLiteral("--save-port"), QStringLiteral("1")},
        {QStringLiteral("--save-port"), QStringLiteral("3"), QStringLiteral("/dev/ttyS0")},
        {QStringLiteral("--save-port"), QStringLiteral("one"), QStringLiteral("/dev/ttyS0")},
        {QStringLiteral("--save-port"), QStringLiteral("1"), QStringLiteral("/dev/a"), QStringLiteral("/dev/b")},
        {QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("extra")},
    };
    for (const QStringList& args : refused) {
        const CCommandLine result = Parse(args);
        EXPECT_EQ(result.action, Action::Refuse) << args.join(QLatin1Char(' ')).toStdString();
        EXPECT_FALSE(result.strError.isEmpty()) << args.join(QLatin1Char(' ')).toStdString();
    }
    EXPECT_TRUE(Parse({QStringLiteral("COM2")}).strError.contains(QStringLiteral("COM2")));
}

TEST(CommandLineTest, ProgramAnswersWithoutADisplay)
{
    const CRun version = RunProgram({QStringLiteral("--version")});
    ASSERT_TRUE(version.bFinished);
    EXPECT_EQ(version.nExitCode, 0);
    EXPECT_EQ(version.strOut, QStringLiteral("KOVA_EN, Version 3.0\n"));

    const CRun help = RunProgram({QStringLiteral("--help")});
    ASSERT_TRUE(help.bFinished);
    EXPECT_EQ(help.nExitCode, 0);
    EXPECT_TRUE(help.strOut.startsWith(QString::fromLatin1(UsageLine())));
    EXPECT_TRUE(help.strOut.contains(QStringLiteral("KOVA_COM1")));
    EXPECT_TRUE(help.strOut.contains(QStringLiteral("--save-port N PATH")));

    // Used to abort inside the platform plugin without a display.
    const CRun bogus = RunProgram({QStringLiteral("--bogus")});
    ASSERT_TRUE(bogus.bFinished);
    EXPECT_EQ(bogus.nExitCode, 2);
    EXPECT_EQ(bogus.strErr.count(QLatin1Char('\n')), 2) << bogus.strErr.toStdString();
    EXPECT_TRUE(bogus.strErr.contains(QStringLiteral("bogus")));
    EXPECT_TRUE(bogus.strErr.endsWith(QString::fromLatin1(UsageLine()) + QLatin1Char('\n')));
    EXPECT_TRUE(bogus.strOut.isEmpty());
}

TEST(CommandLineTest, SavedPortIsListedAndBadPathsAreRefused)
{
    CFakePortTree tree;
    ASSERT_TRUE(tree.IsValid());
    const QString byId =
        tree.AddUsbAdapter(QStringLiteral("ttyUSB0"), QStringLiteral("0403"), QStringLiteral("6001"),
                           QStringLiteral("FTDI"), QStringLiteral("FT232R USB UART"), QStringLiteral("A12345"));
    QProcessEnvironment env;
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), tree.ConfigHome());
    env.insert(QStringLiteral("KOVA_DEV_ROOT"), tree.DevRoot());
    env.insert(QStringLiteral("KOVA_SYS_ROOT"), tree.SysRoot());
    env.insert(QStringLiteral("KOVA_PROC_ROOT"), tree.ProcRoot());

    // A character device that is no terminal is refused; a stand-in with a UART's numbers is
    // saved (the fake adapter is a plain file).
    const CRun null =
        RunProgram({QStringLiteral("--save-port"), QStringLiteral("2"), QStringLiteral("/dev/null")}, env);
    EXPECT_EQ(null.nExitCode, 2);
    EXPECT_TRUE(null.strErr.contains(QStringLiteral("not a terminal"))) << null.strErr.toStdString();
    const QString uart = tree.Path(QStringLiteral("ttyS-stand-in"));
    if (!tree.MakeNode(uart, S_IFCHR, 4, 64))
        GTEST_SKIP() << "making device nodes needs root";
    const CRun saved = RunProgram({QStringLiteral("--save-port"), QStringLiteral("2"), uart}, env);
    ASSERT_TRUE(saved.bFinished);
    EXPECT_EQ(saved.nExitCode, 0) << saved.strErr.toStdString();
    EXPECT_TRUE(saved.strOut.contains(tree.ConfigFile())) << saved.strOut.toStdString();

    // Refused: the file stays as it was.
    ASSERT_TRUE(tree.WriteFile(tree.ConfigFile(), "[ports]\nCOM1=" + byId.toLocal8Bit() + "\nCOM2=/dev/null\n"));
    const CRun refused = RunProgram({QStringLiteral("--save-port"), QStringLiteral("1"), tree.DevRoot()}, env);
    ASSERT_TRUE(refused.bFinished);
    EXPECT_EQ(refused.nExitCode, 2);
    EXPECT_TRUE(refused.strErr.contains(QStringLiteral("not a character device"))) << refused.strErr.toStdString();
    QFile file(tree.ConfigFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "[ports]\nCOM1=" + byId.toLocal8Bit() + "\nCOM2=/dev/null\n");

    const CRun listed = RunProgram({QStringLiteral("--list-ports")}, env);
    ASSERT_TRUE(listed.bFinished);
    EXPECT_EQ(listed.nExitCode, 0);
    EXPECT_TRUE(listed.strOut.contains(
        QStringLiteral("%1 -> %2/ttyUSB0: FTDI FT232R USB UART, serial A12345 (USB 0403:6001); COM1 from configuration")
            .arg(byId, tree.DevRoot())))
        << listed.strOut.toStdString();
    EXPECT_TRUE(listed.strOut.contains(QStringLiteral("/dev/null: ")));
    EXPECT_TRUE(listed.strOut.contains(QStringLiteral("COM2 from configuration")));
    EXPECT_TRUE(listed.strErr.isEmpty()) << listed.strErr.toStdString();

    // An option for this run beats the file; a file that is not INI is ignored with a warning.
    ASSERT_TRUE(tree.WriteFile(tree.ConfigFile(), "[ports\n\x01=\n"));
    const CRun broken = RunProgram(
        {QStringLiteral("--com1"), QStringLiteral("/dev/kova-nothing"), QStringLiteral("--list-ports")}, env);
    ASSERT_TRUE(broken.bFinished);
    EXPECT_EQ(broken.nExitCode, 0);
    EXPECT_EQ(broken.strErr.count(QLatin1Char('\n')), 1) << broken.strErr.toStdString();
    EXPECT_TRUE(broken.strOut.contains(QStringLiteral("/dev/kova-nothing: not present; COM1 from option --com1")));
    EXPECT_TRUE(broken.strOut.contains(QStringLiteral("COM2 from default")));
}

TEST(CommandLineTest, RunsWithoutADisplayTakeTheirOptions)
{
    const CCommandLine run = Parse({QStringLiteral("--permanence-test"), QStringLiteral("--port"), QStringLiteral("2"),
                                    QStringLiteral("--baud"), QStringLiteral("19200"), QStringLiteral("--duration"),
                                    QStringLiteral("1.5h"), QStringLiteral("--report"), QStringLiteral("r.json")});
    EXPECT_EQ(run.action, Action::PermanenceTest);
    EXPECT_EQ(run.nPort, 2);
    EXPECT_EQ(run.nBaud, 19200);
    EXPECT_EQ(run.nDurationMs, 5400000);
    EXPECT_EQ(run.strReportPath, QStringLiteral("r.json"));
    const CCommandLine probe = Parse({QStringLiteral("--probe")});
    EXPECT_EQ(probe.action, Action::Probe);
    EXPECT_EQ(probe.nPort, 1);
    EXPECT_EQ(probe.nBaud, 9600);
    EXPECT_EQ(Parse({QStringLiteral("--permanence-test"), QStringLiteral("--duration=90")}).nDurationMs, 90000);
    EXPECT_EQ(Parse({QStringLiteral("--permanence-test"), QStringLiteral("--duration=15m")}).nDurationMs, 900000);

    for (const QStringList& refused :
         {QStringList{QStringLiteral("--port"), QStringLiteral("2")},
          QStringList{QStringLiteral("--probe"), QStringLiteral("--port"), QStringLiteral("3")},
          QStringList{QStringLiteral("--probe"), QStringLiteral("--baud"), QStringLiteral("4800")},
          QStringList{QStringLiteral("--probe"), QStringLiteral("--duration"), QStringLiteral("5")},
          QStringList{QStringLiteral("--probe"), QStringLiteral("--permanence-test")},
          QStringList{QStringLiteral("--probe"), QStringLiteral("--list-ports")},
          QStringList{QStringLiteral("--permanence-test"), QStringLiteral("--duration"), QStringLiteral("0")},
          QStringList{QStringLiteral("--permanence-test"), QStringLiteral("--duration"), QStringLiteral("5d")},
          QStringList{QStringLiteral("--permanence-test"), QStringLiteral("--duration"), QStringLiteral("-1m")},
          QStringList{QStringLiteral("--probe"), QStringLiteral("--port"), QStringLiteral("1"),
                      QStringLiteral("--port"), QStringLiteral("2")}})
        EXPECT_EQ(Parse(refused).action, Action::Refuse) << refused.join(u' ').toStdString();
    // A refusal says what is wrong with the value, not only that it is wrong.
    for (const auto& [value, why] :
         {std::pair{"0", "no time at all"}, std::pair{"367d", "takes seconds"}, std::pair{"9000h", "more than a year"}})
        EXPECT_TRUE(Parse({QStringLiteral("--permanence-test"), QStringLiteral("--duration"), QLatin1String(value)})
                        .strError.contains(QLatin1String(why)))
            << value;
    EXPECT_TRUE(Parse({QStringLiteral("--com1"), QStringLiteral("a"), QStringLiteral("--com1"), QStringLiteral("b")})
                    .strError.contains(QStringLiteral("--com1 is given more than once")));
}

TEST(CommandLineTest, CheckTakesItsOwnOptionsAndNoOtherRunDoes)
{
    const CCommandLine check =
        Parse(QStringLiteral("--check --port 2 --baud 19200 --serial SN-1 --operator Ann --timeout 5 --seed 42 "
                             "--only keys,lcd,keys --report r.json --junit j.xml")
                  .split(u' '));
    ASSERT_EQ(check.action, Action::Check) << check.strError.toStdString();
    EXPECT_EQ(check.nPort, 2);
    EXPECT_EQ(check.nBaud, 19200);
    EXPECT_EQ(check.strSerial, QStringLiteral("SN-1"));
    EXPECT_EQ(check.strOperator, QStringLiteral("Ann"));
    EXPECT_EQ(check.nTimeoutS, 5);
    EXPECT_EQ(check.seed, 42u);
    EXPECT_EQ(check.checkGroups, (QStringList{QStringLiteral("keys"), QStringLiteral("lcd")}));
    EXPECT_EQ(check.strJunitPath, QStringLiteral("j.xml"));
    EXPECT_EQ(Parse({QStringLiteral("--check")}).nTimeoutS, 30);
    EXPECT_FALSE(Parse({QStringLiteral("--check")}).seed.has_value());

    // What each refusal must name.
    for (const auto& [args, why] : {
             std::pair{"--serial SN-1", "--serial goes with --check"},
             std::pair{"--probe --seed 1", "--seed goes with --check"},
             std::pair{"--permanence-test --junit j.xml", "--junit goes with --check"},
             std::pair{"--check --probe", "--check and --serve go in separate runs"},
             std::pair{"--check --permanence-test", "--check and --serve go in separate runs"},
             std::pair{"--check --list-ports", "--check goes in a run of its own"},
             std::pair{"--check --duration 5", "--duration goes with --permanence-test"},
             std::pair{"--check --timeout 0", "--timeout takes whole seconds"},
             std::pair{"--check --timeout 2.5", "--timeout takes whole seconds"},
             std::pair{"--check --seed -1", "--seed takes a number"},
             std::pair{"--check --seed 4294967296", "--seed takes a number"},
             std::pair{"--check --only keys,buttons", "not 'buttons'"},
             std::pair{"--check --only ,", "--only needs at least one"},
             std::pair{"--check --report -", "--check writes its report to a file"},
             std::pair{"--check --seed 1 --seed 2", "--seed is given more than once"},
         }) {
        ExpectRefused(args, why);
    }
}

TEST(CommandLineTest, PagesTakeTheirOptionsWithTheRunsThatLeaveReports)
{
    const CCommandLine render = Parse(QStringLiteral("--render r.json --html p.html").split(u' '));
    ASSERT_EQ(render.action, Action::Render) << render.strError.toStdString();
    EXPECT_EQ(render.strRenderPath, QStringLiteral("r.json"));
    EXPECT_EQ(render.strHtmlPath, QStringLiteral("p.html"));
    EXPECT_TRUE(Parse(QStringLiteral("--permanence-test --no-html").split(u' ')).bNoHtml);
    EXPECT_EQ(Parse(QStringLiteral("--check --html c.html").split(u' ')).strHtmlPath, QStringLiteral("c.html"));

    for (const auto& [args, why] : {
             std::pair{"--html p.html", "--html goes with --check, --permanence-test or --render"},
             std::pair{"--probe --no-html", "--no-html goes with --check or --permanence-test"},
             std::pair{"--check --html p.html --no-html", "--html and --no-html go in separate runs"},
             std::pair{"--check --render r.json", "--render goes in a run of its own"},
             std::pair{"--render r.json --no-html", "--no-html goes with --check"},
             std::pair{"--check --html -", "--html writes a file"},
         }) {
        ExpectRefused(args, why);
    }
}
