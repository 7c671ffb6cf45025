// The panel's half of the block procedure, driven byte by byte with a made-up clock. Expected line
// bytes are worked out by hand.
#include "engine.h"
#include "sim_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using namespace kova_sim;
using namespace kova_sim::test;

TEST(EngineReceive, IdentifyInVariant1IsAcknowledgedAndAnswered)
{
    FakeLine line;
    Engine e(line, AcceptMode::V1);

    e.receive(0x02, 0);
    EXPECT_EQ(line.take(), B({0x10}));
    feed(e, B({0x23, 0x10, 0x03, 0x30}), 1);
    // DLE accepts the block, and the reply block starts straight away.
    EXPECT_EQ(line.take(), B({0x10, 0x02}));
    e.receive(0x10, 2);
    // 'K' 'A' 'Q', then DLE ETX and BCC 4B^41^51^13 = 48.
    EXPECT_EQ(line.take(), B({0x4B, 0x41, 0x51, 0x10, 0x03, 0x48}));
    e.receive(0x10, 3);
    EXPECT_TRUE(line.take().empty());

    EXPECT_EQ(e.counters().received, 1u);
    EXPECT_EQ(e.counters().sent, 1u);
    EXPECT_EQ(e.lastVariant(), Variant::V1);
    ASSERT_EQ(e.history().size(), 1u);
    EXPECT_EQ(e.history()[0], B({0x23}));
    EXPECT_EQ(e.state(), Engine::State::Idle);
}

TEST(EngineReceive, EachModeRefusesTheOtherVariantWithNak)
{
    {
        FakeLine line;
        Engine e(line, AcceptMode::V1);
        feedBlock(e, line, B({0x23, 0x10, 0x03, 0x32}), 0);
        EXPECT_EQ(line.take(), B({0x15}));
        EXPECT_EQ(e.counters().refused, 1u);
        EXPECT_EQ(e.queued(), 0u) << "a refused identify must not be answered";
        EXPECT_TRUE(e.history().empty());
    }
    {
        // The PC's handshake against a variant-0 panel: "#" in variant 1 refused, then in
        // variant 0 accepted and answered.
        FakeLine line;
        Engine e(line, AcceptMode::V0);
        EXPECT_EQ(pcSend(e, line, B({0x23}), 1, 0), B({0x15}));
        EXPECT_EQ(e.lastVariant(), Variant::None);
        e.receive(0x02, 10);
        EXPECT_EQ(line.take(), B({0x10}));
        feed(e, B({0x23, 0x10, 0x03, 0x32}), 10);
        EXPECT_EQ(line.take(), B({0x10, 0x02}));
        EXPECT_EQ(e.lastVariant(), Variant::V0);
        line.out = B({0x02});
        EXPECT_EQ(pcReceive(e, line, 11), B({'K', 'A', 'Q'}));
        // "@" in variant 0: 40 ^ 11 = 51.
        feedBlock(e, line, B({0x40, 0x10, 0x03, 0x51}), 20);
        EXPECT_EQ(line.take(), B({0x10}));
        EXPECT_EQ(e.counters().received, 2u);
        EXPECT_EQ(e.counters().refused, 1u);
    }
}

TEST(EngineReceive, AnyModeTracksTheVariantOfTheLastBlock)
{
    FakeLine line;
    Engine e(line, AcceptMode::Any);
    EXPECT_EQ(pcSend(e, line, B({0x40}), 1, 0), B({0x10}));
    EXPECT_EQ(e.lastVariant(), Variant::V1);
    EXPECT_EQ(pcSend(e, line, B({0x40}), 0, 1), B({0x10}));
    EXPECT_EQ(e.lastVariant(), Variant::V0);
    // A BCC that fits neither.
    feedBlock(e, line, B({0x40, 0x10, 0x03, 0x52}), 2);
    EXPECT_EQ(line.take(), B({0x15}));
    EXPECT_EQ(e.lastVariant(), Variant::V0);
}

