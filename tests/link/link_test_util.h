#pragma once

#include "fake_clock.h"
#include "fake_serial_device.h"
#include "serial_link.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A link on the scripted peer, opened on COM1 at 9600 Bd.
class OpenLinkTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_link.Open(PortDevicePath(1), 9600), 1); }

    CFakeClock m_clock;
    CFakeSerialDevice m_device{m_clock};
    CSerialLink m_link{&m_device, &m_clock};
};

// Passes everything to a scripted peer, except that chosen reads (counted from 1) deliver
// nothing although input is waiting: a byte lost to a line error or a read still pending.
class CDroppingReadDevice final : public ISerialDevice {
public:
    CDroppingReadDevice(CFakeSerialDevice& inner, std::set<int> emptyReads)
        : m_inner(inner), m_emptyReads(std::move(emptyReads))
    {
    }

    bool Open(const std::string& path, int baud) override { return m_inner.Open(path, baud); }
    void Close() override { m_inner.Close(); }
    void WriteByte(uint8_t byte) override { m_inner.WriteByte(byte); }
    int InputQueued() override { return m_inner.InputQueued(); }
    ReadStatus ReadByte(uint8_t* byte) override
    {
        if (m_emptyReads.count(++m_nReads) != 0)
            return ReadStatus::Nothing;
        return m_inner.ReadByte(byte);
    }
    WaitStatus WaitReadable(int timeoutMs) override { return m_inner.WaitReadable(timeoutMs); }
    std::string LastError() const override { return m_inner.LastError(); }

private:
    CFakeSerialDevice& m_inner;
    std::set<int> m_emptyReads;
    int m_nReads = 0;
};
