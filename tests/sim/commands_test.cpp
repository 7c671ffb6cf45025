// The command language other tests drive the simulator with.
#include "commands.h"
#include "sim_test_util.h"

#include <gtest/gtest.h>

using namespace kova_sim;
using namespace kova_sim::test;
using Control = CommandResult::Control;

namespace {

std::vector<std::string> run(Engine& e, const std::string& line, std::int64_t now = 0)
{
    return runCommand(e, line, now).lines;
}

const std::vector<std::string> kOk{"OK"};

} // namespace

TEST(Commands, ControlsQueueTheReportsARealPanelWouldSend)
{
    FakeLine line;
    Engine e(line, AcceptMode::V1);
    EXPECT_EQ(run(e, "press 12"), kOk);
    EXPECT_EQ(run(e, "release"), kOk);
    EXPECT_EQ(run(e, "sel1 12"), kOk);
    EXPECT_EQ(run(e, "sel2 12"), kOk);
    EXPECT_EQ(run(e, "  send 32 35 30"), kOk);
    EXPECT_EQ(run(e, "send 4110"), kOk);
    EXPECT_EQ(pcReceive(e, line, 1), B({'<'}));
    EXPECT_EQ(pcReceive(e, line, 2), B({'0'}));
    EXPECT_EQ(pcReceive(e, line, 3), B({'L'}));
    EXPECT_EQ(pcReceive(e, line, 4), B({'\\'}));
    // 32 35 30 with BCC 32^35^30^13 = 24, by hand.
    EXPECT_EQ(line.take(), B({0x02}));
    e.receive(0x10, 5);
    EXPECT_EQ(line.take(), B({0x32, 0x35, 0x30, 0x10, 0x03, 0x24}));
    e.receive(0x10, 5);
    line.out = B({0x02});
    EXPECT_EQ(pcReceive(e, line, 6), B({0x41, 0x10}));

    EXPECT_EQ(run(e, "raw 02 10 ff"), kOk);
    EXPECT_EQ(line.take(), B({0x02, 0x10, 0xFF}));
}

TEST(Commands, BadInputIsReportedAndChangesNothing)
{
    FakeLine line;
    Engine e(line, AcceptMode::V1);
    for (const char* bad : {"press 0",
                            "press 13",
                            "press",
                            "press 1 2",
                            "press x",
                            "sel1 0",
                            "sel2 13",
                            "send 1",
                            "send zz",
                            "send 123",
                            "raw",
                            "raw 0g",
                            "fault stall",
                            "fault bogus on",
                            "fault stall maybe",
                            "fault random 2 1",
                            "fault random 0.5",
                            "faults",
                            "wait -1",
                            "wait x",
                            "bogus"}) {
        const auto lines = run(e, bad);
        ASSERT_EQ(lines.size(), 1u) << bad;
        EXPECT_EQ(lines[0].rfind("ERR ", 0), 0u) << bad << " -> " << lines[0];
    }
    EXPECT_EQ(e.queued(), 0u);
    EXPECT_TRUE(line.out.empty());
    EXPECT_EQ(e.panel().key(), 0);
    // Blank lines and comments give no output at all, so scripts can carry notes.
    EXPECT_TRUE(run(e, "").empty());
    EXPECT_TRUE(run(e, "   # a note").empty());
}

TEST(Commands, DumpDescribesTheWholePanel)
{
    FakeLine line;
    Engine e(line, AcceptMode::Any);
    for (const Bytes& t : {B({'2'}), B({'\\'}), B({'l', '+', '%'})})
        pcSend(e, line, t, 0, 0);
    Bytes row = {'l', '&', 0xA8, 0xC5, 0xDF, 0x80, 0x82, 0xBC, '#', 0x00};
    row.resize(24, 0x20);
    pcSend(e, line, row, 1, 0);
    run(e, "press 5");
    run(e, "sel2 7");

    const auto lines = run(e, "dump");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "OK");
    const std::string& s = lines[0];
    ASSERT_EQ(s.rfind("STATE {", 0), 0u);
    EXPECT_NE(s.find("\"leds\":\"010000000002\""), std::string::npos) << s;
    EXPECT_NE(s.find("\"key\":5,\"sel1\":1,\"sel2\":7"), std::string::npos) << s;
    EXPECT_NE(s.find("\"variant\":1,\"accept\":\"any\""), std::string::npos) << s;
    // 0xDF shows as 0x7F, which must be escaped; 0x82 is '"', 0xBC is '\'.
    EXPECT_NE(s.find("\"lcd\":[\"He\\u007F \\\"\\\\         \",\"               \""), std::string::npos) << s;
    EXPECT_NE(s.find("\"lcd_hex\":[\"A8C5DF8082BC808080808080808080\""), std::string::npos) << s;
    EXPECT_NE(s.find("\"counters\":{\"received\":4,\"sent\":0,\"refused\":0"), std::string::npos) << s;
    EXPECT_NE(s.find("\"line\":\"up\""), std::string::npos);
    EXPECT_EQ(s.back(), '}');
}

