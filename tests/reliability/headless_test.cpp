// The runs without a display against the virtual panel: the report's counts are the panel's
// own (its refusals, the cell telegrams it took), a lost link is counted and rejoined, the stop
// telegrams come last after SIGINT, and --probe tells found from not found.
#include "headless_rig.h"
#include "scoped_tmpfs.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

TEST_F(HeadlessTest, RefusedCellTelegramsAreCountedExactlyAndFail)
{
    const uint64_t refusedBefore = Counter("refused");
    ASSERT_TRUE(m_sim.Command("clear"));
    EXPECT_EQ(RunWithFault(QStringLiteral("7s"), "nak-block", 500), 1) << m_out.toStdString();

    const QJsonObject r = Report();
    EXPECT_EQ(r["verdict"].toString(), "fail");
    const uint64_t refused = Counter("refused") - refusedBefore;
    EXPECT_GT(refused, 0u);
    EXPECT_EQ(static_cast<uint64_t>(r["sent"]["34"].toInteger()), refused);
    // Every step sent one cell telegram: the panel took it or refused it.
    qint64 refusedCells = 0;
    for (const QJsonValue& e : r["events"].toArray())
        refusedCells += e["result"].toInt() == 34 && e["telegram"].toString().startsWith("6C 27");
    EXPECT_EQ(r["steps"].toInteger(), CellTelegrams(History()) + refusedCells);
}

TEST_F(HeadlessTest, CleanRunStoppedBySigintPassesAndStopsTheTestLast)
{
    ASSERT_TRUE(m_sim.Command("clear"));
    Start(PermTest(QString()));
    // Stopped once the run is well under way, however slowly the machine starts it.
    for (int i = 0; i < 300 && CellTelegrams(History()) < 5; ++i)
        After(50);
    ::kill(static_cast<pid_t>(m_program.processId()), SIGINT);
    EXPECT_EQ(Finish(), 0) << m_out.toStdString();

    const QJsonObject r = Report();
    EXPECT_EQ(r["verdict"].toString(), "pass");
    EXPECT_EQ(r["ended_by"].toString(), "SIGINT");
    EXPECT_EQ(r["sent"]["34"].toInteger() + r["sent"]["255"].toInteger() + r["received"]["255"].toInteger(), 0);
    EXPECT_TRUE(r["events"].toArray().isEmpty());
    const QStringList history = History();
    EXPECT_GT(r["steps"].toInteger(), 0);
    EXPECT_EQ(r["steps"].toInteger(), CellTelegrams(history));
    ASSERT_GE(history.size(), 2);
    EXPECT_EQ(history.mid(history.size() - 2), (QStringList{"6C2B25", "40"}));
    for (const char* key : {"verdict", "steps", "sent", "received", "link_losses", "reconnects", "events", "port",
                            "device", "baud", "variant", "started", "ended", "duration_s"})
        EXPECT_TRUE(r.contains(QLatin1String(key))) << key;
    EXPECT_EQ(r["device"].toString().toStdString(), m_sim.LinkPath());
}

TEST_F(HeadlessTest, PanelSilentOrUnpluggedForAWhileIsLostRejoinedAndTheRunGoesOn)
{
    // A panel that stops answering (a time-out closes the link) and one whose line goes away
    // (a hang-up, then no device until it is plugged in again, as a power-cycled panel in a rack).
    const std::pair<std::string, std::string> spells[] = {{"fault silent on", "fault silent off"},
                                                          {"unplug", "replug"}};
    for (const auto& [on, off] : spells) {
        SCOPED_TRACE(on);
        EXPECT_EQ(RunWithFault(QStringLiteral("12s"), on, off, 2000), 1) << m_out.toStdString();

        const QJsonObject r = Report();
        EXPECT_EQ(r["verdict"].toString(), "fail");
        EXPECT_EQ(r["link_losses"].toInt(), 1);
        EXPECT_EQ(r["reconnects"].toInt(), 1);
        const QJsonArray events = r["events"].toArray();
        ASSERT_FALSE(events.isEmpty());
        // Steps went on after the reconnect.
        EXPECT_GT(r["steps"].toInteger(), events.last()["step"].toInteger());
    }
}

// A panel that stalls for good: every reconnect finds it and loses it again, so the run counts
// the losses and never a rejoin, and its steps stop where the stall began.
TEST_F(HeadlessTest, APanelFoundButLostAgainIsNoReconnect)
{
    EXPECT_EQ(RunWithFault(QStringLiteral("9s"), "fault stall on", "fault stall off", 8000), 1) << m_out.toStdString();
    const QJsonObject r = Report();
    EXPECT_EQ(r["reconnects"].toInt(), 0);
    EXPECT_GE(r["reconnect_attempts"].toInt(), 1);
    EXPECT_GE(r["link_losses"].toInt(), 1 + r["reconnect_attempts"].toInt());
}

