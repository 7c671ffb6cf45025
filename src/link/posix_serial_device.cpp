#include "posix_serial_device.h"

// The termios device of Linux and the other POSIX systems; Windows has its own
// (win32_serial_device.cpp), and this file compiles to nothing there.
#ifndef _WIN32

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

namespace {

speed_t SpeedFor(int baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    default: return B0;
    }
}

int RetryPoll(pollfd* fds, int timeoutMs)
{
    // A signal must not shorten a bounded wait into a spin, nor stretch it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int rc = ::poll(fds, 1, timeoutMs);
        if (rc >= 0 || errno != EINTR)
            return rc;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        timeoutMs = left > 0 ? static_cast<int>(left) : 0;
    }
}

// Asks the driver to hand over received bytes at once. A USB adaptor (FTDI above all) holds
// them back for its latency timer otherwise, 16 ms by default, and each of the block
// procedure's turnarounds would wait that long. A pseudo-terminal has no such settings and
// some drivers refuse them; either way the port works as before, so a refusal is no error.
void RequestLowLatency(int fd)
{
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0)
        return;
    serial.flags |= ASYNC_LOW_LATENCY;
    (void)::ioctl(fd, TIOCSSERIAL, &serial);
#else
    (void)fd;
#endif
}

bool IsPseudoTerminal(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    // The slave sides of Unix 98 pseudo-terminals use majors 136 to 143.
    const unsigned int devMajor = major(st.st_rdev);
    return devMajor >= 136 && devMajor <= 143;
}

} // namespace

CPosixSerialDevice::~CPosixSerialDevice()
{
    Close();
}

bool CPosixSerialDevice::Fail(const std::string& what, int error)
{
    m_lastError = what + ": " + std::strerror(error);
    m_nLastErrno = error;
    Close();
    errno = error;
    return false;
}

bool CPosixSerialDevice::Open(const std::string& path, int baud)
{
    m_lastError.clear();
    m_nLastErrno = 0;
    if (m_fd >= 0)
        return true;

    const speed_t speed = SpeedFor(baud);
    if (speed == B0) {
        m_lastError = "unsupported baud rate " + std::to_string(baud);
        m_nLastErrno = EINVAL;
        return false;
    }

    // Only a character device can be a serial port. Anything else is refused before it is
    // opened: opening a FIFO or a directory for writing is not harmless, and a regular file
    // would pass every step up to the terminal check.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode)) {
        m_lastError = path + ": not a character device";
        m_nLastErrno = ENOTTY;
        errno = ENOTTY;
        return false;
    }

    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        const int error = errno;
        m_lastError = path + ": " + std::strerror(error);
        m_nLastErrno = error;
        errno = error;
        return false;
    }

    // The lock keeps out every cooperating program, root included; TIOCEXCL keeps out the
    // rest as far as the kernel allows.
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0)
        return Fail(path + " is in use", errno == EWOULDBLOCK ? EBUSY : errno);
    if (!::isatty(m_fd))
        return Fail(path, ENOTTY);
    if (::ioctl(m_fd, TIOCEXCL) != 0)
        return Fail(path, errno);
    m_bHolding = true;

    termios tio{};
    if (::tcgetattr(m_fd, &tio) != 0)
        return Fail(path, errno);

    // Raw byte transport: the panel's telegrams are binary, so nothing may be translated,
    // echoed or swallowed. XON/XOFF go too, since 0x11 and 0x13 are ordinary block bytes.
    // Hardware flow control, modem lines and the rest stay as the port had them.
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IGNPAR);
    tio.c_iflag |= INPCK;
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARODD | CSTOPB);
    tio.c_cflag |= CS8 | PARENB | CREAD | CLOCAL;
    // VMIN 1 with O_NONBLOCK: no data reads as EAGAIN, and zero bytes only at hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0)
        return Fail(path, errno);
    if (::tcsetattr(m_fd, TCSANOW, &tio) != 0) {
        // A pseudo-terminal has no line, so the kernel always clears PARENB on it and the C
        // library reports that as EINVAL although everything else was applied. Refusing it
        // would make the virtual panel unreachable; a real port that drops parity still fails.
        if (errno != EINVAL || !IsPseudoTerminal(m_fd))
            return Fail(path, errno);
    }
    RequestLowLatency(m_fd);
    // A newly opened port starts with empty queues: bytes that waited in the terminal since
    // before the open (a report the panel sent while nobody listened) would otherwise be read
    // as the answer to our first STX.
    ::tcflush(m_fd, TCIOFLUSH);
    return true;
}

