// The termios device on a real pseudo-terminal pair, without the virtual panel: line
// settings, never-waiting reads, raw transport, exclusive use, hang-up and descriptor leaks.
#include "fake_clock.h"
#include "posix_serial_device.h"
#include "process_probe.h"
#include "pty_pair.h"
#include "serial_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

// The kernel forces a pseudo-terminal to 8 bits without parity whatever is asked, so the
// parity bits can only be seen in the request. This records every request on its way to the
// C library.
namespace {
termios g_lastRequest{};
int g_lastRequestFd = -1;
} // namespace

extern "C" int tcsetattr(int fd, int actions, const termios* tio)
{
    using Fn = int (*)(int, int, const termios*);
    static const Fn real = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "tcsetattr"));
    g_lastRequest = *tio;
    g_lastRequestFd = fd;
    return real(fd, actions, tio);
}

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// The descriptors this process holds.
std::set<int> Descriptors()
{
    std::set<int> fds;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                fds.insert(std::atoi(entry->d_name));
        // The listing's own descriptor is gone once it is closed.
        fds.erase(::dirfd(dir));
        ::closedir(dir);
    }
    return fds;
}

// Descriptors opened since `before` that refer to `path`.
std::vector<int> NewDescriptorsOn(const std::string& path, const std::set<int>& before)
{
    std::vector<int> found;
    for (int fd : Descriptors()) {
        if (before.count(fd) != 0)
            continue;
        char target[256] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && path == std::string(target, static_cast<size_t>(n)))
            found.push_back(fd);
    }
    return found;
}

TEST(PosixSerialDevice, LineSettingsAfterOpen)
{
    for (int baud : {9600, 19200}) {
        SCOPED_TRACE(baud);
        PtyPair pty;
        ASSERT_TRUE(pty.Ok());
        // Start from a cooked line with settings the open must change.
        termios before{};
        ASSERT_EQ(::tcgetattr(pty.Slave(), &before), 0);
        before.c_cflag |= PARODD | CSTOPB;
        before.c_lflag |= ICANON | ECHO;
        before.c_iflag |= IXON;
        before.c_cc[VMIN] = 5;
        ASSERT_EQ(::tcsetattr(pty.Slave(), TCSANOW, &before), 0);

        CPosixSerialDevice device;
        g_lastRequestFd = -1;
        ASSERT_TRUE(device.Open(pty.Path(), baud)) << device.LastError();
        ASSERT_NE(g_lastRequestFd, -1);
        EXPECT_EQ(g_lastRequest.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_TRUE(g_lastRequest.c_cflag & PARENB);
        EXPECT_FALSE(g_lastRequest.c_cflag & PARODD);

        // Everything else the terminal keeps, so it is read back from the line itself.
        termios tio{};
        ASSERT_EQ(::tcgetattr(pty.Slave(), &tio), 0);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_FALSE(tio.c_cflag & PARODD);
        EXPECT_FALSE(tio.c_cflag & CSTOPB);
        EXPECT_TRUE(tio.c_iflag & INPCK);
        EXPECT_FALSE(tio.c_lflag & ICANON);
        EXPECT_FALSE(tio.c_lflag & ECHO);
        EXPECT_FALSE(tio.c_lflag & ISIG);
        EXPECT_FALSE(tio.c_iflag & IXON);
        EXPECT_FALSE(tio.c_oflag & OPOST);
        EXPECT_EQ(tio.c_cc[VMIN], 1);
        EXPECT_EQ(tio.c_cc[VTIME], 0);
        const speed_t want = baud == 9600 ? B9600 : B19200;
        EXPECT_EQ(::cfgetispeed(&tio), want);
        EXPECT_EQ(::cfgetospeed(&tio), want);
    }
}

TEST(PosixSerialDevice, ReopensAtTheSameAndAtAnotherBaudRate)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CPosixSerialDevice device;
    for (int baud : {9600, 9600, 19200, 19200, 9600}) {
        EXPECT_TRUE(device.Open(pty.Path(), baud)) << baud << ": " << device.LastError();
        device.Close();
    }
}

