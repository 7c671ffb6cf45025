#pragma once

#include "fake_serial_device.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The panel's side of the block procedure, played on the scripted device: it answers the
// PC's STX with DLE, collects the block up to DLE ETX and the BCC, checks the BCC for the
// variants it accepts and answers DLE or NAK. Its own blocks (replies and unasked reports)
// start with STX and go on only after the PC's DLE. The framing here is written from the line
// format alone and shares nothing with the link's own framing, so that it checks the PC's side
// rather than mirroring it. The panel model's tests and the window's tests both play the
// panel with it.
class CFakePanel {
public:
    using Bytes = std::vector<uint8_t>;
    using Responder = std::function<std::optional<Bytes>(const Bytes& telegram)>;

    static constexpr uint8_t STX = 0x02;
    static constexpr uint8_t ETX = 0x03;
    static constexpr uint8_t DLE = 0x10;
    static constexpr uint8_t NAK = 0x15;

    CFakePanel(CFakeSerialDevice& device, CFakeClock& clock);
    // It answers through the device's write hook, which refers to this very object: the hook
    // goes with it, so a device that outlives its panel (a window torn down after the panel
    // of its test) no longer calls into it.
    ~CFakePanel() { m_device.OnWrite(nullptr); }
    CFakePanel(const CFakePanel&) = delete;
    CFakePanel& operator=(const CFakePanel&) = delete;

    // Which BCC variants the panel takes; a block in any other is answered with NAK.
    void AcceptVariants(bool bVariant0, bool bVariant1)
    {
        m_bAccept0 = bVariant0;
        m_bAccept1 = bVariant1;
    }
    // From now on the panel ignores everything and sends nothing.
    void SetSilent(bool bSilent) { m_bSilent = bSilent; }
    // Payload of the reply to "#"; byte 1 and 2 are the selector positions.
    void SetIdentifyReply(const Bytes& payload) { m_identifyReply = payload; }
    // Payload of the reply to the LCD telegrams ("l+", "l+%", rows, cells).
    void SetLcdReply(const Bytes& payload) { m_lcdReply = payload; }
    // How long after its acknowledgement the panel starts a reply block.
    void SetReplyDelay(int32_t ms) { m_nReplyDelayMs = ms; }
    // Replaces the choice of reply per accepted telegram; DefaultReply is the built-in one.
    void SetResponder(Responder responder) { m_responder = std::move(responder); }
    std::optional<Bytes> DefaultReply(const Bytes& telegram) const;

    // An unasked block, such as a key or selector report; sent as soon as the panel is free.
    void SendReport(const Bytes& payload);

    // What the panel received: "hex vN" for an accepted block, "hex NAK" for a refused one.
    const std::vector<std::string>& Log() const { return m_log; }
    // Payloads of the accepted blocks only, as hex.
    const std::vector<std::string>& Telegrams() const { return m_telegrams; }
    // Blocks of the panel that the PC acknowledged at the end.
    int BlocksDelivered() const { return m_nDelivered; }
    // The PC started a block while the panel's STX was waiting.
    int Collisions() const { return m_nCollisions; }
    bool Busy() const { return m_state != State::Idle || !m_outbox.empty(); }
    void ClearLog()
    {
        m_log.clear();
        m_telegrams.clear();
    }

private:
    enum class State { Idle, RxData, RxAfterDle, RxBcc, TxAwaitReady, TxAwaitAck };
    struct Outgoing {
        Bytes payload;
        int32_t delayMs;
    };

    void OnPcByte(uint8_t b);
    void FinishReceived(uint8_t bcc);
    void StartNext();

    CFakeSerialDevice& m_device;
    CFakeClock& m_clock;
    State m_state = State::Idle;
    Bytes m_line;    // data bytes of the PC's block as they came on the line
    Bytes m_payload; // the same with doubled DLEs taken back to one
    std::deque<Outgoing> m_outbox;
    bool m_bAccept0 = true;
    bool m_bAccept1 = true;
    bool m_bSilent = false;
    Bytes m_identifyReply = {0x23, 0x41, 0x51};
    Bytes m_lcdReply = {0x6C};
    int32_t m_nReplyDelayMs = 0;
    Responder m_responder;
    std::vector<std::string> m_log;
    std::vector<std::string> m_telegrams;
    int m_nDelivered = 0;
    int m_nCollisions = 0;
};

// "6C 2B 25"
std::string Hex(const std::vector<uint8_t>& bytes);
template <size_t N>
std::string Hex(const std::array<uint8_t, N>& bytes)
{
    return Hex(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}
