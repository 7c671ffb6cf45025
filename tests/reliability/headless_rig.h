// The rig of the runs without a display: the virtual panel as a child process, and kova_en run
// against it on COM1 with its reports in a temporary folder. Shared by the tests of --probe,
// --permanence-test and --check.
#pragma once

#include "sim_process.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#if !defined(KOVA_SIM_BINARY) || !defined(KOVA_EN_BINARY)
#error "KOVA_SIM_BINARY and KOVA_EN_BINARY must name the programs"
#endif

class HeadlessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_sim.Start(KOVA_SIM_BINARY, SimArgs(), &error)) << error;
    }
    // The virtual panel's options, for a fixture that needs more than a plain panel.
    virtual std::vector<std::string> SimArgs() const { return {}; }

    // Starts kova_en with args on COM1 = the virtual panel, the report into the temporary folder.
    // Variables in env are set (an empty value unsets one); a bash wrapper, when given, runs the
    // program as "$@" (to start it with a signal ignored, or its output into a closed pipe).
    void Start(QStringList args, const QMap<QString, QString>& env = {}, const QString& wrapper = {},
               QProcess* pProgram = nullptr, const CSimProcess* pSim = nullptr)
    {
        QProcess& program = pProgram != nullptr ? *pProgram : m_program;
        const QString port = !m_strPort.isEmpty() && pSim == nullptr
                                 ? m_strPort
                                 : QString::fromStdString((pSim != nullptr ? *pSim : m_sim).LinkPath());
        args << QStringLiteral("--com1") << port;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "KOVA_TRACE", "KOVA_COM1", "KOVA_COM2"})
            environment.remove(QString::fromLatin1(name));
        environment.insert(QStringLiteral("XDG_STATE_HOME"), m_dir.path());
        for (auto it = env.begin(); it != env.end(); ++it) {
            if (it.value().isEmpty())
                environment.remove(it.key());
            else
                environment.insert(it.key(), it.value());
        }
        program.setProcessEnvironment(environment);
        if (wrapper.isEmpty()) {
            program.start(QStringLiteral(KOVA_EN_BINARY), args);
        } else {
            args.prepend(QStringLiteral(KOVA_EN_BINARY));
            program.start(QStringLiteral("bash"),
                          QStringList{QStringLiteral("-c"), wrapper, QStringLiteral("bash")} + args);
        }
        ASSERT_TRUE(program.waitForStarted(10000));
    }
    int Finish(QProcess* pProgram = nullptr)
    {
        QProcess& program = pProgram != nullptr ? *pProgram : m_program;
        if (!program.waitForFinished(60000))
            program.kill();
        m_out = QString::fromLocal8Bit(program.readAllStandardOutput());
        m_err = QString::fromLocal8Bit(program.readAllStandardError());
        return program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
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
        ExpectValidReport({ReportPath()});
        return QJsonDocument::fromJson(file.readAll()).object();
    }
    // Every report a test reads must match the schema of its format (schemas/), which is what
    // a station filing them has to go by.
    static void ExpectValidReport(const QStringList& paths)
    {
#ifdef KOVA_PYTHON
        QProcess check;
        check.start(QStringLiteral(KOVA_PYTHON),
                    QStringList{QStringLiteral(KOVA_VALIDATE_REPORT), QStringLiteral(KOVA_SCHEMA_DIR)} + paths);
        ASSERT_TRUE(check.waitForFinished(60000));
        EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardError().toStdString();
#else
        (void)paths;
#endif
    }
    // The reports a run left in a folder, parsed; a report that is not whole JSON fails.
    static QList<QJsonObject> Reports(const QString& folder)
    {
        QList<QJsonObject> reports;
        QStringList paths;
        for (const QString& name : QDir(folder).entryList({QStringLiteral("*.json")}, QDir::Files))
            paths << folder + QLatin1Char('/') + name;
        if (!paths.isEmpty())
            ExpectValidReport(paths);
        for (const QString& name : QDir(folder).entryList({QStringLiteral("*.json")}, QDir::Files)) {
            QFile file(folder + QLatin1Char('/') + name);
            QJsonParseError error{};
            const QJsonDocument doc =
                file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll(), &error) : QJsonDocument();
            EXPECT_EQ(error.error, QJsonParseError::NoError) << name.toStdString();
            reports << doc.object();
        }
        return reports;
    }
    QString ReportPath() const
    {
        return m_dir.filePath(QStringLiteral("report.json"));
    }
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
    static void After(int nMs)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(nMs));
    }

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
    // COM1 for Start when set (a port URL on a server in front of the panel), else the panel's link.
    QString m_strPort;
    QProcess m_program;
    QString m_out;
    QString m_err;
};
