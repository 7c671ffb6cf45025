// Standard input on a thread of its own, as the Windows runs read it; here on a pipe.
#include "input_thread.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QThread>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

CInputThread::Reader PipeReader(int fd)
{
    return [fd](char* p, int64_t n, QString* pError) -> int64_t {
        const ssize_t r = ::read(fd, p, static_cast<size_t>(n));
        if (r < 0)
            *pError = QStringLiteral("read failed");
        return r;
    };
}

} // namespace

TEST(InputThread, AFloodArrivesWholeAndInOrderWithinItsBoundThenTheEndAndAnAbandonedReaderStaysQuiet)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string sent;
    for (int i = 0; sent.size() < 300 * 1024; ++i)
        sent += std::to_string(i) + '\n';
    std::atomic<int> nTold{0};
    QByteArray got;
    bool bEnded = false;
    {
        CInputThread input(PipeReader(fds[0]), [&nTold] { ++nTold; });
        std::thread writer([&] {
            for (size_t done = 0; done < sent.size();)
                done += static_cast<size_t>(::write(fds[1], sent.data() + done, sent.size() - done));
            ::close(fds[1]);
        });
        const QDeadlineTimer deadline(60000);
        while (!bEnded && !deadline.hasExpired()) {
            const CInputThread::CTaken taken = input.Take();
            // Never more held than the bound and the one read that may pass it.
            EXPECT_LE(taken.bytes.size(), CInputThread::kMaxHeld + 16 * 1024);
            got += taken.bytes;
            bEnded = taken.bEnded;
            EXPECT_TRUE(taken.strError.isEmpty());
            if (!bEnded)
                QThread::msleep(1);
        }
        writer.join();
    }
    EXPECT_TRUE(bEnded);
    EXPECT_EQ(got.toStdString(), sent);
    EXPECT_GE(nTold.load(), 2);

    // Left blocked in its read, the thread outlives its owner: what it reads then is dropped,
    // and nobody is told. The thread's reader goes with the thread, so its end proves that the
    // thread read the late line and had every chance to tell it.
    ASSERT_EQ(::pipe(fds), 0);
    const int nBefore = nTold.load();
    auto pAlive = std::make_shared<int>(0);
    const std::weak_ptr<int> threadAlive = pAlive;
    {
        CInputThread input([reader = PipeReader(fds[0]), pAlive = std::move(pAlive)](
                               char* p, int64_t n, QString* pError) { return reader(p, n, pError); },
                           [&nTold] { ++nTold; });
    }
    ASSERT_EQ(::write(fds[1], "late\n", 5), 5);
    ::close(fds[1]);
    const QDeadlineTimer threadEnd(30000);
    while (!threadAlive.expired() && !threadEnd.hasExpired())
        QThread::msleep(1);
    ASSERT_TRUE(threadAlive.expired()) << "the abandoned thread did not end after its last read";
    EXPECT_EQ(nTold.load(), nBefore);
    ::close(fds[0]);
}
