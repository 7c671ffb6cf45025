// The virtual panel's operator: what it does with the panel's LEDs and LCD, and how each fault
// changes what the panel reports.
#include "operator.h"
#include "sim_test_util.h"

#include <gtest/gtest.h>

using namespace kova_sim;
using namespace kova_sim::test;

namespace {

struct Rig {
    FakeLine line;
    Engine e{line, AcceptMode::V1};
    Operator op;
    std::int64_t now = 0;
    std::vector<int> keys{0}; // each change of the held key
    std::vector<int> sel2;    // each position selector 2 took

    explicit Rig(const std::vector<std::string>& faults = {})
    {
        op.setOn(true);
        for (const std::string& f : faults) {
            std::vector<std::string_view> words;
            for (std::size_t i = 0, j = 0; i <= f.size(); ++i)
                if (i == f.size() || f[i] == ' ') {
                    words.emplace_back(f.data() + j, i - j);
                    j = i + 1;
                }
            EXPECT_EQ(op.addFault(words), "") << f;
        }
        run(0);
    }
    // The PC sends one telegram and takes the panel's reply, when there is one.
    void send(const Bytes& telegram)
    {
        EXPECT_EQ(pcSend(e, line, telegram, 1, now), B({0x10}));
        if (!line.out.empty())
            pcReceive(e, line, now);
        run(0);
    }
    void rows(const std::vector<std::string>& texts)
    {
        send({'l', '+', '%'});
        for (std::size_t r = 0; r < 8; ++r) {
            Bytes t{'l', '&'};
            for (char c : r < texts.size() ? texts[r] : std::string())
                t.push_back(static_cast<std::uint8_t>(c + 0x60));
            t.push_back('#');
            t.push_back(0);
            t.resize(24, 0x20);
            send(t);
        }
    }
    // Lets ms pass a millisecond at a time, the reports taken off the line as the PC would.
    void run(int ms)
    {
        for (const std::int64_t end = now + ms; now <= end; ++now) {
            e.tick(now);
            op.step(e, now);
            line.take();
            if (e.panel().key() != keys.back())
                keys.push_back(e.panel().key());
            if (sel2.empty() || e.panel().selector2() != sel2.back())
                sel2.push_back(e.panel().selector2());
        }
    }
};

} // namespace

TEST(Operator, PressesTheKeyUnderTheOneLitLedAsEachFaultMakesIt)
{
    const struct {
        const char* fault;
        int lit;
        std::vector<int> keys; // the held key as it changed, from none
    } cases[] = {
        {"", 7, {0, 7, 0}},
        {"dead-key 7", 7, {0}},
        {"dead-key 7", 8, {0, 8, 0}},
        {"crossed-keys 3 4", 3, {0, 4, 0}},
        {"crossed-keys 3 4", 4, {0, 3, 0}},
        {"bouncing-key 6", 6, {0, 6, 0, 6, 0}},
        // Down before anyone looks, and never up again.
        {"stuck-key 5", 5, {0, 5}},
        {"stuck-key 5", 2, {0, 5, 2, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + ", LED " + std::to_string(c.lit));
        Rig rig(*c.fault ? std::vector<std::string>{c.fault} : std::vector<std::string>{});
        rig.send({static_cast<std::uint8_t>('1' + c.lit - 1)});
        rig.run(Operator::kReactMs - 5);
        EXPECT_EQ(rig.keys.size(), std::string(c.fault).starts_with("stuck") ? 2u : 1u) << "pressed too soon";
        rig.run(400);
        EXPECT_EQ(rig.keys, c.keys);
    }
    // Twelve LEDs coming on one by one are no request to press the first.
    Rig rig;
    for (int k = 0; k < 12; ++k)
        rig.send({static_cast<std::uint8_t>('1' + k)});
    rig.run(400);
    EXPECT_EQ(rig.keys, std::vector<int>{0});
}

TEST(Operator, TurnsTheSelectorAndAnswersWhatTheLcdAsks)
{
    Rig rig({"selector-gap 2 7"});
    rig.rows({"PANEL CHECK", "", "TURN SELECTOR 2", "THROUGH ALL 12"});
    rig.run(Operator::kReactMs + 13 * Operator::kTurnStepMs);
    EXPECT_EQ(rig.sel2, (std::vector<int>{1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 1}));

    // Yes to every question, but no to the second with "answer-no 2"; a question asked again
    // with other words is a new one.
    for (const char* fault : {"", "answer-no", "answer-no 2"}) {
        SCOPED_TRACE(fault);
        Rig ask(*fault ? std::vector<std::string>{fault} : std::vector<std::string>{});
        for (const char* q : {"ALL LEDS ON?", "ALL FLASHING?"}) {
            ask.rows({"PANEL CHECK", "", q, "", "", "KEY 1 = YES", "KEY 2 = NO"});
            ask.run(400);
        }
        const int second = std::string(fault).starts_with("answer-no") ? 2 : 1;
        const int first = std::string(fault) == "answer-no" ? 2 : 1;
        EXPECT_EQ(ask.keys, (std::vector<int>{0, first, 0, second, 0}));
    }
}

TEST(Operator, RefusesFaultsItCannotPlay)
{
    Operator op;
    for (const std::vector<std::string_view>& bad : {std::vector<std::string_view>{},
                                                     {"dead-key"},
                                                     {"dead-key", "13"},
                                                     {"crossed-keys", "3", "3"},
                                                     {"crossed-keys", "3"},
                                                     {"selector-gap", "3", "1"},
                                                     {"answer-no", "x"},
                                                     {"bogus"}})
        EXPECT_NE(op.addFault(bad), "");
    EXPECT_EQ(op.describe(), "off, faults: none");
    EXPECT_EQ(op.addFault({"crossed-keys", "3", "4"}), "");
    EXPECT_EQ(op.describe(), "off, faults: crossed-keys 3 4");
}
