#include "engine_panel.h"

std::string Hex(const std::vector<uint8_t>& bytes)
{
    return kova_sim::hexString(bytes);
}

CEnginePanel::CEnginePanel(CFakeSerialDevice& device, CFakeClock& clock) : m_device(device), m_clock(clock)
{
    m_device.OnWrite([this](CFakeSerialDevice&, uint8_t b) { m_engine.receive(b, m_clock.Peek()); });
    m_engine.setBlockHook([this](const Bytes& telegram, kova_sim::Variant variant, std::optional<Bytes> reply) {
        return OnBlock(telegram, variant, std::move(reply));
    });
}

void CEnginePanel::AcceptVariants(bool bVariant0, bool bVariant1)
{
    // A panel that takes neither variant refuses every block, which is the engine's nak-block.
    m_engine.setFault(kova_sim::Fault::NakBlock, !bVariant0 && !bVariant1, m_clock.Peek());
    if (bVariant0 != bVariant1)
        m_engine.setAcceptMode(bVariant0 ? kova_sim::AcceptMode::V0 : kova_sim::AcceptMode::V1);
    else
        m_engine.setAcceptMode(kova_sim::AcceptMode::Any);
}

void CEnginePanel::sendBytes(std::span<const std::uint8_t> bytes)
{
    // The engine starts each block of its own with an STX on its own.
    const bool bBlockStart = bytes.size() == 1 && bytes[0] == kova_sim::kStx;
    m_device.Feed(Bytes(bytes.begin(), bytes.end()), m_clock.Peek() + (bBlockStart ? m_nReplyDelayMs : 0));
}

std::optional<CEnginePanel::Bytes> CEnginePanel::OnBlock(const Bytes& telegram, kova_sim::Variant variant,
                                                         std::optional<Bytes> reply)
{
    if (variant == kova_sim::Variant::None) {
        m_log.push_back(Hex(telegram) + " NAK");
        return std::nullopt;
    }
    m_log.push_back(Hex(telegram) + " v" + std::to_string(static_cast<int>(variant)));
    m_telegrams.push_back(Hex(telegram));
    if (m_identifyReply && telegram == Bytes{'#'})
        reply = m_identifyReply;
    return m_replyHook ? m_replyHook(telegram, std::move(reply)) : reply;
}
