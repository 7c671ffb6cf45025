// Helpers shared by the simulator's tests: a line that records what the panel sends, and the PC's
// side of a block written out by hand, so the engine is never checked against its own framer.
#pragma once

#include "engine.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace kova_sim::test {

inline Bytes B(std::initializer_list<int> v)
{
    Bytes b;
    for (int x : v)
        b.push_back(static_cast<std::uint8_t>(x));
    return b;
}

struct FakeLine : LineSink {
    Bytes out;
    std::vector<std::string> notes;
    int hangUps = 0;
    int replugAfter = 0;
    int discards = 0;

    void sendBytes(std::span<const std::uint8_t> b) override { out.insert(out.end(), b.begin(), b.end()); }
    void hangUp(int ms) override
    {
        ++hangUps;
        replugAfter = ms;
    }
    void discardUnread() override { ++discards; }
    void note(std::string_view l) override { notes.emplace_back(l); }

    Bytes take()
    {
        Bytes r;
        r.swap(out);
        return r;
    }
};

inline void feed(Engine& e, const Bytes& bytes, std::int64_t now)
{
    for (std::uint8_t b : bytes)
        e.receive(b, now);
}

// The PC's STX (the engine's DLE for it taken off the line), then the rest of its block.
inline void feedBlock(Engine& e, FakeLine& line, const Bytes& afterStx, std::int64_t now)
{
    e.receive(0x02, now);
    line.take();
    feed(e, afterStx, now);
}

// What the PC puts on the line after the panel's DLE: data with 0x10 doubled, DLE ETX, BCC.
inline Bytes pcBody(const Bytes& telegram, int variant)
{
    Bytes o;
    std::uint8_t x = 0;
    for (std::uint8_t b : telegram) {
        o.push_back(b);
        x ^= b;
        if (b == 0x10) {
            o.push_back(0x10);
            x ^= 0x10;
        }
    }
    o.push_back(0x10);
    o.push_back(0x03);
    o.push_back(static_cast<std::uint8_t>(x ^ (variant == 1 ? 0x13 : 0x11)));
    return o;
}

// The PC sends one block; returns the panel's answer to the finished block (DLE or NAK).
inline Bytes pcSend(Engine& e, FakeLine& line, const Bytes& telegram, int variant, std::int64_t now)
{
    line.take();
    e.receive(0x02, now);
    EXPECT_EQ(line.take(), B({0x10})) << "no DLE for the PC's STX";
    feed(e, pcBody(telegram, variant), now);
    Bytes answer = line.take();
    // A reply block's STX may follow the acknowledgement at once; keep it for the caller.
    if (answer.size() > 1) {
        line.out.assign(answer.begin() + 1, answer.end());
        answer.resize(1);
    }
    return answer;
}

// The PC takes one block the panel started (its STX already on the line): answers DLE, reads the
// body up to DLE ETX and the BCC, acknowledges. Returns the telegram, unstuffed by hand.
inline Bytes pcReceive(Engine& e, FakeLine& line, std::int64_t now)
{
    EXPECT_EQ(line.take(), B({0x02})) << "the panel did not start a block";
    e.receive(0x10, now);
    const Bytes body = line.take();
    Bytes t;
    std::size_t i = 0;
    for (; i + 1 < body.size(); ++i) {
        if (body[i] == 0x10 && body[i + 1] == 0x10) {
            t.push_back(0x10);
            ++i;
        } else if (body[i] == 0x10 && body[i + 1] == 0x03) {
            break;
        } else {
            t.push_back(body[i]);
        }
    }
    EXPECT_EQ(i + 3, body.size()) << "block not closed by DLE ETX BCC";
    e.receive(0x10, now);
    return t;
}

} // namespace kova_sim::test
