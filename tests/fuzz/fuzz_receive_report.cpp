// Fuzzes the way in of every unasked telegram: ReceiveBlock on the scripted peer, then
// ApplyReport of the first byte, as the poll tick does. The input is a script of arriving
// bytes and clock steps (and an optional hang-up), so framing, time-outs and the panel
// state are all hit with hostile timing as well as hostile bytes.
//
// Script bytes:  0xFE n  the clock moves on by 4 * n ms (up to 1020, well past the time-out)
//                0xFD n  the line hangs up n ms from now
//                0xFC b  byte b arrives (to send 0xFC..0xFE themselves)
//                other   that byte arrives now
// The first byte chooses the driver: bit 0 set runs whole poll ticks with a permanence test
// going, so the PC's own sends meet the same input.
#include "fake_clock.h"
#include "fake_serial_device.h"
#include "fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

void Script(CFakeSerialDevice& device, const uint8_t* data, size_t size)
{
    int32_t t = 0;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        if (b >= 0xFC && b <= 0xFE && i + 1 < size) {
            const uint8_t arg = data[++i];
            if (b == 0xFE)
                t += 4 * arg;
            else if (b == 0xFD)
                device.HangUpAt(t + arg);
            else
                device.Feed({arg}, t);
            continue;
        }
        device.Feed({b}, t);
    }
}

void CheckSelectors(const CPanelModel& model)
{
    FUZZ_CHECK(model.m_chSwitch1 == '@' || (model.m_chSwitch1 >= 'A' && model.m_chSwitch1 <= 'L'));
    FUZZ_CHECK(model.m_chSwitch2 == 'P' || (model.m_chSwitch2 >= 'Q' && model.m_chSwitch2 <= '\\'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    CFakeClock clock;
    CFakeSerialDevice device(clock);
    CTestView view;
    view.m_bKeepLog = false;
    CPanelModel model(view, &device, &clock);
    view.m_pModel = &model;
    model.InitState();
    const bool ticks = (data[0] & 1) != 0;
    Script(device, data + 1, size - 1);
    FUZZ_CHECK(model.m_link.Open(PortDevicePath(1), 9600) == 1);
    model.g_bWasConnected = 1;

    // On the heap and exactly as large as every caller's buffer, so that AddressSanitizer
    // catches a single byte stored past its end.
    auto reply = std::make_unique<uint8_t[]>(kReplyBufferSize);
    const int limit = static_cast<int>(size) + 4;
    for (int round = 0; round < limit && model.m_link.m_bOpen; ++round) {
        const size_t pendingBefore = device.Pending();
        const size_t writtenBefore = device.Written().size();
        const long waitsBefore = device.WaitCalls();
        if (ticks) {
            if (round == 0)
                model.OnPermTestStart();
            model.OnTimer();
        } else {
            int count = -1;
            reply[0] = 0;
            const int result = model.m_link.ReceiveBlock(reply.get(), &count);
            FUZZ_CHECK(result == kBlockDone || result == kBlockNoByte || result == kBlockWrongByte
                       || result == kBlockClosed);
            if (result == kBlockDone)
                FUZZ_CHECK(count >= 0 && count <= kReplyBufferSize);
            else
                FUZZ_CHECK(count == -1);
            // Closed is the only result that leaves the link closed.
            FUZZ_CHECK((result == kBlockClosed) == !model.m_link.m_bOpen);
            model.ApplyReport(reply[0]);
        }
        CheckModelState(model);
        CheckSelectors(model);
        // Waiting sleeps in the device: a handful of waits per byte taken or sent, never a spin.
        const long consumed = static_cast<long>(pendingBefore - device.Pending());
        const long written = static_cast<long>(device.Written().size() - writtenBefore);
        FUZZ_CHECK(device.WaitCalls() - waitsBefore <= 3 * (consumed + written) + 16);
        if (device.Pending() == 0 && model.m_link.m_bOpen && model.m_link.BytesWaiting() == 0 && !ticks)
            break;
    }
    // A line that has hung up and has been read to its end may not stay open: the next
    // exchange has to find out and close it.
    if (model.m_link.m_bOpen && device.Pending() == 0) {
        int count = 0;
        const int result = model.m_link.ReceiveBlock(reply.get(), &count);
        FUZZ_CHECK(result == kBlockClosed);
        FUZZ_CHECK(!model.m_link.m_bOpen);
    }
    // The one-time notice comes at most once per loss of the link.
    model.OnTimer();
    FUZZ_CHECK(view.Count(IDS_PANEL_NOT_FOUND) == 1);
    return 0;
}
