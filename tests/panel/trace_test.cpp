// The traffic trace: what a line says about a sent and a received block, where it goes, and
// that nothing is traced unless asked for.
#include "link_test_util.h"
#include "link_trace.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

QStringList ReadLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

TEST(LinkTraceFormat, SentAndReceivedLinesCarryDirectionHexTextAndResult)
{
    const uint8_t identify[] = {0x23};
    EXPECT_EQ(CLinkTrace::FormatLine("TX/1", identify, 1, 0), QStringLiteral("TX/1 [23] \"#\" result=0"));

    const uint8_t reply[] = {0x4B, 0x41, 0x51};
    EXPECT_EQ(CLinkTrace::FormatLine("RX  ", reply, 3, 0), QStringLiteral("RX   [4B 41 51] \"KAQ\" result=0"));

    // Bytes outside printable ASCII show as dots, and the hex keeps every byte.
    const uint8_t row[] = {0x6C, 0x26, 0xA1, 0x91, 0x23, 0x00, 0x10};
    EXPECT_EQ(CLinkTrace::FormatLine("TX/0", row, 7, 255),
              QStringLiteral("TX/0 [6C 26 A1 91 23 00 10] \"l&..#..\" result=255"));

    EXPECT_EQ(CLinkTrace::FormatLine("RX  ", nullptr, 0, 34), QStringLiteral("RX   [] \"\" result=34"));
}

class LinkTraceToFile : public OpenLinkTest {
protected:
    QTemporaryDir m_dir;
    QString Path() const { return m_dir.filePath(QStringLiteral("trace.log")); }
};

TEST_F(LinkTraceToFile, EveryExchangeWritesOneStampedLine)
{
    ASSERT_TRUE(m_dir.isValid());
    CLinkTrace trace(m_clock, Path());
    ASSERT_TRUE(trace.IsOpen());
    m_link.SetObserver(&trace);

    // "#" in variant 1, accepted; then the panel's block "KAQ" received.
    m_clock.Set(1234);
    m_device.FeedAfterWrites(1, {0x10});
    m_device.FeedAfterWrites(5, {0x10});
    const uint8_t identify = 0x23;
    ASSERT_EQ(m_link.SendBlock(&identify, 1, 1), kBlockDone);

    m_device.Feed({0x02});
    m_device.FeedAfterWrites(m_device.Written().size() + 1, {0x4B, 0x41, 0x51, 0x10, 0x03, 0x48});
    uint8_t buf[kReplyBufferSize];
    int count = 0;
    ASSERT_EQ(m_link.ReceiveBlock(buf, &count), kBlockDone);

    // A refused send is traced with its result as well.
    m_device.FeedAfterWrites(m_device.Written().size() + 1, {0x15});
    const uint8_t led = '1';
    ASSERT_EQ(m_link.SendBlock(&led, 1, 1), kBlockWrongByte);

    const QStringList lines = ReadLines(Path());
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], QStringLiteral("     1234 TX/1 [23] \"#\" result=0"));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("RX   [4B 41 51] \"KAQ\" result=0"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].endsWith(QStringLiteral("TX/1 [31] \"1\" result=34"))) << lines[2].toStdString();
}

TEST(LinkTraceEnvironment, OffUnlessAskedForAndOneMeansStandardError)
{
    ::unsetenv("KOVA_TRACE");
    EXPECT_EQ(CLinkTrace::TargetFromEnvironment(), QString());
    ::setenv("KOVA_TRACE", "0", 1);
    EXPECT_EQ(CLinkTrace::TargetFromEnvironment(), QString());
    ::setenv("KOVA_TRACE", "1", 1);
    EXPECT_EQ(CLinkTrace::TargetFromEnvironment(), QStringLiteral("-"));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kova.log"));
    ::setenv("KOVA_TRACE", path.toLocal8Bit().constData(), 1);
    EXPECT_EQ(CLinkTrace::TargetFromEnvironment(), path);
    CFakeClock clock;
    const CLinkTrace toFile(clock, CLinkTrace::TargetFromEnvironment());
    EXPECT_TRUE(toFile.IsOpen());
    EXPECT_TRUE(QFile::exists(path));
    ::unsetenv("KOVA_TRACE");

    // Qt's logging rules switch it on as well, to standard error; KOVA_TRACE=0 still says no.
    QLoggingCategory::setFilterRules(QStringLiteral("kova.link.trace=true"));
    const QString byRule = CLinkTrace::TargetFromEnvironment();
    ::setenv("KOVA_TRACE", "0", 1);
    EXPECT_EQ(CLinkTrace::TargetFromEnvironment(), QString());
    ::unsetenv("KOVA_TRACE");
    QLoggingCategory::setFilterRules(QString());
    EXPECT_EQ(byRule, QStringLiteral("-"));
    EXPECT_EQ(CLinkTrace::TargetFromEnvironment(), QString());
}

// A trace file that cannot be opened at once (a missing folder, a FIFO nobody reads, a folder)
// is refused and the program goes on without it; nothing waits on the FIFO.
TEST(LinkTraceEnvironment, UnwritableFileIsReportedNotFatal)
{
    QTemporaryDir dir;
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("fifo"))).constData(), 0600), 0);
    CFakeClock clock;
    for (const QString& path :
         {QStringLiteral("/nonexistent-dir/kova.log"), dir.filePath(QStringLiteral("fifo")), dir.path()}) {
        CLinkTrace trace(clock, path);
        EXPECT_FALSE(trace.IsOpen()) << path.toStdString();
        const uint8_t b = 0x40;
        trace.OnBlockSent(&b, 1, 0, 0); // must simply do nothing
    }
}

} // namespace
