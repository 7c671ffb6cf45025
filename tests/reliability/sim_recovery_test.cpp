// The virtual panel must come out of a broken exchange before the program's next attempt:
// the program gives up after its 364 ms reply time-out, reconnects and sends STX again. A
// panel that waited longer than that for the rest of a block took each new STX as data and
// never answered again (found by the soak).
#include "engine.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct CRecordingSink : kova_sim::LineSink {
    std::vector<std::uint8_t> sent;
    void sendBytes(std::span<const std::uint8_t> bytes) override
    {
        sent.insert(sent.end(), bytes.begin(), bytes.end());
    }
    void hangUp(int) override {}
    void note(std::string_view) override {}
};

TEST(SimRecovery, StxAfterTheProgramsTimeOutIsAnsweredNotSwallowed)
{
    CRecordingSink sink;
    kova_sim::Engine engine(sink, kova_sim::AcceptMode::Any);
    // The program starts a block, gets its DLE, sends one byte that opens a DLE pair and
    // then gives up (its own time-out) and comes back with a fresh STX, again and again.
    std::int64_t now = 0;
    engine.receive(0x02, now);
    ASSERT_EQ(sink.sent, std::vector<std::uint8_t>{0x10});
    engine.receive(0x10, now + 1);
    for (int attempt = 0; attempt < 5; ++attempt) {
        now += 364 + 52; // the program's time-out plus its reconnect
        sink.sent.clear();
        engine.tick(now);
        engine.receive(0x02, now);
        EXPECT_EQ(sink.sent, std::vector<std::uint8_t>{0x10}) << "attempt " << attempt;
        // This attempt breaks off after the STX as well.
    }
    EXPECT_LT(kova_sim::Engine::kRxByteTimeoutMs, 364);
}

} // namespace
