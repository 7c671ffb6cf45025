// The console of the runs: asking whether a stream is a terminal changes nothing about it (on
// Windows the same bit is "echo" on an input and "escape sequences" on an output), and only a
// terminal gets the progress line that redraws itself.
#include "run_console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

TEST(RunConsoleTest, AskingChangesNothingAndOnlyATerminalTakesEscapes)
{
    // A pseudo-terminal of its own (this target's include path has the virtual panel's pty.h).
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    std::FILE* pTerminal = std::fopen(::ptsname(master), "r+");
    ASSERT_NE(pTerminal, nullptr);
    termios before{};
    ASSERT_EQ(::tcgetattr(::fileno(pTerminal), &before), 0);
    EXPECT_TRUE(IsTerminal(pTerminal));
    termios after{};
    ASSERT_EQ(::tcgetattr(::fileno(pTerminal), &after), 0);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    EXPECT_TRUE(TakesEscapes(pTerminal));
    std::fclose(pTerminal);
    ::close(master);

    int pipeEnds[2] = {-1, -1};
    ASSERT_EQ(::pipe(pipeEnds), 0);
    std::FILE* pPipe = ::fdopen(pipeEnds[1], "w");
    ASSERT_NE(pPipe, nullptr);
    EXPECT_FALSE(IsTerminal(pPipe));
    EXPECT_FALSE(TakesEscapes(pPipe));
    std::fclose(pPipe);
    ::close(pipeEnds[0]);
}
