// The panel's half of the block procedure, driven by bytes from the PC and by the clock. It owns
// no file descriptors: bytes to send, hang-ups and log lines leave through a LineSink, so tests
// drive it with a fake line and a made-up clock.
#pragma once

#include "framing.h"
#include "panel.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace kova_sim {

class LineSink {
public:
    virtual ~LineSink() = default;
    virtual void sendBytes(std::span<const std::uint8_t> bytes) = 0;
    // Drop the line now; plug it in again after replugAfterMs (negative: stay unplugged).
    virtual void hangUp(int replugAfterMs) = 0;
    // Throw away what we wrote but nobody has read: used once the PC has stopped answering,
    // so that a later open does not start with our stale block.
    virtual void discardUnread() {}
    virtual void note(std::string_view line) = 0;
};

enum class Fault { Silent, NakStx, NakBlock, Garbage, Stall, Overlong, Close, Count };

std::string_view faultName(Fault f);
std::optional<Fault> faultFromName(std::string_view name);

struct Counters {
    std::uint64_t received = 0;   // PC blocks accepted with DLE
    std::uint64_t sent = 0;       // own blocks the PC acknowledged
    std::uint64_t refused = 0;    // PC blocks (or STXs) answered with NAK
    std::uint64_t rxAborted = 0;  // PC blocks that broke off
    std::uint64_t txFailed = 0;   // own blocks given up
    std::uint64_t collisions = 0; // PC's STX while we waited for its DLE
};

class Engine {
public:
    static constexpr std::int64_t kAckTimeoutMs = 2000; // waiting for the PC's DLE
    // Gap inside a PC block: the character delay time of 3964R. It must stay below the PC's
    // reply time-out (364 ms): a PC that gave up in the middle of an exchange sends its next
    // STX after that long, and a longer gap here would swallow it as data, again and again.
    static constexpr std::int64_t kRxByteTimeoutMs = 220;
    static constexpr std::int64_t kStallMs = 600;
    static constexpr std::size_t kMaxQueue = 64;
    static constexpr std::size_t kMaxHistory = 4096;
    static constexpr std::size_t kOverlongSize = 300;
    static constexpr int kMaxCollisionRetries = 3;
    static constexpr int kRandomReplugMs = 1000;

    enum class State { Idle, Receiving, WaitReady, WaitAccept };
    // Sees every block of the PC once it is judged (variant None: refused with NAK) and returns
    // the reply to send; `reply` is the panel's own. In-process tests script the panel with it.
    using BlockHook =
        std::function<std::optional<Bytes>(const Bytes& telegram, Variant variant, std::optional<Bytes> reply)>;

    Engine(LineSink& sink, AcceptMode mode);

    // Everything takes the current time in milliseconds; time never runs backwards.
    void receive(std::uint8_t byte, std::int64_t now);
    void tick(std::int64_t now);
    // The next moment tick() has something to do; nullopt when only input can wake us.
    std::optional<std::int64_t> nextDeadline() const;

    // Physical controls: change the panel and report it to the PC, as a real panel would.
    bool pressKey(int key, std::int64_t now);
    void releaseKey(std::int64_t now);
    // A key that was down before anyone listened: the panel holds it and tells it only in the key
    // report its replies carry, with no report block of its own.
    bool holdKey(int key) { return m_panel.press(key); }
    bool setSelector(int which, int position, std::int64_t now);
    void queueBlock(Bytes telegram, std::int64_t now);
    void sendRaw(std::span<const std::uint8_t> bytes, std::int64_t now);

    // The line went away (unplug, close fault) or came back.
    void setLineUp(bool up, std::int64_t now);
    bool lineUp() const { return m_lineUp; }

    void setFault(Fault f, bool on, std::int64_t now);
    bool fault(Fault f) const { return m_faults[static_cast<std::size_t>(f)]; }
    void setRandomFaults(double probability, std::uint32_t seed);
    void clearFaults(std::int64_t now);
    bool randomFaultsOn() const { return m_randomP > 0.0; }
    double randomProbability() const { return m_randomP; }

    AcceptMode acceptMode() const { return m_mode; }
    void setAcceptMode(AcceptMode mode) { m_mode = mode; }
    void setBlockHook(BlockHook hook) { m_blockHook = std::move(hook); }
    Variant lastVariant() const { return m_lastVariant; }
    const Counters& counters() const { return m_counters; }
    const std::deque<Bytes>& history() const { return m_history; }
    void clearHistory() { m_history.clear(); }
    std::size_t queued() const { return m_queue.size(); }
    State state() const { return m_state; }
    const Panel& panel() const { return m_panel; }

private:
    enum class Random { None, DropByte, Garbage, Nak, Stall, Close };
    struct Outgoing {
        Bytes telegram;
        int collisions = 0;
    };
    struct Segment {
        std::int64_t at;
        Bytes bytes;
        bool ownBlock; // belongs to the block in flight; cancelled when that block is given up
    };

    void queueOut(Bytes bytes, std::int64_t at, bool ownBlock = false);
    std::int64_t lastEmitTime(std::int64_t now) const;
    void flushDue(std::int64_t now);
    void pump(std::int64_t now);
    void startReceive(std::int64_t now, bool yielded);
    void finishReceive(std::int64_t now);
    void startSend(std::int64_t now);
    void sendBody(std::int64_t now);
    void giveUpSend(std::int64_t now, const std::string& why);
    void cancelOwnSegments();
    void hangUpAndReplug(std::int64_t now);
    Random roll();
    void note(const std::string& line) { m_sink.note(line); }

    LineSink& m_sink;
    AcceptMode m_mode;
    Panel m_panel;
    State m_state = State::Idle;
    std::int64_t m_deadline = 0;
    bool m_lineUp = true;
    bool m_yielded = false;
    Random m_rxRandom = Random::None;
    Random m_txRandom = Random::None;
    BlockReceiver m_rx;
    std::deque<Outgoing> m_queue;
    std::deque<Segment> m_segments;
    std::deque<Bytes> m_history;
    Variant m_lastVariant = Variant::None;
    Counters m_counters;
    std::array<bool, static_cast<std::size_t>(Fault::Count)> m_faults{};
    double m_randomP = 0.0;
    std::mt19937 m_rng;
    BlockHook m_blockHook;
};

std::string hexString(std::span<const std::uint8_t> bytes, bool spaced = true);

} // namespace kova_sim
