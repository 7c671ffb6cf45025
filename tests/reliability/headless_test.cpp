// The runs without a display against the virtual panel: the report's counts are the panel's
// own (its refusals, the cell telegrams it took), a lost link is counted and rejoined, the stop
// telegrams come last after SIGINT, and --probe tells found from not found.
#include "sim_process.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#if !defined(KOVA_SIM_BINARY) || !defined(KOVA_EN_BINARY)
#error "KOVA_SIM_BINARY and KOVA_EN_BINARY must name the programs"
#endif

namespace {

class HeadlessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_sim.Start(KOVA_SIM_BINARY, {}, &error)) << error;
    }

    // Starts kova_en with args on COM1 = the virtual panel, the report into the temporary folder.
    void Start(QStringList args)
    {
        args << QStringLiteral("--com1") << QString::fromStdString(m_sim.LinkPath());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "KOVA_TRACE", "KOVA_COM1", "KOVA_COM2"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("XDG_STATE_HOME"), m_dir.path());
        m_program.setProcessEnvironment(env);
        m_program.start(QStringLiteral(KOVA_EN_BINARY), args);
        ASSERT_TRUE(m_program.waitForStarted(10000));
    }
    int Finish()
    {
        if (!m_program.waitForFinished(60000))
            m_program.kill();
        m_out = QString::fromLocal8Bit(m_program.readAllStandardOutput());
        return m_program.exitStatus() == QProcess::NormalExit ? m_program.exitCode() : -1;
    }
    int Run(const QStringList& args)
    {
        Start(args);
        return Finish();
    }
    QJsonObject Report()
    {
        QFile file(ReportPath());
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << m_out.toStdString();
        return QJsonDocument::fromJson(file.readAll()).object();
    }
    QString ReportPath() const { return m_dir.filePath(QStringLiteral("report.json")); }
    QStringList PermTest(const QString& duration) const
    {
        QStringList args{QStringLiteral("--permanence-test"), QStringLiteral("--report"), ReportPath()};
        if (!duration.isEmpty())
            args << QStringLiteral("--duration") << duration;
        return args;
    }
    uint64_t Counter(const char* name)
    {
        const QJsonObject state = QJsonDocument::fromJson(QByteArray::fromStdString(m_sim.State()).mid(6)).object();
        return static_cast<uint64_t>(state[QStringLiteral("counters")][QLatin1String(name)].toInteger());
    }
    // The telegrams the panel took, in order, as hex without blanks.
    QStringList History()
    {
        return QString::fromStdString(m_sim.Reply("history", "HISTORY")).split(u' ', Qt::SkipEmptyParts).mid(1);
    }
    static qint64 CellTelegrams(const QStringList& history)
    {
        return std::count_if(history.begin(), history.end(), [](const QString& t) { return t.startsWith("6C27"); });
    }
    static void After(int nMs) { std::this_thread::sleep_for(std::chrono::milliseconds(nMs)); }

    // A permanence run of `duration` with the panel's console command `on` given two seconds in
    // and `off` nMs later; the run's exit status.
    int RunWithFault(const QString& duration, const std::string& on, const std::string& off, int nMs)
    {
        Start(PermTest(duration));
        After(2000);
        EXPECT_TRUE(m_sim.Command(on));
        After(nMs);
        EXPECT_TRUE(m_sim.Command(off));
        return Finish();
    }
    int RunWithFault(const QString& duration, const std::string& fault, int nMs)
    {
        return RunWithFault(duration, "fault " + fault + " on", "fault " + fault + " off", nMs);
    }

    QTemporaryDir m_dir;
    CSimProcess m_sim;
    QProcess m_program;
    QString m_out;
};

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

TEST_F(HeadlessTest, ProbeTellsFoundFromNotFoundFromPortError)
{
    EXPECT_EQ(Run({QStringLiteral("--probe")}), 0);
    EXPECT_TRUE(m_out.startsWith(QStringLiteral("KOVA found on COM1 (%1) at 9600 Bd: block-check variant 1, "
                                                "selector 1 at ")
                                     .arg(QString::fromStdString(m_sim.LinkPath()))))
        << m_out.toStdString();
    ASSERT_TRUE(m_sim.Command("fault silent on"));
    EXPECT_EQ(Run({QStringLiteral("--probe")}), 1);
    EXPECT_TRUE(m_out.startsWith(QStringLiteral("KOVA not found on COM1"))) << m_out.toStdString();
    EXPECT_EQ(Run({QStringLiteral("--probe"), QStringLiteral("--port"), QStringLiteral("2"), QStringLiteral("--com2"),
                   m_dir.filePath(QStringLiteral("absent"))}),
              2);
    EXPECT_EQ(Run({QStringLiteral("--probe"), QStringLiteral("--baud"), QStringLiteral("300")}), 2);
}

} // namespace
