// The panel check as a process against the virtual panel's operator: a sound panel passes all
// nineteen items (each fault of the operator's panel is a row of the in-process table in
// tests/panel/check_dialogue_test.cpp), a signal or timeout leaves the panel dark and a report
// that says so (a lost link and its reconnect are in-process rows too), and what cannot start
// says why before anything goes on the line.
#include "headless_rig.h"

#include <QJsonArray>

#include <csignal>
#include <map>

namespace {

class PanelCheckTest : public HeadlessTest {
protected:
    std::vector<std::string> SimArgs() const override { return {"--operator"}; }

    // Short prompts, so a fault that makes the check wait costs seconds, not minutes.
    QStringList Check(const QStringList& extra = {}) const
    {
        return QStringList{QStringLiteral("--check"), QStringLiteral("--timeout"), QStringLiteral("4"),
                           QStringLiteral("--seed"),  QStringLiteral("11"),        QStringLiteral("--serial"),
                           QStringLiteral("SN-7"),    QStringLiteral("--report"),  ReportPath()}
               + extra;
    }
    static std::map<QString, QJsonObject> Items(const QJsonObject& report)
    {
        std::map<QString, QJsonObject> items;
        for (const QJsonValue& item : report[QStringLiteral("items")].toArray())
            items[item[QStringLiteral("name")].toString()] = item.toObject();
        return items;
    }
    // Row n (1 to 8) of the panel's LCD as it stands, blanks at the end taken off.
    QString LcdRow(int n)
    {
        const QJsonObject state = QJsonDocument::fromJson(QByteArray::fromStdString(m_sim.State()).mid(6)).object();
        return state[QStringLiteral("lcd")][n - 1].toString().trimmed();
    }
};

TEST_F(PanelCheckTest, SoundPanelPassesEveryItemAndTheSeedRepeatsTheOrder)
{
    const QString junit = m_dir.filePath(QStringLiteral("check.xml"));
    ASSERT_EQ(Run(Check({QStringLiteral("--junit"), junit, QStringLiteral("--operator"), QStringLiteral("Ann")})), 0)
        << m_out.toStdString() << m_err.toStdString();
    const QJsonObject r = Report();
    EXPECT_EQ(r["format"].toString(), "kova_en-check/1");
    EXPECT_EQ(r["outcome"].toString(), "pass");
    EXPECT_EQ(r["serial"].toString(), "SN-7");
    EXPECT_EQ(r["operator"].toString(), "Ann");
    EXPECT_EQ(r["seed"].toInteger(), 11);
    EXPECT_EQ(r["device"].toString().toStdString(), m_sim.LinkPath());
    for (const char* key : {"program", "version", "station", "port", "baud", "variant", "started", "ended"})
        EXPECT_TRUE(r.contains(QLatin1String(key))) << key;
    const auto items = Items(r);
    ASSERT_EQ(items.size(), 19u);
    for (const auto& [name, item] : items) {
        EXPECT_EQ(item["outcome"].toString(), "pass") << name.toStdString();
        if (!name.startsWith(QStringLiteral("key ")))
            continue;
        // The operator presses 150 ms after the LED and holds 100 ms; the line adds little.
        EXPECT_GE(item["press_ms"].toInteger(), 100) << name.toStdString();
        EXPECT_NEAR(static_cast<double>(item["held_ms"].toInteger()), 100.0, 60.0) << name.toStdString();
        EXPECT_EQ(item["presses"].toInt(), 1);
    }
    EXPECT_EQ(items.at("selector 2")["positions_seen"].toArray().size(), 12);
    EXPECT_EQ(items.at("lcd")["answer"].toString(), "yes");
    EXPECT_TRUE(m_out.contains(QStringLiteral("\nPASSED\n"))) << m_out.toStdString();
    EXPECT_EQ(LcdRow(3), "PASSED");

    // The JUnit file: one suite, one case per item, none failed, the seed among the properties.
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sys, xml.etree.ElementTree as E; s = E.parse(sys.argv[1]).getroot(); "
                                 "p = {e.get('name'): e.get('value') for e in s.iter('property')}; "
                                 "print(s.tag, s.get('name'), len(s.findall('testcase')), "
                                 "len(s.findall('testcase/failure')), p['seed'], p['serial'], p['operator'])"),
                  junit});
    ASSERT_TRUE(python.waitForFinished(30000));
    EXPECT_EQ(QString::fromUtf8(python.readAllStandardOutput()).trimmed(), "testsuite panel check 19 0 11 SN-7 Ann");
}

