// Fuzzes the virtual panel's decoder: its block receiver on arbitrary line bytes, the panel's
// telegram interpreter on every block it takes apart, and framing followed by unframing of
// arbitrary telegrams. The simulator is the reference the program is tested against, so a
// decoder that misreads what it frames would let faults through on both ends.
#include "framing.h"
#include "panel.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#define SIM_CHECK(cond)                                                                                                \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            std::printf("invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__);                                  \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

namespace {

using namespace kova_sim;

void CheckPanel(const Panel& panel, const Panel::Reaction& reaction)
{
    for (int k = 0; k < Panel::kKeys; ++k)
        SIM_CHECK(panel.led(k) == Led::Off || panel.led(k) == Led::On || panel.led(k) == Led::Flashing);
    SIM_CHECK(panel.key() >= 0 && panel.key() <= Panel::kKeys);
    SIM_CHECK(panel.selector1() >= 1 && panel.selector1() <= 12);
    SIM_CHECK(panel.selector2() >= 1 && panel.selector2() <= 12);
    SIM_CHECK(panel.nextRow() >= -1 && panel.nextRow() < Panel::kRows);
    SIM_CHECK(panel.ledString().size() == static_cast<size_t>(Panel::kKeys));
    for (int r = 0; r < Panel::kRows; ++r)
        SIM_CHECK(panel.rowText(r).size() == static_cast<size_t>(Panel::kCols));
    if (reaction.reply)
        SIM_CHECK(reaction.reply->size() <= BlockReceiver::kMaxTelegram);
}

// The line bytes as they come, block after block; every completed block is re-framed and must
// give back exactly the bytes that were consumed for it.
void DecodeStream(std::span<const uint8_t> line)
{
    Panel panel;
    BlockReceiver rx;
    Bytes consumed;
    for (uint8_t b : line) {
        consumed.push_back(b);
        const BlockReceiver::Step step = rx.feed(b);
        SIM_CHECK(rx.telegram().size() <= BlockReceiver::kMaxTelegram);
        if (step != BlockReceiver::Step::Done)
            continue;
        SIM_CHECK(rx.done());
        if (!rx.framingError() && rx.droppedBytes() == 0) {
            SIM_CHECK(rx.dataXor() == lineXor(rx.telegram()));
            const uint8_t bccConst = static_cast<uint8_t>(rx.dataXor() ^ rx.bcc());
            SIM_CHECK(frameBody(rx.telegram(), bccConst) == consumed);
            const Panel::Reaction reaction = panel.apply(rx.telegram());
            CheckPanel(panel, reaction);
        }
        rx.reset();
        consumed.clear();
    }
}

// Any telegram, framed in either variant, comes back whole (up to the storage bound) with the
// variant it was framed in, and the receiver finishes on the last byte, not before.
void RoundTrip(std::span<const uint8_t> telegram, bool variant1)
{
    const uint8_t bccConst = variant1 ? kBccConstV1 : kBccConstV0;
    const Bytes body = frameBody(telegram, bccConst);
    BlockReceiver rx;
    for (size_t i = 0; i < body.size(); ++i) {
        const BlockReceiver::Step step = rx.feed(body[i]);
        SIM_CHECK((step == BlockReceiver::Step::Done) == (i + 1 == body.size()));
    }
    SIM_CHECK(!rx.framingError());
    const size_t kept = telegram.size() < BlockReceiver::kMaxTelegram ? telegram.size() : BlockReceiver::kMaxTelegram;
    SIM_CHECK(rx.telegram().size() == kept);
    SIM_CHECK(rx.droppedBytes() == telegram.size() - kept);
    for (size_t i = 0; i < kept; ++i)
        SIM_CHECK(rx.telegram()[i] == telegram[i]);
    if (rx.droppedBytes() == 0) {
        const Variant expected = variant1 ? Variant::V1 : Variant::V0;
        SIM_CHECK(matchBcc(rx.dataXor(), rx.bcc(), AcceptMode::Any) == expected);
        SIM_CHECK(matchBcc(rx.dataXor(), rx.bcc(), variant1 ? AcceptMode::V1 : AcceptMode::V0) == expected);
        SIM_CHECK(matchBcc(rx.dataXor(), rx.bcc(), variant1 ? AcceptMode::V0 : AcceptMode::V1) == Variant::None);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::span<const uint8_t> rest(data + 1, size - 1);
    DecodeStream(rest);
    RoundTrip(rest, (data[0] & 1) != 0);
    return 0;
}