TEST(Commands, HistoryListsAcceptedTelegramsUntilCleared)
{
    FakeLine line;
    Engine e(line, AcceptMode::V1);
    EXPECT_EQ(run(e, "history"), (std::vector<std::string>{"HISTORY", "OK"}));
    pcSend(e, line, B({'#'}), 1, 0);
    pcSend(e, line, B({'#'}), 0, 0); // refused: not in the history
    pcSend(e, line, B({0x41, 0x10, 0xFF}), 1, 0);
    pcSend(e, line, Bytes{}, 1, 0);
    EXPECT_EQ(run(e, "history"), (std::vector<std::string>{"HISTORY 23 4110FF -", "OK"}));
    EXPECT_EQ(run(e, "clear"), kOk);
    EXPECT_EQ(run(e, "history")[0], "HISTORY");
}

TEST(Commands, LineAndLoopCommandsAreHandedToTheCaller)
{
    FakeLine line;
    Engine e(line, AcceptMode::V1);
    EXPECT_EQ(runCommand(e, "unplug", 0).control, Control::Unplug);
    EXPECT_EQ(runCommand(e, "replug", 0).control, Control::Replug);
    const auto w = runCommand(e, "wait 250", 0);
    EXPECT_EQ(w.control, Control::Wait);
    EXPECT_EQ(w.waitMs, 250);
    EXPECT_TRUE(w.lines.empty()) << "OK comes once the wait is over";
    EXPECT_EQ(runCommand(e, "quit", 0).control, Control::Quit);

    // The close fault is an unplug that "faults off" undoes.
    EXPECT_EQ(runCommand(e, "fault close on", 0).control, Control::Unplug);
    e.setLineUp(false, 0);
    EXPECT_EQ(run(e, "send 31"), std::vector<std::string>{"ERR line unplugged"});
    EXPECT_EQ(runCommand(e, "faults off", 0).control, Control::Replug);
    EXPECT_FALSE(e.fault(Fault::Close));
}

TEST(Commands, FaultSwitches)
{
    FakeLine line;
    Engine e(line, AcceptMode::V1);
    EXPECT_EQ(run(e, "fault nak-block on"), kOk);
    EXPECT_EQ(run(e, "fault garbage on"), kOk);
    EXPECT_TRUE(e.fault(Fault::NakBlock));
    EXPECT_EQ(run(e, "fault random 0.25 7"), kOk);
    EXPECT_EQ(run(e, "random 0.5 9"), kOk);
    EXPECT_DOUBLE_EQ(e.randomProbability(), 0.5);
    EXPECT_NE(stateLine(e).find("\"faults\":[\"nak-block\",\"garbage\",\"random\"]"), std::string::npos);
    EXPECT_EQ(run(e, "fault nak-block off"), kOk);
    EXPECT_FALSE(e.fault(Fault::NakBlock));
    EXPECT_EQ(run(e, "faults off"), kOk);
    EXPECT_FALSE(e.fault(Fault::Garbage));
    EXPECT_FALSE(e.randomFaultsOn());
    EXPECT_EQ(run(e, "fault silent on"), kOk);
    EXPECT_EQ(run(e, "send 31"), std::vector<std::string>{"ERR fault silent is on"});
}

TEST(ParseHex, AcceptsPairsWithOrWithoutBlanks)
{
    Bytes b;
    EXPECT_TRUE(parseHex("32 35 30", b));
    EXPECT_EQ(b, B({0x32, 0x35, 0x30}));
    EXPECT_TRUE(parseHex("0aFF10", b));
    EXPECT_EQ(b, B({0x0A, 0xFF, 0x10}));
    EXPECT_TRUE(parseHex("", b));
    EXPECT_TRUE(b.empty());
    EXPECT_FALSE(parseHex("3 235", b)); // a pair split by a blank
    EXPECT_FALSE(parseHex("0x10", b));
}