TEST(PosixSerialDevice, ExclusiveFlagIsReleasedOnClose)
{
    // Were it left set, anyone still holding the terminal would make our next Open fail for
    // every user but root.
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CPosixSerialDevice device;
    ASSERT_TRUE(device.Open(pty.Path(), 9600));
    int exclusive = -1;
    ASSERT_EQ(::ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    device.Close();
    ASSERT_EQ(::ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

TEST(PosixSerialDevice, UnsupportedBaudOrMissingDeviceFailsWithoutLeaking)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const int before = OpenDescriptors();
    CPosixSerialDevice device;
    EXPECT_FALSE(device.Open(pty.Path(), 4800));
    EXPECT_FALSE(device.LastError().empty());
    EXPECT_FALSE(device.Open("/nonexistent/kova-no-such-port", 9600));
    EXPECT_FALSE(device.LastError().empty());
    EXPECT_FALSE(device.Open("/dev/null", 9600)) << "not a terminal";
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(PosixSerialDevice, ReadsNeverWaitAndBytesPassUntranslated)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const std::set<int> before = Descriptors();
    CPosixSerialDevice device;
    ASSERT_TRUE(device.Open(pty.Path(), 9600)) << device.LastError();

    // Nothing received: the read answers "nothing" rather than waiting. No read can wait at
    // all: the descriptor is non-blocking and the line has no read timer (VTIME 0 above).
    uint8_t byte = 0;
    EXPECT_EQ(device.ReadByte(&byte), ISerialDevice::ReadStatus::Nothing);
    EXPECT_EQ(device.InputQueued(), 0);
    const std::vector<int> fds = NewDescriptorsOn(pty.Path(), before);
    ASSERT_EQ(fds.size(), 1u);
    EXPECT_TRUE(::fcntl(fds[0], F_GETFL) & O_NONBLOCK);

    // Bytes a cooked or flow-controlled line would eat or change: XON, XOFF, CR, LF, the
    // interrupt character, DEL, and a byte with the top bit set.
    const uint8_t sent[] = {0x11, 0x13, 0x0D, 0x0A, 0x03, 0x7F, 0xFF, 0x10, 0x00};
    ASSERT_EQ(::write(pty.Master(), sent, sizeof sent), static_cast<ssize_t>(sizeof sent));
    ASSERT_EQ(device.WaitReadable(2000), ISerialDevice::WaitStatus::Readable);
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (device.InputQueued() < static_cast<int>(sizeof sent) && Clock::now() < deadline)
        device.WaitReadable(50);
    EXPECT_EQ(device.InputQueued(), static_cast<int>(sizeof sent));
    for (uint8_t want : sent) {
        ASSERT_EQ(device.ReadByte(&byte), ISerialDevice::ReadStatus::Byte);
        EXPECT_EQ(byte, want);
    }
    EXPECT_EQ(device.ReadByte(&byte), ISerialDevice::ReadStatus::Nothing);

    for (uint8_t b : {0x10, 0x0A, 0x11})
        device.WriteByte(b);
    EXPECT_EQ(pty.ReadMaster(3), std::string("\x10\x0A\x11", 3));
}

TEST(PosixSerialDevice, OpenStartsWithAnEmptyInputQueue)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    // A report the panel sent while nobody had the port open: once it sits in the terminal's
    // input, it must not become the answer to the first STX after the open.
    termios raw{};
    ASSERT_EQ(::tcgetattr(pty.Slave(), &raw), 0);
    ::cfmakeraw(&raw);
    ASSERT_EQ(::tcsetattr(pty.Slave(), TCSANOW, &raw), 0);
    const uint8_t stale[] = {0x02, 0x32, 0x10, 0x03, 0x21};
    ASSERT_EQ(::write(pty.Master(), stale, sizeof stale), static_cast<ssize_t>(sizeof stale));
    pollfd pfd{pty.Slave(), POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 2000), 1);

    CPosixSerialDevice device;
    ASSERT_TRUE(device.Open(pty.Path(), 9600)) << device.LastError();
    const uint8_t fresh = 0x10;
    ASSERT_EQ(::write(pty.Master(), &fresh, 1), 1);
    ASSERT_EQ(device.WaitReadable(2000), ISerialDevice::WaitStatus::Readable);
    uint8_t byte = 0;
    ASSERT_EQ(device.ReadByte(&byte), ISerialDevice::ReadStatus::Byte);
    EXPECT_EQ(byte, fresh);
}

TEST(PosixSerialDevice, WaitReadableTimesOutWithinItsBound)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CPosixSerialDevice device;
    ASSERT_TRUE(device.Open(pty.Path(), 9600));
    // It waits its time and no less, and it sleeps meanwhile: a spin would burn most of the
    // 400 ms in processor time. A wait that never ended would run into the test's time-out.
    const long cpuBefore = CpuMs();
    const auto start = Clock::now();
    EXPECT_EQ(device.WaitReadable(400), ISerialDevice::WaitStatus::TimedOut);
    EXPECT_GE(ElapsedMs(start), 400);
    EXPECT_LT(CpuMs() - cpuBefore, 100);
}