TEST(EngineReceive, HandWorkedEdgeBlocks)
{
    // 41 10 42 with its data DLE doubled, the empty telegram, and "l+%", which is answered with
    // a key report block; each with its BCC in variant 1 and in variant 0.
    struct Edge {
        Bytes block;
        std::uint8_t bcc1;
        std::uint8_t bcc0;
        Bytes answer;
    };
    const Edge edges[] = {
        {B({0x41, 0x10, 0x10, 0x42, 0x10, 0x03}), 0x10, 0x12, B({0x10})},
        {B({0x10, 0x03}), 0x13, 0x11, B({0x10})},
        {B({0x6C, 0x2B, 0x25, 0x10, 0x03}), 0x71, 0x73, B({0x10, 0x02})},
    };
    for (const AcceptMode mode : {AcceptMode::V1, AcceptMode::V0}) {
        SCOPED_TRACE(mode == AcceptMode::V1 ? "v1" : "v0");
        FakeLine line;
        Engine e(line, mode);
        for (int t = 0; t < 3; ++t) {
            Bytes block = edges[t].block;
            block.push_back(mode == AcceptMode::V1 ? edges[t].bcc1 : edges[t].bcc0);
            feedBlock(e, line, block, t);
            EXPECT_EQ(line.take(), edges[t].answer);
        }
        ASSERT_EQ(e.history().size(), 3u);
        EXPECT_EQ(e.history()[0], B({0x41, 0x10, 0x42}));
        EXPECT_TRUE(e.history()[1].empty());
        EXPECT_EQ(e.counters().refused, 0u);
    }
}

TEST(EngineReceive, MalformedAndOverlongBlocksAreRefusedAndTheLineStaysInStep)
{
    FakeLine line;
    Engine e(line, AcceptMode::V1);
    // A lone DLE inside the data: refused even though the BCC fits the bytes.
    feedBlock(e, line, B({0x41, 0x10, 0x42, 0x10, 0x03, 0x41 ^ 0x10 ^ 0x42 ^ 0x13}), 0);
    EXPECT_EQ(line.take(), B({0x15}));

    // 300 data bytes with a correct BCC: followed to the end, then refused.
    e.receive(0x02, 1);
    line.take();
    Bytes big(300, 0x41);
    feed(e, pcBody(big, 1), 1);
    EXPECT_EQ(line.take(), B({0x15}));
    EXPECT_EQ(e.counters().refused, 2u);
    EXPECT_EQ(e.state(), Engine::State::Idle);

    // The next ordinary block goes through.
    EXPECT_EQ(pcSend(e, line, B({'1'}), 1, 2), B({0x10}));
    EXPECT_EQ(e.panel().led(0), Led::On);
}

TEST(EngineReceive, ABlockThatBreaksOffIsDroppedAfterTheGap)
{
    FakeLine line;
    Engine e(line, AcceptMode::V1);
    e.receive(0x02, 0);
    e.receive(0x23, 10);
    line.take();
    e.tick(10 + Engine::kRxByteTimeoutMs - 1);
    EXPECT_EQ(e.state(), Engine::State::Receiving);
    e.tick(10 + Engine::kRxByteTimeoutMs);
    EXPECT_EQ(e.state(), Engine::State::Idle);
    EXPECT_EQ(e.counters().rxAborted, 1u);
    EXPECT_TRUE(line.take().empty()) << "a broken block gets no answer";
    EXPECT_EQ(pcSend(e, line, B({'@'}), 1, 2000), B({0x10}));
}

// An engine that takes variant 1, on a fake line.
class V1Engine : public ::testing::Test {
protected:
    FakeLine line;
    Engine e{line, AcceptMode::V1};
};
class EngineSend : public V1Engine {};
class EngineFaults : public V1Engine {};
class EngineLine : public V1Engine {};

