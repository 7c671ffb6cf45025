// A stop is at once: --serve against the virtual panel paced as a 9600 Bd line, stopped while a
// batch of commands is being carried out, while a wait is pending and while its reader is slow;
// and the double SIGTERM of timeout, taken as one request.
#include "headless_rig.h"

#include <QDeadlineTimer>
#include <QJsonArray>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class ServeStopTest : public HeadlessTest {
protected:
    std::vector<std::string> SimArgs() const override { return {"--baud", "9600"}; }

    // The next line the program writes, read within the deadline.
    QByteArray NextLine(int nDeadlineMs = 20000)
    {
        const QDeadlineTimer deadline(nDeadlineMs);
        while (!m_program.canReadLine() && !deadline.hasExpired())
            m_program.waitForReadyRead(100);
        return m_program.readLine();
    }
    static QJsonObject Json(const QByteArray& line) { return QJsonDocument::fromJson(line).object(); }
    // The one-byte telegrams (LEDs) the panel took since its history was cleared.
    int LedTelegrams()
    {
        const QStringList history = History();
        return static_cast<int>(
            std::count_if(history.begin(), history.end(), [](const QString& t) { return t.size() == 2; }));
    }
};

// 1,500 LED commands in one write, some 12 s of line time: SIGTERM after the first replies ends
// the batch at the line on the wire. Every telegram the panel took has its reply, and no more
// went out than were answered.
TEST_F(ServeStopTest, AStopDuringABatchEndsItAtTheLineOnTheWire)
{
    Start({QStringLiteral("--serve")});
    ASSERT_EQ(Json(NextLine())["link"], true);
    ASSERT_TRUE(m_sim.Command("clear"));
    QByteArray batch;
    for (int i = 0; i < 1500; ++i)
        batch += QStringLiteral(R"({"id":%1,"cmd":"led","key":%2,"state":"%3"})"
                                "\n")
                     .arg(i)
                     .arg(1 + i % 12)
                     .arg(i % 2 == 0 ? QStringLiteral("on") : QStringLiteral("off"))
                     .toUtf8();
    m_program.write(batch);
    int nReplies = 0;
    while (nReplies < 20 && Json(NextLine())["ok"] == true)
        ++nReplies;
    ASSERT_EQ(nReplies, 20) << "the batch is not being carried out";
    ::kill(static_cast<pid_t>(m_program.processId()), SIGTERM);
    EXPECT_EQ(Finish(), 0) << m_err.toStdString();
    nReplies += static_cast<int>(m_out.count(QStringLiteral("\"ok\":true")));
    EXPECT_LT(nReplies, 1500) << "the whole batch was carried out after the stop";
    EXPECT_EQ(LedTelegrams(), nReplies);
}

// A pending wait is answered when the run stops, and a reader that takes its lines slowly still
// gets every line queued before the stop, the wait's answer last.
TEST_F(ServeStopTest, AStopAnswersThePendingWaitsAsFarAsASlowReaderTakesThem)
{
    Start({QStringLiteral("--serve")});
    ASSERT_EQ(Json(NextLine())["link"], true);
    m_program.write(R"({"id":"w","cmd":"wait","for":"key","value":12,"timeout_ms":600000})"
                    "\n"
                    R"({"id":"s","cmd":"state"})"
                    "\n");
    ASSERT_EQ(Json(NextLine())["id"], QStringLiteral("s")); // the wait before it was taken
    ::kill(static_cast<pid_t>(m_program.processId()), SIGTERM);
    EXPECT_EQ(Finish(), 0) << m_err.toStdString();
    const QJsonObject answer = Json(m_out.toUtf8().trimmed());
    EXPECT_EQ(answer["id"], QStringLiteral("w")) << m_out.toStdString();
    EXPECT_EQ(answer["error"], QStringLiteral("the session ended before the panel reported it"));

    // Standard output into a FIFO that this test reads 16 KiB at a time, 100 reads a second:
    // 1,000 replies (a quarter MiB, far more than the pipe holds) are queued ahead of the wait's
    // answer when the stop comes.
    const QString fifo = m_dir.filePath(QStringLiteral("out"));
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const int fd = ::open(fifo.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    Start({QStringLiteral("--serve")}, {{QStringLiteral("KOVA_TEST_FIFO"), fifo}},
          QStringLiteral("exec \"$@\" >\"$KOVA_TEST_FIFO\""));
    QByteArray out;
    const auto readSome = [&] {
        char buffer[16 * 1024];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            out.append(buffer, n);
        return n;
    };
    const QDeadlineTimer hello(20000);
    while (!out.contains("\n") && !hello.hasExpired()) {
        readSome();
        After(10);
    }
    ASSERT_TRUE(out.contains("\"link\":true")) << out.toStdString();
    ASSERT_TRUE(m_sim.Command("clear"));
    QByteArray lines = R"({"id":"w","cmd":"wait","for":"key","value":12,"timeout_ms":600000})"
                       "\n";
    for (int i = 0; i < 1000; ++i)
        lines += R"({"id":1,"cmd":"state"})"
                 "\n";
    // Last, a telegram: once the panel has it, every line before it was carried out.
    lines += R"({"id":"led","cmd":"led","key":5,"state":"on"})"
             "\n";
    m_program.write(lines);
    m_program.waitForBytesWritten(10000);
    const QDeadlineTimer carriedOut(20000);
    while (History().isEmpty() && !carriedOut.hasExpired())
        After(20);
    ASSERT_FALSE(History().isEmpty()) << "the batch was not carried out";
    ::kill(static_cast<pid_t>(m_program.processId()), SIGTERM);
    const QDeadlineTimer drained(20000);
    while (readSome() != 0 && !drained.hasExpired())
        After(10);
    ::close(fd);
    EXPECT_EQ(Finish(), 0) << m_err.toStdString();
    EXPECT_EQ(out.count("\"id\":1,"), 1000);
    EXPECT_TRUE(out.contains(R"({"id":"led","ok":true)"));
    EXPECT_TRUE(
        out.trimmed().endsWith(R"({"id":"w","ok":false,"error":"the session ended before the panel reported it"})"))
        << out.right(200).toStdString();
}

// timeout passes a SIGTERM on to the program and then to its whole process group: one request,
// whose report the run leaves, however the two signals meet. (Sent to timeout once the run is
// under way, rather than on timeout's own clock, so that a slow start cannot change the case.)
TEST_F(ServeStopTest, TimeoutsDoubleSigtermIsOneRequest)
{
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        QFile::remove(ReportPath());
        ASSERT_TRUE(m_sim.Command("clear"));
        Start(PermTest({}), {}, QStringLiteral("exec timeout -s TERM 600 \"$@\""));
        for (int j = 0; j < 300 && CellTelegrams(History()) < 3; ++j)
            After(50);
        ::kill(static_cast<pid_t>(m_program.processId()), SIGTERM);
        EXPECT_EQ(Finish(), 0) << m_err.toStdString();
        EXPECT_EQ(Report()["ended_by"].toString(), QStringLiteral("SIGTERM"));
    }
}

} // namespace