TEST(PosixSerialDevice, ClosedMasterIsAHangUpNotInput)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CPosixSerialDevice device;
    ASSERT_TRUE(device.Open(pty.Path(), 9600));
    pty.CloseMaster();

    // The hang-up ends the wait, long before its own time-out could, however busy the machine.
    const auto start = Clock::now();
    EXPECT_EQ(device.WaitReadable(30000), ISerialDevice::WaitStatus::HungUp);
    EXPECT_LT(ElapsedMs(start), 30000);
    uint8_t byte = 0;
    EXPECT_EQ(device.ReadByte(&byte), ISerialDevice::ReadStatus::Error);
}

TEST(PosixSerialDevice, LinkOverAClosedMasterClosesAtOnceWithoutSpinning)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ::setenv("KOVA_COM1", pty.Path().c_str(), 1);
    // The link's clock stands still, so its reply time-out can never strike: if the send
    // returns with the link closed, the hang-up closed it. A link that missed the hang-up
    // would wait forever and run into the test's time-out.
    CFakeClock clock;
    CSerialLink link(nullptr, &clock);
    ASSERT_EQ(link.Open(PortDevicePath(1), 9600), 1) << link.LastOpenError();
    pty.CloseMaster();

    const long cpuBefore = CpuMs();
    const uint8_t identify = 0x23;
    const int result = link.SendBlock(&identify, 1, 1);
    EXPECT_EQ(result, kBlockClosed);
    EXPECT_EQ(link.m_bOpen, 0);
    // A spin until the time-out would burn about 364 ms of processor time.
    EXPECT_LT(CpuMs() - cpuBefore, 100);
    ::unsetenv("KOVA_COM1");
}

TEST(PosixSerialDevice, SecondOpenOfTheSameDeviceIsRefused)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CPosixSerialDevice first;
    ASSERT_TRUE(first.Open(pty.Path(), 9600));

    CPosixSerialDevice second;
    EXPECT_FALSE(second.Open(pty.Path(), 9600));
    EXPECT_FALSE(second.LastError().empty());

    // Another process is refused too.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CPosixSerialDevice other;
        ::_exit(other.Open(pty.Path(), 9600) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the other process opened a device in use";

    // Once released it opens again.
    first.Close();
    EXPECT_TRUE(second.Open(pty.Path(), 9600)) << second.LastError();
}

TEST(PosixSerialDevice, RefusedOpenLeavesTheHoldersInputAndExclusiveFlagAlone)
{
    // Root gets past TIOCEXCL, so only the lock refuses the second open, after the terminal
    // has already been opened; whatever the refusal does then, it does to the holder's line.
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CPosixSerialDevice holder;
    ASSERT_TRUE(holder.Open(pty.Path(), 9600)) << holder.LastError();
    const uint8_t report[] = {0x02, 0x31, 0x10, 0x03, 0x22};
    ASSERT_EQ(::write(pty.Master(), report, sizeof report), static_cast<ssize_t>(sizeof report));
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (holder.InputQueued() < static_cast<int>(sizeof report) && Clock::now() < deadline)
        holder.WaitReadable(50);
    ASSERT_EQ(holder.InputQueued(), static_cast<int>(sizeof report));

    CPosixSerialDevice rival;
    EXPECT_FALSE(rival.Open(pty.Path(), 9600));
    rival.Close();

    int queued = -1;
    ASSERT_EQ(::ioctl(pty.Slave(), FIONREAD, &queued), 0);
    EXPECT_EQ(queued, static_cast<int>(sizeof report)) << "the holder's input was flushed";
    int exclusive = -1;
    ASSERT_EQ(::ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1) << "the holder's exclusive flag was cleared";
}

TEST(PosixSerialDevice, NoDescriptorLeaksOverManyOpenCloseCycles)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ::setenv("KOVA_COM1", pty.Path().c_str(), 1);
    const int before = OpenDescriptors();
    {
        CSerialLink link;
        CSerialLink rival;
        for (int i = 0; i < 200; ++i) {
            ASSERT_EQ(link.Open(PortDevicePath(1), 9600), 1) << i << ": " << link.LastOpenError();
            ASSERT_EQ(rival.Open(PortDevicePath(1), 9600), 0) << i;
            ASSERT_EQ(link.Close(), 1);
        }
    }
    EXPECT_EQ(OpenDescriptors(), before);
    ::unsetenv("KOVA_COM1");
}

} // namespace
