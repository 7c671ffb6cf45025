// Fuzzes connecting: OnSerialPort with its handshake ("#" in both variants, the identify
// reply, "@", "l+" and its reply) against a peer whose every answer comes from the input,
// followed by a few poll ticks. The peer reacts to the PC's writes, so the fuzzer can play a
// panel that is right, late, silent, half-right or simply mad at any point of the exchange.
//
// Each byte the PC writes takes one control byte c from the input: the next (c & 7) input
// bytes arrive (c >> 3) * 25 ms later (0 to 775 ms, so either side of the 364 ms time-out).
// When the input runs out the peer falls silent.
#include "fake_clock.h"
#include "fake_serial_device.h"
#include "fuzz_check.h"

#include <cstddef>
#include <cstdint>

namespace {

class CInput {
public:
    CInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_pos >= m_size; }
    uint8_t Next() { return m_pos < m_size ? m_data[m_pos++] : 0; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CFakeClock clock;
    CFakeSerialDevice device(clock);
    CInput input(data, size);
    device.OnWrite([&input, &clock](CFakeSerialDevice& peer, uint8_t) {
        if (input.Empty())
            return;
        const uint8_t control = input.Next();
        CFakeSerialDevice::Bytes answer;
        for (int i = 0; i < (control & 7) && !input.Empty(); ++i)
            answer.push_back(input.Next());
        if (!answer.empty())
            peer.Feed(answer, clock.Peek() + (control >> 3) * 25);
    });

    CTestView view;
    view.m_bKeepLog = false;
    CPanelModel model(view, &device, &clock);
    view.m_pModel = &model;
    model.InitState();
    model.m_strRow[0] = QStringLiteral("old row");
    model.OnSerialPort();

    // Opening the fake port cannot fail, so only the "not found" message may appear, once,
    // and only with the link closed behind it.
    FUZZ_CHECK(view.Count(IDS_PORT_NOT_OPENED) == 0);
    FUZZ_CHECK(view.Count(IDS_PANEL_NOT_FOUND) <= 1);
    if (view.Count(IDS_PANEL_NOT_FOUND) == 1)
        FUZZ_CHECK(!model.m_link.m_bOpen);
    FUZZ_CHECK(model.m_nLinkVariant == 0 || model.m_nLinkVariant == 1);
    FUZZ_CHECK(model.m_bPermTest == 0);
    for (int i = 0; i < 32; ++i)
        FUZZ_CHECK(model.m_led[i] == 0 && model.m_keyDown[i] == 0);
    for (const QString& row : model.m_strRow)
        FUZZ_CHECK(row.isEmpty());
    FUZZ_CHECK(model.m_strStatus == LoadString(IDS_DEMO_STATUS));
    // Every wait is bounded by the time-out or ended by a byte of the peer, and the peer
    // speaks only when written to: time is bounded by the traffic, whatever the peer does.
    FUZZ_CHECK(clock.Peek() <= static_cast<int64_t>(size + device.Written().size() + 8) * 1000);

    // A few ticks on whatever the peer still says; a loss of the link is announced once.
    for (int i = 0; i < 4; ++i) {
        model.OnTimer();
        CheckModelState(model);
    }
    FUZZ_CHECK(view.Count(IDS_PANEL_NOT_FOUND) <= 1);
    return 0;
}
