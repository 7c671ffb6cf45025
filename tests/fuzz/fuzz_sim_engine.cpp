// Fuzzes the virtual panel's engine: the input is the PC's side of the line, interleaved with
// clock steps, so the decoder, the time-outs and the fault paths all see hostile input. The
// first byte switches random faults on (odd) and seeds them.
#include "commands.h"
#include "engine.h"

#include <cstddef>
#include <cstdint>

namespace {

struct NullSink : kova_sim::LineSink {
    void sendBytes(std::span<const std::uint8_t>) override {}
    void hangUp(int) override { hungUp = true; }
    void note(std::string_view) override {}
    bool hungUp = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    NullSink sink;
    kova_sim::Engine engine(sink, kova_sim::AcceptMode::Any);
    if (size > 0 && (data[0] & 1))
        engine.setRandomFaults(0.3, data[0]);
    std::int64_t now = 0;
    for (std::size_t i = 1; i < size; ++i) {
        // 0xFE escapes a clock step; everything else is a byte from the PC.
        if (data[i] == 0xFE && i + 1 < size) {
            now += data[++i] * 16;
            engine.tick(now);
            continue;
        }
        if (sink.hungUp) {
            sink.hungUp = false;
            engine.setLineUp(true, now);
        }
        engine.receive(data[i], now);
    }
    (void)kova_sim::stateLine(engine);
    return 0;
}
