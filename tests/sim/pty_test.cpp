// The real program on a real pseudo-terminal: the start-up line, a block exchange done by hand,
// the command channel, hang-ups and the life cycle of the symlink.
#include "sim_process.h"
#include "sim_test_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace kova_sim::test;
using kova_sim::Bytes;

namespace {

// Generous: the build machine may be busy with other jobs.
constexpr int kTimeoutMs = 5000;

std::int64_t msNow()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Starts the real program on a link path of its own; fails the test when it does not come up.
void start(CSimProcess& sim, const std::vector<std::string>& args = {})
{
    std::string error;
    ASSERT_TRUE(sim.Start(KOVA_SIM_BINARY, args, &error)) << error;
}

int openPort(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

Bytes readBytes(int fd, std::size_t n)
{
    Bytes got;
    const auto end = msNow() + kTimeoutMs;
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        const auto left = end - msNow();
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        std::uint8_t buf[512];
        const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0)
            break;
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}

void writeBytes(int fd, const Bytes& b)
{
    ASSERT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
}

} // namespace

TEST(SimOnPty, ExchangesBlocksByHandAndReportsItsState)
{
    CSimProcess sim;
    start(sim);
    const int fd = openPort(sim.LinkPath());
    ASSERT_GE(fd, 0) << std::strerror(errno);

    // "#" in variant 1: 02 | 10 | 23 10 03 30 | 10, then the panel's reply block.
    writeBytes(fd, B({0x02}));
    EXPECT_EQ(readBytes(fd, 1), B({0x10}));
    writeBytes(fd, B({0x23, 0x10, 0x03, 0x30}));
    EXPECT_EQ(readBytes(fd, 2), B({0x10, 0x02}));
    writeBytes(fd, B({0x10}));
    EXPECT_EQ(readBytes(fd, 6), B({0x4B, 0x41, 0x51, 0x10, 0x03, 0x48}));
    writeBytes(fd, B({0x10}));

    // A key press on the panel: '4' = 34, BCC 34 ^ 13 = 27.
    EXPECT_TRUE(sim.Command("press 4"));
    EXPECT_EQ(readBytes(fd, 1), B({0x02}));
    writeBytes(fd, B({0x10}));
    EXPECT_EQ(readBytes(fd, 4), B({0x34, 0x10, 0x03, 0x27}));
    writeBytes(fd, B({0x10}));

    EXPECT_TRUE(sim.StateShows("\"received\":1,\"sent\":2", kTimeoutMs));
    const std::string s = sim.State();
    EXPECT_EQ(s.rfind("STATE {", 0), 0u) << s;
    EXPECT_NE(s.find("\"key\":4"), std::string::npos) << s;
    EXPECT_NE(s.find("\"variant\":1"), std::string::npos) << s;
    std::vector<std::string> history;
    EXPECT_TRUE(sim.Command("history", &history));
    EXPECT_EQ(history, std::vector<std::string>{"HISTORY 23"});
    EXPECT_EQ(sim.Reply("history", "HISTORY"), "HISTORY 23");
    // A refused command answers nothing, even for a prefix its ERR line happens to match.
    EXPECT_EQ(sim.Reply("no-such-command", "ERR"), "");
    EXPECT_EQ(sim.Reply("dump", "NOTHING-LIKE-THIS"), "");
    ::close(fd);
}

