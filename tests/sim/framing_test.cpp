// Expected bytes below were worked out by hand from the procedure's rules, not taken from the code.
#include "framing.h"
#include "sim_test_util.h"

#include <gtest/gtest.h>

using namespace kova_sim;
using kova_sim::test::B;

TEST(FrameBody, MatchesHandWorkedBlocksInBothVariants)
{
    EXPECT_EQ(frameBody(B({0x23})), B({0x23, 0x10, 0x03, 0x30}));
    EXPECT_EQ(frameBody(B({0x23}), kBccConstV0), B({0x23, 0x10, 0x03, 0x32}));

    // The data DLE is doubled, the BCC 0x10 is not.
    EXPECT_EQ(frameBody(B({0x41, 0x10, 0x42})), B({0x41, 0x10, 0x10, 0x42, 0x10, 0x03, 0x10}));
    EXPECT_EQ(frameBody(B({0x41, 0x10, 0x42}), kBccConstV0).back(), 0x12);

    EXPECT_EQ(frameBody(B({0x6C, 0x2B, 0x25})).back(), 0x71);
    EXPECT_EQ(frameBody(B({0x6C, 0x2B, 0x25}), kBccConstV0).back(), 0x73);

    EXPECT_EQ(frameBody(Bytes{}), B({0x10, 0x03, 0x13}));
    EXPECT_EQ(frameBody(Bytes{}, kBccConstV0), B({0x10, 0x03, 0x11}));

    // Several DLEs in a row are each doubled; the XOR of a pair cancels.
    EXPECT_EQ(frameBody(B({0x10, 0x10})), B({0x10, 0x10, 0x10, 0x10, 0x10, 0x03, 0x13}));
}

TEST(MatchBcc, EachModeAcceptsOnlyItsVariants)
{
    const std::uint8_t x = 0x23; // "#"
    EXPECT_EQ(matchBcc(x, 0x30, AcceptMode::V1), Variant::V1);
    EXPECT_EQ(matchBcc(x, 0x32, AcceptMode::V1), Variant::None);
    EXPECT_EQ(matchBcc(x, 0x32, AcceptMode::V0), Variant::V0);
    EXPECT_EQ(matchBcc(x, 0x30, AcceptMode::V0), Variant::None);
    EXPECT_EQ(matchBcc(x, 0x30, AcceptMode::Any), Variant::V1);
    EXPECT_EQ(matchBcc(x, 0x32, AcceptMode::Any), Variant::V0);
    EXPECT_EQ(matchBcc(x, 0x31, AcceptMode::Any), Variant::None);
}

namespace {

BlockReceiver fed(const Bytes& bytes)
{
    BlockReceiver r;
    for (std::uint8_t b : bytes)
        r.feed(b);
    return r;
}

} // namespace

TEST(BlockReceiver, UnstuffsDataAndKeepsTheBcc)
{
    const auto r = fed(B({0x41, 0x10, 0x10, 0x42, 0x10, 0x03, 0x10}));
    ASSERT_TRUE(r.done());
    EXPECT_EQ(r.telegram(), B({0x41, 0x10, 0x42}));
    EXPECT_EQ(r.dataXor(), 0x03);
    EXPECT_EQ(r.bcc(), 0x10);
    EXPECT_FALSE(r.framingError());

    // An ETX that does not follow a single DLE is data.
    const auto etx = fed(B({0x41, 0x03, 0x42, 0x10, 0x03, 0x00}));
    ASSERT_TRUE(etx.done());
    EXPECT_EQ(etx.telegram(), B({0x41, 0x03, 0x42}));

    const auto empty = fed(B({0x10, 0x03, 0x13}));
    ASSERT_TRUE(empty.done());
    EXPECT_TRUE(empty.telegram().empty());
    EXPECT_EQ(empty.bcc(), 0x13);
}

TEST(BlockReceiver, FlagsALoneDleAndIgnoresBytesAfterTheEnd)
{
    auto r = fed(B({0x41, 0x10, 0x42, 0x10, 0x03, 0x00}));
    ASSERT_TRUE(r.done());
    EXPECT_TRUE(r.framingError());

    EXPECT_EQ(r.feed(0x55), BlockReceiver::Step::Done);
    EXPECT_EQ(r.bcc(), 0x00);
}

TEST(BlockReceiver, BoundsAnOverlongBlockButFollowsItToTheEnd)
{
    Bytes line(300, 0x41);
    line.push_back(0x10);
    line.push_back(0x10); // a doubled DLE past the bound still counts as data
    line.push_back(0x10);
    line.push_back(0x03);
    line.push_back(0x13);
    const auto r = fed(line);
    ASSERT_TRUE(r.done());
    EXPECT_EQ(r.telegram().size(), BlockReceiver::kMaxTelegram);
    EXPECT_EQ(r.droppedBytes(), 301u - BlockReceiver::kMaxTelegram);
    EXPECT_EQ(r.bcc(), 0x13);
}