TEST_F(EngineSend, KeyReportBlockAndNoRetryAfterTheTimeout)
{
    ASSERT_TRUE(e.pressKey(3, 0));
    EXPECT_EQ(pcReceive(e, line, 5), B({'3'}));
    EXPECT_EQ(e.counters().sent, 1u);

    // '<' (key 12): 3C ^ 13 = 2F.
    e.pressKey(12, 10);
    EXPECT_EQ(line.take(), B({0x02}));
    e.receive(0x10, 11);
    EXPECT_EQ(line.take(), B({0x3C, 0x10, 0x03, 0x2F}));
    // The PC never acknowledges: given up after the time-out, not repeated.
    e.tick(11 + Engine::kAckTimeoutMs - 1);
    EXPECT_EQ(e.state(), Engine::State::WaitAccept);
    e.tick(11 + Engine::kAckTimeoutMs);
    EXPECT_EQ(e.state(), Engine::State::Idle);
    EXPECT_EQ(e.counters().txFailed, 1u);
    EXPECT_EQ(line.discards, 1);
    EXPECT_EQ(e.queued(), 0u);
    e.tick(20000);
    EXPECT_TRUE(line.take().empty());
}

TEST_F(EngineSend, QueuedReportsGoOutOneAfterAnother)
{
    e.pressKey(2, 0);
    e.releaseKey(0);
    e.setSelector(1, 12, 0);
    e.setSelector(2, 3, 0);
    EXPECT_EQ(e.queued(), 4u);
    EXPECT_EQ(pcReceive(e, line, 1), B({'2'}));
    EXPECT_EQ(pcReceive(e, line, 2), B({'0'}));
    EXPECT_EQ(pcReceive(e, line, 3), B({'L'}));
    EXPECT_EQ(pcReceive(e, line, 4), B({'S'}));
    EXPECT_EQ(e.counters().sent, 4u);
}

TEST_F(EngineSend, CollisionYieldsToThePcThenRetries)
{
    e.pressKey(3, 0);
    EXPECT_EQ(line.take(), B({0x02}));

    // The PC's STX crosses ours: the panel yields with DLE and takes the PC's block ('1', BCC 22).
    e.receive(0x02, 1);
    EXPECT_EQ(line.take(), B({0x10}));
    EXPECT_EQ(e.counters().collisions, 1u);
    feed(e, B({0x31, 0x10, 0x03, 0x22}), 2);
    // Accepted, and our block is tried again: '3' = 33, BCC 33 ^ 13 = 20.
    EXPECT_EQ(line.take(), B({0x10, 0x02}));
    e.receive(0x10, 3);
    EXPECT_EQ(line.take(), B({0x33, 0x10, 0x03, 0x20}));
    e.receive(0x10, 4);
    EXPECT_EQ(e.counters().sent, 1u);
    EXPECT_EQ(e.panel().led(0), Led::On);
}

TEST_F(EngineSend, AnAnswerGoesAheadOfReportsAlreadyWaiting)
{
    // The PC reads the reply right after its block; a key report that was waiting (here one that
    // lost a collision against the PC's "#") must not be taken for the identify reply.
    e.pressKey(3, 0);
    e.setSelector(1, 2, 0);
    EXPECT_EQ(line.take(), B({0x02}));
    e.receive(0x02, 1);
    EXPECT_EQ(line.take(), B({0x10}));
    feed(e, B({0x23, 0x10, 0x03, 0x30}), 2);
    line.out.erase(line.out.begin()); // the DLE accepting the block
    EXPECT_EQ(pcReceive(e, line, 3), B({'K', 'B', 'Q'}));
    EXPECT_EQ(pcReceive(e, line, 4), B({'3'}));
    EXPECT_EQ(pcReceive(e, line, 5), B({'B'}));
}

TEST_F(EngineSend, CollisionWithAPcThatGaveUpDoesNotHang)
{
    e.pressKey(5, 0);
    line.take();
    // The PC took our STX as a refusal of its own and sends nothing more.
    e.receive(0x02, 1);
    EXPECT_EQ(line.take(), B({0x10}));
    e.tick(1 + Engine::kRxByteTimeoutMs);
    EXPECT_EQ(e.counters().rxAborted, 1u);
    EXPECT_EQ(pcReceive(e, line, 1 + Engine::kRxByteTimeoutMs), B({'5'}));

    // Same again, but the PC's next block starts while the stale DLE is still on its side: its
    // fresh STX is answered anew and the block is taken normally.
    e.pressKey(6, 2000);
    line.take();
    e.receive(0x02, 2001);
    line.take();
    e.receive(0x02, 2100);
    EXPECT_EQ(line.take(), B({0x10}));
    feed(e, B({0x41, 0x10, 0x03, 0x52}), 2101);
    EXPECT_EQ(line.take(), B({0x10, 0x02}));
    EXPECT_EQ(e.history().back(), B({0x41}));
}