TEST(SimOnPty, StdinEofKeepsRunningAndASignalRemovesTheLink)
{
    CSimProcess sim;
    start(sim);
    sim.CloseInput();

    // Still a panel without its command input. The end of input is already waiting when the
    // first STX arrives, so the loop that answers that STX has taken it in; the second
    // exchange starts only after that loop is over. A panel that quit on the end of input
    // would have stopped answering by then.
    const int fd = openPort(sim.LinkPath());
    ASSERT_GE(fd, 0);
    for (int round = 0; round < 2; ++round) {
        writeBytes(fd, B({0x02}));
        ASSERT_EQ(readBytes(fd, 1), B({0x10})) << "round " << round;
        writeBytes(fd, B({0x31, 0x10, 0x03, 0x22})); // LED 1 on: no reply block
        ASSERT_EQ(readBytes(fd, 1), B({0x10})) << "round " << round;
    }
    ::close(fd);
    EXPECT_EQ(::waitpid(sim.Pid(), nullptr, WNOHANG), 0) << "quit on EOF without --exit-on-eof";
    EXPECT_TRUE(exists(sim.LinkPath()));

    const std::string link = sim.LinkPath();
    ::kill(sim.Pid(), SIGTERM);
    int status = 0;
    ASSERT_TRUE(sim.WaitForExit(kTimeoutMs, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(exists(link));
}

TEST(SimOnPty, ExitOnEofQuitsOnceTheCommandsAreDone)
{
    CSimProcess sim;
    start(sim, {"--exit-on-eof"});
    for (const char* command : {"sel1 3", "wait 100", "dump"})
        ASSERT_TRUE(sim.Post(command));
    sim.CloseInput();
    std::string line;
    for (const char* want : {"OK", "OK", "", "OK"}) {
        ASSERT_TRUE(sim.ReadLine(&line, kTimeoutMs));
        if (*want != '\0')
            EXPECT_EQ(line, want);
        else
            EXPECT_NE(line.find("\"sel1\":3"), std::string::npos) << line;
    }
    ASSERT_TRUE(sim.WaitForExit(kTimeoutMs));
    EXPECT_FALSE(exists(sim.LinkPath()));
}

TEST(SimOnPty, UnplugHangsUpTheClientAndReplugServesANewOne)
{
    CSimProcess sim;
    start(sim);
    int fd = openPort(sim.LinkPath());
    ASSERT_GE(fd, 0);

    EXPECT_TRUE(sim.Command("unplug"));
    EXPECT_FALSE(exists(sim.LinkPath()));
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, kTimeoutMs), 1);
    EXPECT_TRUE(p.revents & POLLHUP) << "revents " << p.revents;
    ::close(fd);

    EXPECT_TRUE(sim.Command("replug"));
    ASSERT_TRUE(exists(sim.LinkPath()));
    fd = openPort(sim.LinkPath());
    ASSERT_GE(fd, 0);
    writeBytes(fd, B({0x02}));
    EXPECT_EQ(readBytes(fd, 1), B({0x10}));
    ::close(fd);
    EXPECT_NE(sim.State().find("\"line\":\"up\""), std::string::npos);
}

TEST(SimOnPty, RefusesVariant1InVariant0ModeAndPacesAtTheBaudRate)
{
    CSimProcess sim;
    start(sim, {"--variant", "0", "--baud", "9600"});
    const int fd = openPort(sim.LinkPath());
    ASSERT_GE(fd, 0);

    writeBytes(fd, B({0x02}));
    EXPECT_EQ(readBytes(fd, 1), B({0x10}));
    writeBytes(fd, B({0x23, 0x10, 0x03, 0x30}));
    EXPECT_EQ(readBytes(fd, 1), B({0x15}));

    // 24-byte row after "l+%": its DLE cannot come before the block's line time (about 30 ms
    // at 9600 Bd, 11 bit times a byte). Only a lower bound, so a slow machine cannot fail it.
    writeBytes(fd, B({0x02}));
    EXPECT_EQ(readBytes(fd, 1), B({0x10}));
    writeBytes(fd, B({0x6C, 0x2B, 0x25, 0x10, 0x03, 0x73}));
    EXPECT_EQ(readBytes(fd, 2), B({0x10, 0x02}));
    writeBytes(fd, B({0x10}));
    EXPECT_EQ(readBytes(fd, 4), B({0x30, 0x10, 0x03, 0x23}));
    writeBytes(fd, B({0x10}));

    Bytes row = {'l', '&', 0xA1, '#', 0x00};
    row.resize(24, 0x20);
    writeBytes(fd, B({0x02}));
    EXPECT_EQ(readBytes(fd, 1), B({0x10}));
    const Bytes body = pcBody(row, 0);
    const auto t0 = msNow();
    writeBytes(fd, body);
    EXPECT_EQ(readBytes(fd, 1), B({0x10}));
    EXPECT_GE(msNow() - t0, static_cast<std::int64_t>(body.size() * 11 * 1000 / 9600) - 2);
    ::close(fd);

    EXPECT_TRUE(sim.StateShows("\"lcd\":[\"A              \"", kTimeoutMs));
    EXPECT_NE(sim.State().find("\"variant\":0"), std::string::npos);
}