TEST_F(HeadlessTest, ProbeTellsFoundFromNotFoundFromPortError)
{
    EXPECT_EQ(Run({QStringLiteral("--probe")}), 0);
    EXPECT_TRUE(m_out.startsWith(QStringLiteral("KOVA found on COM1 (%1) at 9600 Bd: block-check variant 1, "
                                                "selector 1 at ")
                                     .arg(QString::fromStdString(m_sim.LinkPath()))))
        << m_out.toStdString();
    // A panel that answers "#" and then stalls in the middle of its reply is found, but the link
    // is down again before the connect is through: that is no panel to test with.
    ASSERT_TRUE(m_sim.Command("fault stall on"));
    EXPECT_EQ(Run({QStringLiteral("--probe")}), 1);
    EXPECT_TRUE(m_out.contains(QStringLiteral("lost again"))) << m_out.toStdString();
    ASSERT_TRUE(m_sim.Command("fault stall off"));
    ASSERT_TRUE(m_sim.Command("fault silent on"));
    EXPECT_EQ(Run({QStringLiteral("--probe")}), 1);
    EXPECT_TRUE(m_out.startsWith(QStringLiteral("KOVA not found on COM1"))) << m_out.toStdString();
    EXPECT_EQ(Run({QStringLiteral("--probe"), QStringLiteral("--port"), QStringLiteral("2"), QStringLiteral("--com2"),
                   m_dir.filePath(QStringLiteral("absent"))}),
              2);
    EXPECT_EQ(Run({QStringLiteral("--probe"), QStringLiteral("--baud"), QStringLiteral("300")}), 2);
}