TEST_F(EngineSend, RepeatedCollisionsEventuallyDropTheBlock)
{
    e.pressKey(1, 0);
    std::int64_t t = 0;
    for (int i = 0; i <= Engine::kMaxCollisionRetries; ++i) {
        ASSERT_EQ(line.take(), B({0x02})) << "attempt " << i;
        e.receive(0x02, ++t);
        EXPECT_EQ(line.take(), B({0x10}));
        feed(e, B({0x40, 0x10, 0x03, 0x53}), ++t);
        EXPECT_EQ(line.take().front(), 0x10);
        line.out = i < Engine::kMaxCollisionRetries ? B({0x02}) : Bytes{};
    }
    EXPECT_EQ(e.queued(), 0u);
    EXPECT_EQ(e.counters().txFailed, 1u);
    EXPECT_EQ(e.counters().received, 4u);
}

TEST_F(EngineSend, PcStartingABlockInsteadOfAcknowledgingOursIsServed)
{
    e.pressKey(7, 0);
    line.take();
    e.receive(0x10, 1);
    line.take();
    e.receive(0x02, 2);
    EXPECT_EQ(line.take(), B({0x10}));
    EXPECT_EQ(e.counters().txFailed, 1u);
    feed(e, B({0x40, 0x10, 0x03, 0x53}), 3);
    EXPECT_EQ(line.take(), B({0x10}));
}

TEST_F(EngineFaults, RefusalsAndSilence)
{
    e.setFault(Fault::NakStx, true, 0);
    e.receive(0x02, 0);
    EXPECT_EQ(line.take(), B({0x15}));
    e.setFault(Fault::NakStx, false, 0);

    e.setFault(Fault::NakBlock, true, 0);
    EXPECT_EQ(pcSend(e, line, B({'#'}), 1, 1), B({0x15}));
    EXPECT_EQ(e.queued(), 0u);
    e.setFault(Fault::NakBlock, false, 0);

    e.pressKey(4, 2);
    line.take();
    e.setFault(Fault::Silent, true, 3);
    e.tick(3 + Engine::kAckTimeoutMs); // the block already on the line runs out
    e.receive(0x02, 5000);
    e.pressKey(9, 5000);
    e.tick(9000);
    EXPECT_TRUE(line.take().empty());
    EXPECT_EQ(e.queued(), 0u);
    EXPECT_EQ(e.panel().key(), 9) << "the key itself is still held";

    e.clearFaults(9000);
    EXPECT_EQ(pcSend(e, line, B({'@'}), 1, 9001), B({0x10}));
}

TEST_F(EngineFaults, GarbageStallAndOverlongShapeTheBlocksWeSend)
{
    e.setFault(Fault::Garbage, true, 0);
    e.pressKey(2, 0);
    EXPECT_EQ(line.take(), B({0x55, 0xAA, 0xFF, 0x02}));
    e.receive(0x10, 1);
    line.take();
    e.receive(0x10, 1);
    e.setFault(Fault::Garbage, false, 1);

    e.setFault(Fault::Stall, true, 10);
    e.setSelector(1, 4, 10); // 'D' 44, BCC 57: body 44 10 03 57
    EXPECT_EQ(line.take(), B({0x02}));
    e.receive(0x10, 11);
    EXPECT_EQ(line.take(), B({0x44, 0x10}));
    e.tick(11 + Engine::kStallMs - 1);
    EXPECT_TRUE(line.take().empty());
    e.tick(11 + Engine::kStallMs);
    EXPECT_EQ(line.take(), B({0x03, 0x57}));
    e.receive(0x10, 700);
    EXPECT_EQ(e.counters().sent, 2u);
    e.setFault(Fault::Stall, false, 700);

    e.setFault(Fault::Overlong, true, 800);
    e.pressKey(1, 800);
    const Bytes t = pcReceive(e, line, 801);
    ASSERT_EQ(t.size(), Engine::kOverlongSize);
    EXPECT_EQ(t[0], '1');
    EXPECT_GT(std::count(t.begin(), t.end(), 0x10), 10);
}

