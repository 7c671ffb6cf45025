// --help and --version answer and end; anything else the program refuses, before any window.

#include "command_line.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

namespace {

CCommandLine Early(std::vector<const char*> args)
{
    args.insert(args.begin(), "kova_en");
    return ParseEarlyArguments(static_cast<int>(args.size()), args.data());
}

struct CRun {
    int nExitCode = -1;
    bool bFinished = false;
    QString strOut;
    QString strErr;
};

CRun RunProgram(const QStringList& args)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
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

TEST(CommandLineTest, EarlyArguments)
{
    EXPECT_EQ(Early({}).action, CCommandLine::Action::Run);
    EXPECT_EQ(Early({"--help"}).action, CCommandLine::Action::Help);
    EXPECT_EQ(Early({"--version"}).action, CCommandLine::Action::Version);
    // Help and version answer whatever else stands beside them.
    EXPECT_EQ(Early({"--bogus", "--version"}).action, CCommandLine::Action::Version);
    // Anything else waits for the window system to take its own options first.
    EXPECT_EQ(Early({"--bogus"}).action, CCommandLine::Action::Run);
    EXPECT_EQ(Early({"--helpme"}).action, CCommandLine::Action::Run);
}

TEST(CommandLineTest, RemainingArgumentsAreRefused)
{
    EXPECT_EQ(CheckRemainingArguments({}).action, CCommandLine::Action::Run);
    const CCommandLine refused = CheckRemainingArguments({"--bogus", "more"});
    EXPECT_EQ(refused.action, CCommandLine::Action::Refuse);
    EXPECT_EQ(refused.strOffending, "--bogus");
    EXPECT_EQ(CheckRemainingArguments({""}).action, CCommandLine::Action::Refuse);
    EXPECT_EQ(CheckRemainingArguments({"COM2"}).action, CCommandLine::Action::Refuse);
}

TEST(CommandLineTest, ProgramPrintsVersionAndHelp)
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
}

TEST(CommandLineTest, ProgramRefusesUnknownArgument)
{
    const CRun run = RunProgram({QStringLiteral("--bogus")});
    ASSERT_TRUE(run.bFinished);
    EXPECT_EQ(run.nExitCode, 2);
    EXPECT_TRUE(run.strErr.contains(QString::fromLatin1(UsageLine())));
    EXPECT_TRUE(run.strErr.contains(QStringLiteral("--bogus")));
    EXPECT_TRUE(run.strOut.isEmpty());

    // The window system's own options are taken by it; what is left is still refused.
    const CRun mixed = RunProgram({QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("extra")});
    ASSERT_TRUE(mixed.bFinished);
    EXPECT_EQ(mixed.nExitCode, 2);
    EXPECT_TRUE(mixed.strErr.contains(QStringLiteral("extra")));
}