TEST_F(PanelCheckTest, SignalDuringTheKeysLeavesThePanelDarkAndTheRestNotRun)
{
    ASSERT_TRUE(m_sim.Command("clear"));
    Start(Check());
    // Stopped once the keys are under way, however slowly the machine starts the program.
    for (int i = 0; i < 400 && LcdRow(3) != "PRESS THE KEY"; ++i)
        After(25);
    After(300);
    ::kill(static_cast<pid_t>(m_program.processId()), SIGINT);
    EXPECT_EQ(Finish(), 3) << m_out.toStdString();

    const QJsonObject r = Report();
    EXPECT_EQ(r["outcome"].toString(), "aborted");
    QStringList outcomes;
    for (const QJsonValue& v : r["items"].toArray())
        outcomes << v["outcome"].toString();
    EXPECT_EQ(outcomes.first(), "pass");
    const qsizetype firstNotRun = outcomes.indexOf(QStringLiteral("not run"));
    ASSERT_GT(firstNotRun, 0);
    EXPECT_LE(firstNotRun, 12) << "the signal came during the keys";
    EXPECT_EQ(outcomes.mid(firstNotRun).count(QStringLiteral("not run")), outcomes.size() - firstNotRun);
    // All LEDs off, then the LCD emptied: "l+%" and eight blank rows.
    const QStringList history = History();
    ASSERT_GE(history.size(), 10);
    EXPECT_EQ(history.mid(history.size() - 10, 2), (QStringList{"40", "6C2B25"}));
    EXPECT_EQ(LcdRow(1), "");
}

// GNU timeout sends its SIGTERM to the program and then to the program's process group: the
// one request must still leave the report (and the check's JUnit file), not end the run bare.
TEST_F(PanelCheckTest, RunsBoundedByTimeoutKeepTheirReports)
{
    Start(PermTest(QString()), {}, QStringLiteral("exec timeout 3 \"$@\""));
    EXPECT_EQ(Finish(), 124) << m_err.toStdString();
    EXPECT_EQ(Report()["ended_by"].toString(), "SIGTERM");

    QFile::remove(ReportPath());
    const QString junit = m_dir.filePath(QStringLiteral("check.xml"));
    Start(Check({QStringLiteral("--junit"), junit}), {}, QStringLiteral("exec timeout 5 \"$@\""));
    EXPECT_EQ(Finish(), 124) << m_err.toStdString();
    EXPECT_EQ(Report()["outcome"].toString(), "aborted");
    EXPECT_EQ(Report()["reason"].toString(), "ended by SIGTERM");
    EXPECT_TRUE(QFileInfo(junit).size() > 0) << m_out.toStdString();
}

// On a terminal a "y" typed before the question (during the keys, by a nervous hand) is no
// answer to it: the operator's "no" on the panel is.
TEST_F(PanelCheckTest, AnAnswerTypedBeforeTheQuestionIsNoAnswer)
{
    ASSERT_TRUE(m_sim.Command("operator fault answer-no 1"));
    // The check on a pseudo-terminal whose input holds "y" from the start.
    const QString terminal = QStringLiteral("import os, pty, sys\n"
                                            "pid, fd = pty.fork()\n"
                                            "if pid == 0:\n"
                                            "    os.execv(sys.argv[1], sys.argv[1:])\n"
                                            "os.write(fd, b'y\\n')\n"
                                            "while True:\n"
                                            "    try:\n"
                                            "        data = os.read(fd, 4096)\n"
                                            "    except OSError:\n"
                                            "        break\n"
                                            "    if not data:\n"
                                            "        break\n"
                                            "    os.write(1, data)\n"
                                            "sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))\n");
    Start(Check({QStringLiteral("--only"), QStringLiteral("lamps")}), {{QStringLiteral("KOVA_TEST_PTY"), terminal}},
          QStringLiteral("exec python3 -c \"$KOVA_TEST_PTY\" \"$@\""));
    EXPECT_EQ(Finish(), 1) << m_out.toStdString();
    EXPECT_EQ(Items(Report()).at("lamps on")["answer"].toString(), "no");
}

TEST_F(PanelCheckTest, WhatCannotStartSaysWhy)
{
    // The report's place is checked before the port opens: nothing goes on the line.
    ASSERT_TRUE(m_sim.Command("clear"));
    EXPECT_EQ(Run({QStringLiteral("--check"), QStringLiteral("--report"), m_dir.path()}), 2);
    EXPECT_TRUE(m_err.contains(QStringLiteral("the report cannot be written"))) << m_err.toStdString();
    EXPECT_TRUE(History().isEmpty());

    // A panel that does not answer: outcome "error" and every item not run.
    ASSERT_TRUE(m_sim.Command("fault silent on"));
    EXPECT_EQ(Run(Check()), 1) << m_out.toStdString();
    const QJsonObject r = Report();
    EXPECT_EQ(r["outcome"].toString(), "error");
    EXPECT_TRUE(r["reason"].toString().contains(QStringLiteral("not found"))) << r["reason"].toString().toStdString();
    for (const auto& [name, item] : Items(r))
        EXPECT_EQ(item["outcome"].toString(), "not run") << name.toStdString();
}

} // namespace