TEST_F(EngineFaults, RandomFaultsAreReproducibleAndNeverWedgeTheLine)
{
    auto run = [](std::uint32_t seed) {
        FakeLine line;
        Engine e(line, AcceptMode::V1);
        e.setRandomFaults(0.5, seed);
        std::int64_t t = 0;
        Bytes trace;
        for (int i = 0; i < 200; ++i) {
            if (line.hangUps) {
                line.hangUps = 0;
                t += line.replugAfter;
                e.setLineUp(true, t);
            }
            if (i % 2)
                e.pressKey(1 + i % 12, t);
            else
                pcSend(e, line, B({'#'}), 1, t);
            for (int k = 0; k < 4; ++k) { // a PC that answers whatever STX it sees
                const Bytes out = line.take();
                trace.insert(trace.end(), out.begin(), out.end());
                if (std::find(out.begin(), out.end(), 0x02) != out.end() || (!out.empty() && out.back() != 0x15))
                    e.receive(0x10, t);
                t += 700;
                e.tick(t);
            }
            t += 3000;
            e.tick(t);
            EXPECT_EQ(e.state(), Engine::State::Idle) << "seed " << seed << " step " << i;
        }
        return trace;
    };
    EXPECT_EQ(run(42), run(42));
    EXPECT_NE(run(42), run(43));
}

TEST(EngineRobustness, HostileInputNeverWedgesTheEngine)
{
    FakeLine line;
    Engine e(line, AcceptMode::Any);
    std::mt19937 rng(1234);
    std::int64_t t = 0;
    for (int i = 0; i < 200000; ++i) {
        const std::uint32_t r = rng();
        // Bias towards the control bytes, where the state machine branches.
        static const std::uint8_t kInteresting[] = {0x02, 0x03, 0x10, 0x15, 0x23};
        const std::uint8_t b = (r & 3) ? kInteresting[(r >> 8) % 5] : static_cast<std::uint8_t>(r >> 16);
        e.receive(b, t);
        if ((r >> 24) < 8)
            e.pressKey(1 + static_cast<int>(r % 12), t);
        if ((r >> 24) == 255)
            t += 2500;
        else
            t += (r >> 28);
        line.out.clear();
    }
    EXPECT_LE(e.queued(), Engine::kMaxQueue);
    EXPECT_LE(e.history().size(), Engine::kMaxHistory);
    // Once the PC is quiet for longer than every time-out, a clean exchange works again.
    t += 10 * Engine::kAckTimeoutMs;
    for (int i = 0; i < 100 && e.queued(); ++i) {
        t += Engine::kAckTimeoutMs;
        e.tick(t);
    }
    line.out.clear();
    EXPECT_EQ(e.state(), Engine::State::Idle);
    EXPECT_EQ(pcSend(e, line, B({'#'}), 1, t), B({0x10}));
    EXPECT_EQ(pcReceive(e, line, t).size(), 3u);
}

TEST_F(EngineLine, UnplugDropsWhatIsInFlightAndReplugStartsClean)
{
    e.pressKey(1, 0);
    e.pressKey(2, 0);
    line.take();
    e.setLineUp(false, 1);
    EXPECT_EQ(e.queued(), 0u);
    EXPECT_EQ(e.counters().txFailed, 1u);
    e.pressKey(3, 2);
    e.receive(0x02, 2);
    EXPECT_TRUE(line.take().empty());
    EXPECT_EQ(e.panel().key(), 3);
    e.setLineUp(true, 3);
    EXPECT_EQ(pcSend(e, line, B({'@'}), 1, 4), B({0x10}));
}