void CPosixSerialDevice::Close()
{
    if (m_fd < 0)
        return;
    // Queues and the exclusive flag belong to the terminal, not to this descriptor. An open
    // refused before it held the port shares them with whoever does hold it, so only the
    // holder flushes and unlocks; anyone else just lets go of the descriptor.
    if (m_bHolding) {
        // Whatever is still queued for output is dropped: a port that is being closed must
        // not hold the caller for the length of a stuck line.
        ::tcflush(m_fd, TCIOFLUSH);
        // Left set, the exclusive flag would outlive us while anyone else holds the device
        // and refuse our own next Open.
        ::ioctl(m_fd, TIOCNXCL);
    }
    ::close(m_fd); // also releases the flock
    m_fd = -1;
    m_bHolding = false;
}

void CPosixSerialDevice::WriteByte(uint8_t byte)
{
    if (m_fd < 0)
        return;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const ssize_t n = ::write(m_fd, &byte, 1);
        if (n == 1)
            return;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return; // lost; the peer's missing answer tells the block procedure
        if (attempt == 1)
            return;
        pollfd pfd{m_fd, POLLOUT, 0};
        if (RetryPoll(&pfd, kWriteWaitMs) <= 0 || (pfd.revents & POLLOUT) == 0)
            return; // the output queue stayed full for the whole wait: abandon the byte
    }
}

int CPosixSerialDevice::InputQueued()
{
    if (m_fd < 0)
        return 0;
    int queued = 0;
    if (::ioctl(m_fd, FIONREAD, &queued) != 0 || queued < 0)
        queued = 0;
    if (queued > 0)
        return queued;
    // A line that has hung up has nothing queued, ever again. Reported as empty, an idle
    // poll tick would never read, so the link would pass for connected with the adaptor
    // pulled out; reported as one byte, the tick's read meets the hang-up and closes the
    // link like any read error.
    pollfd pfd{m_fd, POLLIN, 0};
    if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        return 1;
    return 0;
}

ISerialDevice::ReadStatus CPosixSerialDevice::ReadByte(uint8_t* byte)
{
    if (m_fd < 0)
        return ReadStatus::Error;
    for (;;) {
        const ssize_t n = ::read(m_fd, byte, 1);
        if (n == 1)
            return ReadStatus::Byte;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return ReadStatus::Nothing;
        // Zero bytes on a non-blocking line with VMIN 1 is the hang-up of a USB adaptor or of
        // the other side of a pseudo-terminal; EIO is the same on some drivers.
        return ReadStatus::Error;
    }
}

ISerialDevice::WaitStatus CPosixSerialDevice::WaitReadable(int timeoutMs)
{
    if (m_fd < 0)
        return WaitStatus::HungUp;
    pollfd pfd{m_fd, POLLIN, 0};
    const int rc = RetryPoll(&pfd, timeoutMs < 0 ? 0 : timeoutMs);
    if (rc <= 0)
        return rc == 0 ? WaitStatus::TimedOut : WaitStatus::HungUp;
    // A hung-up terminal polls as readable as well, yet has nothing to read: taking it for
    // input would spin until the time-out. The read that follows a HungUp still takes any
    // byte that is left and meets the error after it.
    if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))
        return WaitStatus::HungUp;
    return WaitStatus::Readable;
}

#endif // _WIN32