// Wherever the report could not go, the run says why before it opens the port, and whatever
// is there stays as it was: a FIFO is not waited on, a device node not replaced.
TEST_F(HeadlessTest, UnusableReportTargetsAreRefusedBeforeThePortOpens)
{
    const QString d = m_dir.path() + QLatin1Char('/');
    ASSERT_EQ(::mkfifo(QFile::encodeName(d + "fifo").constData(), 0600), 0);
    const bool bNode = ::mknod(QFile::encodeName(d + "node").constData(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    ASSERT_EQ(::symlink("fifo", QFile::encodeName(d + "to-fifo").constData()), 0);
    ASSERT_TRUE(QDir().mkpath(d + "folder"));
    QFile stateFile(d + "state-file");
    ASSERT_TRUE(stateFile.open(QIODevice::WriteOnly));
    const CScopedTmpfs readOnly((d + "ro").toStdString(), 64, true);
    ASSERT_TRUE(m_sim.Command("clear"));

    struct Case {
        QString report;
        QMap<QString, QString> env;
        const char* why;
    };
    QList<Case> cases{{d + "fifo", {}, "is a FIFO"},
                      {d + "to-fifo", {}, "is a link to"},
                      {d + "folder", {}, "is a folder"},
                      {{}, {{"XDG_STATE_HOME", d + "state-file"}}, "Not a directory"},
                      {{}, {{"XDG_STATE_HOME", ""}, {"HOME", ""}}, "--report FILE"}};
    if (bNode)
        cases.append({d + "node", {}, "is a device node"});
    if (readOnly.Mounted())
        cases.append({d + "ro/r.json", {}, "Read-only file system"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        QStringList args{QStringLiteral("--permanence-test"), QStringLiteral("--duration"), QStringLiteral("1")};
        if (!c.report.isEmpty())
            args << QStringLiteral("--report") << c.report;
        Start(args, c.env);
        EXPECT_EQ(Finish(), 2);
        EXPECT_TRUE(m_err.contains(QLatin1String(c.why))) << m_err.toStdString();
    }
    EXPECT_TRUE(History().isEmpty()); // not one telegram: the port was never opened
    struct stat st {};
    EXPECT_TRUE(::stat(QFile::encodeName(d + "fifo").constData(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(!bNode || (::stat(QFile::encodeName(d + "node").constData(), &st) == 0 && S_ISCHR(st.st_mode)));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/.local/state/kova_en")));
}

// The disk fills up during the run: the old report stays whole, and the new one goes to the
// runtime folder, with exit 2 and both said on standard error.
TEST_F(HeadlessTest, AReportThatNoLongerFitsGoesToTheRuntimeFolder)
{
    const QString disk = m_dir.path() + QStringLiteral("/disk");
    const CScopedTmpfs tmpfs(disk.toStdString(), 64);
    if (!tmpfs.Mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    QFile old(disk + QStringLiteral("/r.json"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly) && old.write("{\"old\": true}\n") > 0);
    old.close();
    const QString runtime = m_dir.path() + QStringLiteral("/runtime");
    ASSERT_TRUE(QDir().mkpath(runtime));

    Start({QStringLiteral("--permanence-test"), QStringLiteral("--duration"), QStringLiteral("3"),
           QStringLiteral("--report"), old.fileName()},
          {{QStringLiteral("XDG_RUNTIME_DIR"), runtime}});
    After(1000);
    QFile fill(disk + QStringLiteral("/fill"));
    ASSERT_TRUE(fill.open(QIODevice::WriteOnly));
    while (fill.write(QByteArray(4096, 'x')) > 0 && fill.flush()) {
    }
    fill.close();
    EXPECT_EQ(Finish(), 2) << m_err.toStdString();

    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    EXPECT_EQ(old.readAll(), "{\"old\": true}\n");
    const QList<QJsonObject> reports = Reports(runtime);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_EQ(reports[0]["format"].toString(), "kova_en-permanence/1");
    EXPECT_EQ(reports[0]["verdict"].toString(), "pass");
    EXPECT_TRUE(m_err.contains(QLatin1String("No space left on device"))) << m_err.toStdString();
    EXPECT_TRUE(m_err.contains(runtime)) << m_err.toStdString();
}

// A hang-up, a SIGINT its starter ignored followed by SIGTERM, standard output and error into a
// pipe nobody reads, one SIGTERM delivered twice (as a process group's kill does) and a second
// request (SIGINT, then SIGTERM): each run ends with its report whole, or (the second request,
// which ends the program at once) at worst with none, never with half of one.
TEST_F(HeadlessTest, EveryWayARunEndsLeavesItsReport)
{
    struct Case {
        const char* name;
        QString wrapper;
        std::vector<int> stops;
        int nGapMs; // between two signals
        int nExit;
        const char* endedBy; // nullptr: the report may be missing
    };
    const Case cases[] = {
        {"hang-up", {}, {SIGHUP}, 0, 0, "SIGHUP"},
        {"SIGINT ignored by the starter",
         QStringLiteral("trap '' INT; exec \"$@\""),
         {SIGINT, SIGTERM},
         500,
         0,
         "SIGTERM"},
        {"closed pipe", QStringLiteral("\"$@\" 2>&1 | true; exit ${PIPESTATUS[0]}"), {}, 0, 2, "duration"},
        {"one SIGTERM delivered twice", {}, {SIGTERM, SIGTERM}, 0, 0, "SIGTERM"},
        {"a second request", {}, {SIGINT, SIGTERM}, 0, -2, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(ReportPath());
        ASSERT_TRUE(m_sim.Command("clear"));
        Start(PermTest(c.stops.empty() ? QStringLiteral("3") : QString()), {}, c.wrapper);
        for (int i = 0; i < 300 && CellTelegrams(History()) < 3; ++i)
            After(50);
        for (size_t i = 0; i < c.stops.size(); ++i) {
            After(i == 0 ? 0 : c.nGapMs);
            ::kill(static_cast<pid_t>(m_program.processId()), c.stops[i]);
        }
        const int nExit = Finish();
        if (c.nExit >= 0) {
            EXPECT_EQ(nExit, c.nExit) << m_err.toStdString();
        }
        if (c.endedBy != nullptr) {
            EXPECT_EQ(Report()["ended_by"].toString(), QLatin1String(c.endedBy));
        }
        EXPECT_LE(Reports(m_dir.path()).size(), 1);
        EXPECT_TRUE(QDir(m_dir.path()).entryList({QStringLiteral(".kova_en-*")}, QDir::Hidden | QDir::Files).isEmpty());
    }
}

// A rack starts runs on the same port name in the same moment: each keeps its own report.
TEST_F(HeadlessTest, RunsStartedTogetherKeepAReportEach)
{
    CSimProcess otherSim;
    std::string error;
    ASSERT_TRUE(otherSim.Start(KOVA_SIM_BINARY, {}, &error)) << error;
    QProcess other;
    const QStringList args{QStringLiteral("--permanence-test"), QStringLiteral("--duration"), QStringLiteral("2")};
    Start(args);
    Start(args, {}, {}, &other, &otherSim);
    EXPECT_EQ(Finish(&other), 0) << m_err.toStdString();
    EXPECT_EQ(Finish(), 0) << m_err.toStdString();
    const QList<QJsonObject> reports = Reports(m_dir.path() + QStringLiteral("/kova_en"));
    ASSERT_EQ(reports.size(), 2);
    EXPECT_NE(reports[0]["device"], reports[1]["device"]);
}

TEST_F(HeadlessTest, ReportDashGoesToStandardOutput)
{
    Start({QStringLiteral("--permanence-test"), QStringLiteral("--duration"), QStringLiteral("1"),
           QStringLiteral("--report"), QStringLiteral("-")});
    EXPECT_EQ(Finish(), 0) << m_err.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(m_out.toUtf8()).object()["format"].toString(), "kova_en-permanence/1");
    EXPECT_TRUE(m_err.startsWith(QStringLiteral("Permanence test on COM1"))) << m_err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("-")));
}

// The machine interface as a script meets it: a panel not found leaves it up for a later
// connect, a signal ends it cleanly, a port error and a reader that went away end it with 2.
TEST_F(HeadlessTest, ServeStaysUpWithoutAPanelAndEndsCleanly)
{
    // The next line the program writes.
    const auto nextLine = [this] {
        for (int i = 0; i < 200 && !m_program.canReadLine(); ++i)
            m_program.waitForReadyRead(100);
        return QJsonDocument::fromJson(m_program.readLine()).object();
    };
    ASSERT_TRUE(m_sim.Command("fault silent on"));
    Start({QStringLiteral("--serve")});
    EXPECT_EQ(nextLine()["found"], false);
    ASSERT_TRUE(m_sim.Command("fault silent off"));
    m_program.write("{\"id\":7,\"cmd\":\"connect\"}\n");
    QJsonObject reply;
    for (int i = 0; i < 5 && !reply.contains(QStringLiteral("id")); ++i)
        reply = nextLine();
    EXPECT_EQ(reply["ok"], true);
    ::kill(static_cast<pid_t>(m_program.processId()), SIGTERM);
    EXPECT_EQ(Finish(), 0) << m_err.toStdString();

    // A port that is missing, and one that opens but cannot be set up (a regular file): the
    // hello says why, then the exit with 2.
    QFile plain(m_dir.filePath(QStringLiteral("plain")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    for (const QString& device : {m_dir.filePath(QStringLiteral("absent")), plain.fileName()}) {
        Start({QStringLiteral("--serve"), QStringLiteral("--port"), QStringLiteral("2"), QStringLiteral("--com2"),
               device});
        EXPECT_TRUE(nextLine().contains(QStringLiteral("error"))) << device.toStdString();
        EXPECT_EQ(Finish(), 2);
    }

    Start({QStringLiteral("--serve")}, {}, QStringLiteral("\"$@\" | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}"));
    After(500);
    m_program.write("{\"cmd\":\"state\"}\n{\"cmd\":\"state\"}\n");
    EXPECT_EQ(Finish(), 2) << m_err.toStdString();
}

// A reader that stops reading holds nothing up: a stop signal ends the program at once with 0,
// and a reader left 8 MiB behind is taken as gone (2, and a word on standard error). A read
// error on standard input is no clean end of it either.
TEST_F(HeadlessTest, ServeNeverWaitsForItsReader)
{
    // Standard output into a FIFO that the program itself holds open for reading and never reads.
    const QString fifo = m_dir.filePath(QStringLiteral("out"));
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const QMap<QString, QString> env{{QStringLiteral("KOVA_TEST_FIFO"), fifo}};
    const QString unread = QStringLiteral("exec 3<>\"$KOVA_TEST_FIFO\"; exec \"$@\" >&3");
    const auto states = [](int n) {
        QByteArray lines;
        for (int i = 0; i < n; ++i)
            lines += "{\"cmd\":\"state\",\"id\":1}\n";
        return lines;
    };
    Start({QStringLiteral("--serve")}, env, unread);
    m_program.write(states(2000)); // half a MiB of replies, far more than the pipe holds
    m_program.waitForBytesWritten(10000);
    After(1000);
    ::kill(static_cast<pid_t>(m_program.processId()), SIGTERM);
    EXPECT_EQ(Finish(), 0) << m_err.toStdString();

    Start({QStringLiteral("--serve")}, env, unread);
    m_program.write(states(60000));
    EXPECT_EQ(Finish(), 2);
    EXPECT_TRUE(m_err.contains(QStringLiteral("8 MiB behind"))) << m_err.toStdString();

    Start({QStringLiteral("--serve")}, {}, QStringLiteral("exec \"$@\" </"));
    EXPECT_EQ(Finish(), 2);
    EXPECT_TRUE(m_err.contains(QStringLiteral("standard input could not be read"))) << m_err.toStdString();
}

} // namespace
