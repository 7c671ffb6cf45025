#include "framing.h"

namespace kova_sim {

std::uint8_t lineXor(std::span<const std::uint8_t> telegram)
{
    std::uint8_t x = 0;
    for (std::uint8_t b : telegram) {
        x ^= b;
        if (b == kDle)
            x ^= kDle; // the doubling DLE goes on the line too
    }
    return x;
}

Bytes frameBody(std::span<const std::uint8_t> telegram, std::uint8_t bccConst)
{
    Bytes out;
    out.reserve(telegram.size() + telegram.size() / 8 + 3);
    for (std::uint8_t b : telegram) {
        out.push_back(b);
        if (b == kDle)
            out.push_back(kDle);
    }
    out.push_back(kDle);
    out.push_back(kEtx);
    out.push_back(static_cast<std::uint8_t>(lineXor(telegram) ^ bccConst));
    return out;
}

Variant matchBcc(std::uint8_t dataXor, std::uint8_t bcc, AcceptMode mode)
{
    const bool v1 = (dataXor ^ kBccConstV1) == bcc;
    const bool v0 = (dataXor ^ kBccConstV0) == bcc;
    switch (mode) {
    case AcceptMode::V1: return v1 ? Variant::V1 : Variant::None;
    case AcceptMode::V0: return v0 ? Variant::V0 : Variant::None;
    case AcceptMode::Any: break;
    }
    if (v1)
        return Variant::V1;
    return v0 ? Variant::V0 : Variant::None;
}

void BlockReceiver::reset()
{
    *this = BlockReceiver{};
}

void BlockReceiver::store(std::uint8_t byte)
{
    if (m_data.size() < kMaxTelegram)
        m_data.push_back(byte);
    else
        ++m_dropped;
}

BlockReceiver::Step BlockReceiver::feed(std::uint8_t byte)
{
    ++m_received;
    switch (m_phase) {
    case Phase::Done: return Step::Done;
    case Phase::Bcc:
        m_bcc = byte;
        m_phase = Phase::Done;
        return Step::Done;
    case Phase::Data: break;
    }

    if (m_afterDle) {
        m_afterDle = false;
        if (byte == kEtx) {
            m_phase = Phase::Bcc;
        } else if (byte == kDle) {
            store(kDle); // both DLEs enter the XOR and cancel, so it stays as it is
        } else {
            // A lone DLE inside the data. Keep following the block so the line stays in step;
            // the block gets refused at its end.
            m_framingError = true;
            m_xor ^= kDle ^ byte;
            store(byte);
        }
        return Step::More;
    }
    if (byte == kDle) {
        m_afterDle = true;
        return Step::More;
    }
    m_xor ^= byte;
    store(byte);
    return Step::More;
}

} // namespace kova_sim
