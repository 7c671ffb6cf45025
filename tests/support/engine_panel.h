#pragma once

#include "engine.h"
#include "fake_clock.h"
#include "fake_serial_device.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The panel in the test's own process: the virtual panel's engine on the scripted device and
// the fake clock. The engine frames and checks blocks with code that shares nothing with the
// link, so the tests check the PC's side rather than mirror it, and its faults are at hand.
// On top of the engine's own panel a test can script the reply to "#" or any reply at all.
class CEnginePanel final : private kova_sim::LineSink {
public:
    using Bytes = std::vector<uint8_t>;
    // Gets each accepted telegram and the engine's reply; returns the reply to send.
    using ReplyHook = std::function<std::optional<Bytes>(const Bytes& telegram, std::optional<Bytes> reply)>;

    CEnginePanel(CFakeSerialDevice& device, CFakeClock& clock);
    // The device's write hook refers to this very object: it goes with it, so a device that
    // outlives its panel (a window torn down after the panel of its test) no longer calls in.
    ~CEnginePanel() override { m_device.OnWrite(nullptr); }
    CEnginePanel(const CEnginePanel&) = delete;
    CEnginePanel& operator=(const CEnginePanel&) = delete;

    kova_sim::Engine& Engine() { return m_engine; }

    // Which BCC variants the panel takes; a block in any other is answered with NAK.
    void AcceptVariants(bool bVariant0, bool bVariant1);
    // From now on the panel answers nothing and sends nothing.
    void SetSilent(bool bSilent) { m_engine.setFault(kova_sim::Fault::Silent, bSilent, m_clock.Peek()); }
    // The reply to "#" instead of the engine's own; byte 1 and 2 are the selector positions.
    void SetIdentifyReply(const Bytes& payload) { m_identifyReply = payload; }
    void SetReplyHook(ReplyHook hook) { m_replyHook = std::move(hook); }
    // How long the panel waits before it starts a block of its own.
    void SetReplyDelay(int32_t ms) { m_nReplyDelayMs = ms; }

    // An unasked block, such as a key or selector report; sent as soon as the panel is free.
    void SendReport(const Bytes& payload) { m_engine.queueBlock(payload, m_clock.Peek()); }

    // What the panel received: "hex vN" for an accepted block, "hex NAK" for a refused one.
    const std::vector<std::string>& Log() const { return m_log; }
    // Payloads of the accepted blocks only, as hex.
    const std::vector<std::string>& Telegrams() const { return m_telegrams; }
    // Blocks of the panel that the PC acknowledged at the end.
    int BlocksDelivered() const { return static_cast<int>(m_engine.counters().sent); }
    // The PC started a block while the panel's STX was waiting.
    int Collisions() const { return static_cast<int>(m_engine.counters().collisions); }
    bool Busy() const { return m_engine.state() != kova_sim::Engine::State::Idle || m_engine.queued() > 0; }
    void ClearLog()
    {
        m_log.clear();
        m_telegrams.clear();
    }

private:
    void sendBytes(std::span<const std::uint8_t> bytes) override;
    void hangUp(int) override {}
    void note(std::string_view) override {}
    std::optional<Bytes> OnBlock(const Bytes& telegram, kova_sim::Variant variant, std::optional<Bytes> reply);

    CFakeSerialDevice& m_device;
    CFakeClock& m_clock;
    kova_sim::Engine m_engine{*this, kova_sim::AcceptMode::Any};
    std::optional<Bytes> m_identifyReply;
    ReplyHook m_replyHook;
    int32_t m_nReplyDelayMs = 0;
    std::vector<std::string> m_log;
    std::vector<std::string> m_telegrams;
};

// "6C 2B 25"
std::string Hex(const std::vector<uint8_t>& bytes);
template <size_t N>
std::string Hex(const std::array<uint8_t, N>& bytes)
{
    return Hex(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}
