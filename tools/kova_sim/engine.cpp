#include "engine.h"

#include <algorithm>
#include <cstdio>

namespace kova_sim {

namespace {

constexpr std::array<std::string_view, static_cast<std::size_t>(Fault::Count)> kFaultNames{
    "silent", "nak-stx", "nak-block", "garbage", "stall", "overlong", "close"};

// Never STX, DLE or ETX, so the PC sees junk it must drop and nothing that frames anything.
const Bytes kGarbage{0x55, 0xAA, 0xFF};

std::string hexByte(std::uint8_t b)
{
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", b);
    return buf;
}

} // namespace

std::string hexString(std::span<const std::uint8_t> bytes, bool spaced)
{
    std::string s;
    for (std::uint8_t b : bytes) {
        if (spaced && !s.empty())
            s += ' ';
        s += hexByte(b);
    }
    return s;
}

std::string_view faultName(Fault f)
{
    return kFaultNames[static_cast<std::size_t>(f)];
}

std::optional<Fault> faultFromName(std::string_view name)
{
    for (std::size_t i = 0; i < kFaultNames.size(); ++i)
        if (kFaultNames[i] == name)
            return static_cast<Fault>(i);
    return std::nullopt;
}

Engine::Engine(LineSink& sink, AcceptMode mode) : m_sink(sink), m_mode(mode) {}

// ---- output schedule -------------------------------------------------------------------------
// Bytes leave in the order they were emitted; a segment due later (a stall) holds back everything
// behind it, just as a stalled UART would.

std::int64_t Engine::lastEmitTime(std::int64_t now) const
{
    return m_segments.empty() ? now : std::max(now, m_segments.back().at);
}

void Engine::queueOut(Bytes bytes, std::int64_t at, bool ownBlock)
{
    if (bytes.empty() || !m_lineUp)
        return;
    m_segments.push_back({std::max(at, lastEmitTime(at)), std::move(bytes), ownBlock});
}

void Engine::flushDue(std::int64_t now)
{
    while (!m_segments.empty() && m_segments.front().at <= now) {
        Segment s = std::move(m_segments.front());
        m_segments.pop_front();
        m_sink.sendBytes(s.bytes);
    }
}

void Engine::cancelOwnSegments()
{
    std::erase_if(m_segments, [](const Segment& s) { return s.ownBlock; });
}

std::optional<std::int64_t> Engine::nextDeadline() const
{
    std::optional<std::int64_t> next;
    if (m_state != State::Idle)
        next = m_deadline;
    if (!m_segments.empty())
        next = next ? std::min(*next, m_segments.front().at) : m_segments.front().at;
    return next;
}

// ---- the clock -------------------------------------------------------------------------------

void Engine::pump(std::int64_t now)
{
    if (m_state == State::Receiving && now >= m_deadline) {
        ++m_counters.rxAborted;
        note("PC block broke off (nothing for " + std::to_string(kRxByteTimeoutMs) + " ms); dropped");
        m_state = State::Idle;
        m_yielded = false;
    } else if ((m_state == State::WaitReady || m_state == State::WaitAccept) && now >= m_deadline) {
        giveUpSend(now, "no answer from the PC within " + std::to_string(kAckTimeoutMs) + " ms");
        m_sink.discardUnread();
    }
    flushDue(now);
    if (m_state == State::Idle)
        startSend(now);
    flushDue(now);
}

void Engine::tick(std::int64_t now)
{
    pump(now);
}

// ---- bytes from the PC -----------------------------------------------------------------------

void Engine::receive(std::uint8_t byte, std::int64_t now)
{
    if (!m_lineUp)
        return;
    pump(now);
    if (!m_lineUp)
        return; // a random fault just closed the line
    switch (m_state) {
    case State::Idle:
        if (byte == kStx)
            startReceive(now, false);
        else
            note("stray byte " + hexByte(byte) + " from the PC ignored");
        break;

    case State::Receiving:
        if (m_yielded && m_rx.empty() && byte == kStx) {
            // After a collision the PC has given up its own block and took our STX as the
            // refusal; this STX starts its next block, so answer it afresh.
            note("PC started over after the collision");
            queueOut({kDle}, now);
            m_deadline = now + kRxByteTimeoutMs;
            break;
        }
        m_deadline = now + kRxByteTimeoutMs;
        if (m_rx.feed(byte) == BlockReceiver::Step::Done)
            finishReceive(now);
        break;

    case State::WaitReady:
        if (byte == kDle) {
            sendBody(now);
        } else if (byte == kStx) {
            ++m_counters.collisions;
            Outgoing& out = m_queue.front();
            note("collision: PC sent STX while we waited for its DLE; yielding");
            if (++out.collisions > kMaxCollisionRetries) {
                ++m_counters.txFailed;
                note("gave up own block " + hexString(out.telegram) + " after " + std::to_string(kMaxCollisionRetries)
                     + " collisions");
                m_queue.pop_front();
            }
            m_state = State::Idle;
            startReceive(now, true);
        } else {
            note("byte " + hexByte(byte) + " while waiting for the PC's DLE ignored");
        }
        break;

    case State::WaitAccept:
        if (byte == kDle) {
            ++m_counters.sent;
            note("own block " + hexString(m_queue.front().telegram) + " acknowledged");
            m_queue.pop_front();
            m_state = State::Idle;
        } else if (byte == kStx) {
            giveUpSend(now, "the PC started a block instead of acknowledging ours");
            startReceive(now, false);
        } else {
            giveUpSend(now, "the PC answered it with " + hexByte(byte));
        }
        break;
    }
    pump(now);
}

void Engine::startReceive(std::int64_t now, bool yielded)
{
    if (fault(Fault::Silent)) {
        note("STX left unanswered (fault silent)");
        return;
    }
    if (fault(Fault::NakStx)) {
        ++m_counters.refused;
        note("STX refused with NAK (fault nak-stx)");
        queueOut({kNak}, now);
        m_state = State::Idle;
        return;
    }
    m_rxRandom = roll();
    queueOut({kDle}, now);
    m_rx.reset();
    m_state = State::Receiving;
    m_deadline = now + kRxByteTimeoutMs;
    m_yielded = yielded;
}

void Engine::finishReceive(std::int64_t now)
{
    const Bytes& t = m_rx.telegram();
    std::string why;
    Variant v = Variant::None;
    if (m_rx.framingError()) {
        why = "a lone DLE inside the data";
    } else if (m_rx.droppedBytes() > 0) {
        why = "overlong, " + std::to_string(t.size() + m_rx.droppedBytes()) + " data bytes";
    } else {
        v = matchBcc(m_rx.dataXor(), m_rx.bcc(), m_mode);
        if (v == Variant::None)
            why = "BCC " + hexByte(m_rx.bcc()) + " fits no accepted variant";
    }
    if (why.empty() && fault(Fault::NakBlock))
        why = "fault nak-block";
    if (why.empty() && m_rxRandom == Random::Nak)
        why = "random fault";

    m_state = State::Idle;
    m_yielded = false;
    if (!why.empty()) {
        ++m_counters.refused;
        note("refused PC block [" + hexString(t) + "]: " + why);
        if (m_blockHook)
            m_blockHook(t, Variant::None, std::nullopt);
        queueOut({kNak}, now);
        return;
    }
    if (m_rxRandom == Random::Close) {
        note("random fault: line closed instead of acknowledging a block");
        hangUpAndReplug(now);
        return;
    }

    ++m_counters.received;
    m_lastVariant = v;
    m_history.push_back(t);
    if (m_history.size() > kMaxHistory)
        m_history.pop_front();
    Panel::Reaction r = m_panel.apply(t);
    note("telegram [" + hexString(t) + "] variant " + std::to_string(static_cast<int>(v)) + ": " + r.what);

    switch (m_rxRandom) {
    case Random::DropByte: note("random fault: acknowledgement left out"); break;
    case Random::Garbage:
        note("random fault: garbage instead of the acknowledgement");
        queueOut({0x7E}, now);
        break;
    case Random::Stall:
        note("random fault: acknowledgement held back " + std::to_string(kStallMs) + " ms");
        queueOut({kDle}, now + kStallMs);
        break;
    default: queueOut({kDle}, now); break;
    }
    if (m_blockHook)
        r.reply = m_blockHook(t, v, std::move(r.reply));
    if (r.reply) {
        // The PC reads the answer right after its own block, so it goes ahead of reports that
        // were already waiting.
        if (m_queue.size() >= kMaxQueue) {
            note("send queue full: oldest waiting block dropped");
            m_queue.pop_back();
        }
        m_queue.push_front({*r.reply, 0});
    }
}

// ---- our own blocks --------------------------------------------------------------------------

void Engine::startSend(std::int64_t now)
{
    if (m_state != State::Idle || !m_lineUp || m_queue.empty() || fault(Fault::Silent))
        return;
    m_txRandom = roll();
    if (m_txRandom == Random::Close) {
        note("random fault: line closed instead of sending a block");
        hangUpAndReplug(now);
        return;
    }
    if (m_txRandom == Random::Garbage)
        note("random fault: garbage in front of our block");
    if (fault(Fault::Garbage) || m_txRandom == Random::Garbage)
        queueOut(kGarbage, now, true);
    if (m_txRandom == Random::Nak) {
        note("random fault: NAK in front of our block");
        queueOut({kNak}, now, true);
    }
    queueOut({kStx}, now, true);
    m_state = State::WaitReady;
    m_deadline = lastEmitTime(now) + kAckTimeoutMs;
}

void Engine::sendBody(std::int64_t now)
{
    Bytes t = m_queue.front().telegram;
    if (fault(Fault::Overlong)) {
        // Filler with 0x10 in it, so the PC's unstuffing is exercised along with its bound.
        for (std::size_t i = t.size(); i < kOverlongSize; ++i)
            t.push_back(i % 8 == 0 ? kDle : static_cast<std::uint8_t>('a' + i % 26));
    }
    Bytes body = frameBody(t);
    if (m_txRandom == Random::DropByte) {
        const std::size_t i = m_rng() % body.size();
        note("random fault: byte " + std::to_string(i) + " of the block left out");
        body.erase(body.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (fault(Fault::Stall) || m_txRandom == Random::Stall) {
        const auto half = static_cast<std::ptrdiff_t>(body.size() / 2);
        note("stalling " + std::to_string(kStallMs) + " ms in the middle of our block");
        queueOut(Bytes(body.begin(), body.begin() + half), now, true);
        queueOut(Bytes(body.begin() + half, body.end()), now + kStallMs, true);
    } else {
        queueOut(std::move(body), now, true);
    }
    m_state = State::WaitAccept;
    m_deadline = lastEmitTime(now) + kAckTimeoutMs;
}

void Engine::giveUpSend(std::int64_t /*now*/, const std::string& why)
{
    ++m_counters.txFailed;
    note("gave up own block [" + hexString(m_queue.front().telegram) + "]: " + why);
    cancelOwnSegments();
    m_queue.pop_front();
    m_state = State::Idle;
}

void Engine::queueBlock(Bytes telegram, std::int64_t now)
{
    if (!m_lineUp) {
        note("line unplugged: block [" + hexString(telegram) + "] not sent");
        return;
    }
    if (fault(Fault::Silent)) {
        note("fault silent: block [" + hexString(telegram) + "] not sent");
        return;
    }
    if (m_queue.size() >= kMaxQueue) {
        note("send queue full: block [" + hexString(telegram) + "] dropped");
        return;
    }
    m_queue.push_back({std::move(telegram), 0});
    pump(now);
}

void Engine::sendRaw(std::span<const std::uint8_t> bytes, std::int64_t now)
{
    queueOut(Bytes(bytes.begin(), bytes.end()), now);
    flushDue(now);
}

bool Engine::pressKey(int key, std::int64_t now)
{
    if (!m_panel.press(key))
        return false;
    queueBlock({m_panel.keyReport()}, now);
    return true;
}

void Engine::releaseKey(std::int64_t now)
{
    m_panel.release();
    queueBlock({m_panel.keyReport()}, now);
}

bool Engine::setSelector(int which, int position, std::int64_t now)
{
    if (!m_panel.setSelector(which, position))
        return false;
    queueBlock({which == 1 ? m_panel.selector1Report() : m_panel.selector2Report()}, now);
    return true;
}

// ---- line and faults -------------------------------------------------------------------------

void Engine::setLineUp(bool up, std::int64_t now)
{
    if (up == m_lineUp)
        return;
    if (!up) {
        if (m_state == State::Receiving)
            ++m_counters.rxAborted;
        if (m_state == State::WaitReady || m_state == State::WaitAccept)
            ++m_counters.txFailed;
        if (!m_queue.empty())
            note("line down: " + std::to_string(m_queue.size()) + " waiting block(s) dropped");
        m_queue.clear();
        m_segments.clear();
        m_rx.reset();
        m_state = State::Idle;
        m_yielded = false;
    }
    m_lineUp = up;
    if (up)
        pump(now);
}

void Engine::hangUpAndReplug(std::int64_t now)
{
    setLineUp(false, now);
    m_sink.hangUp(kRandomReplugMs);
}

void Engine::setFault(Fault f, bool on, std::int64_t now)
{
    m_faults[static_cast<std::size_t>(f)] = on;
    if (f == Fault::Silent && on) {
        // A dead panel sends nothing at all; only a block already on the line runs out.
        const bool inFlight = m_state == State::WaitReady || m_state == State::WaitAccept;
        while (m_queue.size() > (inFlight ? 1u : 0u))
            m_queue.pop_back();
    }
    pump(now);
}

void Engine::setRandomFaults(double probability, std::uint32_t seed)
{
    m_randomP = std::clamp(probability, 0.0, 1.0);
    m_rng.seed(seed);
}

void Engine::clearFaults(std::int64_t now)
{
    m_faults.fill(false);
    m_randomP = 0.0;
    pump(now);
}

Engine::Random Engine::roll()
{
    if (m_randomP <= 0.0)
        return Random::None;
    const double u = static_cast<double>(m_rng()) / 4294967296.0;
    if (u >= m_randomP)
        return Random::None;
    return static_cast<Random>(1 + m_rng() % 5);
}

} // namespace kova_sim
