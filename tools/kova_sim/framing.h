// Block framing as the panel sees it: what it puts on the line after the PC's DLE, and how it
// takes apart a block the PC sends. Deliberately written apart from the program's own link code,
// so that a misreading of the procedure cannot hide on both ends of the line at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kova_sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kDle = 0x10;
inline constexpr std::uint8_t kNak = 0x15;

// The constant folded into the block check. Variant 1 stands for DLE ^ ETX, variant 0 also
// for the STX in front of the block.
inline constexpr std::uint8_t kBccConstV1 = 0x13;
inline constexpr std::uint8_t kBccConstV0 = 0x11;

enum class Variant : std::int8_t { None = -1, V0 = 0, V1 = 1 };
enum class AcceptMode { V0, V1, Any };

// XOR of the telegram's bytes as they travel, a doubled DLE counting twice (and so cancelling).
std::uint8_t lineXor(std::span<const std::uint8_t> telegram);

// The bytes the sender puts on the line after the receiver's DLE: data with every 0x10 doubled,
// DLE ETX, and the BCC once (never doubled, even when it is 0x10).
Bytes frameBody(std::span<const std::uint8_t> telegram, std::uint8_t bccConst = kBccConstV1);

// Which variant a block check byte proves, given the XOR of the data as received; None when it
// fits no variant the mode accepts.
Variant matchBcc(std::uint8_t dataXor, std::uint8_t bcc, AcceptMode mode);

// Takes apart the PC's block byte by byte, from the first byte after our DLE up to the BCC.
// Storage is bounded: a telegram longer than kMaxTelegram is still followed to its end (so the
// line stays in step), but the excess is only counted.
class BlockReceiver {
public:
    static constexpr std::size_t kMaxTelegram = 256;

    enum class Step { More, Done };

    void reset();
    Step feed(std::uint8_t byte);

    bool done() const { return m_phase == Phase::Done; }
    bool empty() const { return m_received == 0; }
    const Bytes& telegram() const { return m_data; }
    std::uint8_t dataXor() const { return m_xor; }
    std::uint8_t bcc() const { return m_bcc; }
    // A DLE followed by something other than DLE or ETX: the sender broke the framing.
    bool framingError() const { return m_framingError; }
    std::size_t droppedBytes() const { return m_dropped; }

private:
    enum class Phase { Data, Bcc, Done };
    void store(std::uint8_t byte);

    Phase m_phase = Phase::Data;
    bool m_afterDle = false;
    bool m_framingError = false;
    std::uint8_t m_xor = 0;
    std::uint8_t m_bcc = 0;
    std::size_t m_dropped = 0;
    std::size_t m_received = 0;
    Bytes m_data;
};

} // namespace kova_sim
