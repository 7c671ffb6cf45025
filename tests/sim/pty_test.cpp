// The real program on a real pseudo-terminal: the start-up line, a block exchange done by hand,
// the command channel, hang-ups and the life cycle of the symlink.
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
#include <thread>
#include <unistd.h>
#include <vector>

using namespace kova_sim::test;
using kova_sim::Bytes;

namespace {

// Generous: the build machine may be busy with other jobs.
constexpr int kTimeoutMs = 5000;

std::int64_t msNow()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool exists(const std::string& path)
{
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0;
}

class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> extraArgs)
    {
        static int counter = 0;
        link = "/tmp/kova-sim-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::close(in[0]);
            ::close(in[1]);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<std::string> args{KOVA_SIM_BINARY, "--link", link};
            args.insert(args.end(), extraArgs.begin(), extraArgs.end());
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        toSim = in[1];
        fromSim = out[0];
    }

    ~SimProcess()
    {
        if (pid > 0 && !exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        closeStdin();
        if (fromSim >= 0)
            ::close(fromSim);
        ::unlink(link.c_str());
    }

    std::string readLine()
    {
        const auto end = msNow() + kTimeoutMs;
        while (true) {
            const auto nl = buffer.find('\n');
            if (nl != std::string::npos) {
                std::string l = buffer.substr(0, nl);
                buffer.erase(0, nl + 1);
                return l;
            }
            pollfd p{fromSim, POLLIN, 0};
            const auto left = end - msNow();
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
                return "<timeout>";
            char buf[4096];
            const ssize_t n = ::read(fromSim, buf, sizeof buf);
            if (n <= 0)
                return "<eof>";
            buffer.append(buf, static_cast<std::size_t>(n));
        }
    }

    // Writes one command and reads up to its OK/ERR line; returns all lines read.
    std::vector<std::string> command(const std::string& line)
    {
        const std::string l = line + "\n";
        EXPECT_EQ(::write(toSim, l.data(), l.size()), static_cast<ssize_t>(l.size()));
        std::vector<std::string> lines;
        while (true) {
            lines.push_back(readLine());
            const std::string& last = lines.back();
            if (last == "OK" || last.rfind("ERR", 0) == 0 || last[0] == '<')
                return lines;
        }
    }

    std::string dump()
    {
        const auto lines = command("dump");
        return lines.size() == 2 ? lines[0] : "";
    }

    void closeStdin()
    {
        if (toSim >= 0)
            ::close(toSim);
        toSim = -1;
    }

    bool waitExit(int& status)
    {
        const auto end = msNow() + kTimeoutMs;
        while (msNow() < end) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string link;
    pid_t pid = -1;
    int toSim = -1;
    int fromSim = -1;
    bool exited = false;
    std::string buffer;
};

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

// Polls the state until it contains the text; the sim may not have read our last byte yet.
bool dumpEventuallyHas(SimProcess& sim, const std::string& text)
{
    const auto end = msNow() + kTimeoutMs;
    while (msNow() < end) {
        if (sim.dump().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace

TEST(SimOnPty, ExchangesBlocksByHandAndReportsItsState)
{
    SimProcess sim({});
    ASSERT_EQ(sim.readLine(), "READY " + sim.link);
    const int fd = openPort(sim.link);
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
    EXPECT_EQ(sim.command("press 4").back(), "OK");
    EXPECT_EQ(readBytes(fd, 1), B({0x02}));
    writeBytes(fd, B({0x10}));
    EXPECT_EQ(readBytes(fd, 4), B({0x34, 0x10, 0x03, 0x27}));
    writeBytes(fd, B({0x10}));

    EXPECT_TRUE(dumpEventuallyHas(sim, "\"received\":1,\"sent\":2"));
    const std::string s = sim.dump();
    EXPECT_EQ(s.rfind("STATE {", 0), 0u) << s;
    EXPECT_NE(s.find("\"key\":4"), std::string::npos) << s;
    EXPECT_NE(s.find("\"variant\":1"), std::string::npos) << s;
    EXPECT_EQ(sim.command("history"), (std::vector<std::string>{"HISTORY 23", "OK"}));
    ::close(fd);
}

TEST(SimOnPty, StdinEofKeepsRunningAndASignalRemovesTheLink)
{
    SimProcess sim({});
    ASSERT_EQ(sim.readLine(), "READY " + sim.link);
    sim.closeStdin();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(::waitpid(sim.pid, &status, WNOHANG), 0) << "quit on EOF without --exit-on-eof";
    EXPECT_TRUE(exists(sim.link));

    // Still a panel without its command input.
    const int fd = openPort(sim.link);
    ASSERT_GE(fd, 0);
    writeBytes(fd, B({0x02}));
    EXPECT_EQ(readBytes(fd, 1), B({0x10}));
    ::close(fd);

    ::kill(sim.pid, SIGTERM);
    ASSERT_TRUE(sim.waitExit(status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(exists(sim.link));
}

TEST(SimOnPty, ExitOnEofQuitsOnceTheCommandsAreDone)
{
    SimProcess sim({"--exit-on-eof"});
    ASSERT_EQ(sim.readLine(), "READY " + sim.link);
    const std::string cmds = "sel1 3\nwait 100\ndump\n";
    ASSERT_EQ(::write(sim.toSim, cmds.data(), cmds.size()), static_cast<ssize_t>(cmds.size()));
    sim.closeStdin();
    EXPECT_EQ(sim.readLine(), "OK");
    EXPECT_EQ(sim.readLine(), "OK");
    EXPECT_NE(sim.readLine().find("\"sel1\":3"), std::string::npos);
    EXPECT_EQ(sim.readLine(), "OK");
    int status = 0;
    ASSERT_TRUE(sim.waitExit(status));
    EXPECT_FALSE(exists(sim.link));
}

TEST(SimOnPty, UnplugHangsUpTheClientAndReplugServesANewOne)
{
    SimProcess sim({});
    ASSERT_EQ(sim.readLine(), "READY " + sim.link);
    int fd = openPort(sim.link);
    ASSERT_GE(fd, 0);

    EXPECT_EQ(sim.command("unplug").back(), "OK");
    EXPECT_FALSE(exists(sim.link));
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, kTimeoutMs), 1);
    EXPECT_TRUE(p.revents & POLLHUP) << "revents " << p.revents;
    ::close(fd);

    EXPECT_EQ(sim.command("replug").back(), "OK");
    ASSERT_TRUE(exists(sim.link));
    fd = openPort(sim.link);
    ASSERT_GE(fd, 0);
    writeBytes(fd, B({0x02}));
    EXPECT_EQ(readBytes(fd, 1), B({0x10}));
    ::close(fd);
    EXPECT_NE(sim.dump().find("\"line\":\"up\""), std::string::npos);
}

TEST(SimOnPty, RefusesVariant1InVariant0ModeAndPacesAtTheBaudRate)
{
    SimProcess sim({"--variant", "0", "--baud", "9600"});
    ASSERT_EQ(sim.readLine(), "READY " + sim.link);
    const int fd = openPort(sim.link);
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

    EXPECT_TRUE(dumpEventuallyHas(sim, "\"lcd\":[\"A              \""));
    EXPECT_NE(sim.dump().find("\"variant\":0"), std::string::npos);
}
