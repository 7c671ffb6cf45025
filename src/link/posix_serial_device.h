#pragma once

#include "serial_device.h"

// The real serial device, on termios. Opened non-blocking with VMIN 1 so that a read with
// nothing received answers EAGAIN at once, while a read of zero bytes can only mean hang-up.
class CPosixSerialDevice final : public ISerialDevice {
public:
    CPosixSerialDevice() = default;
    ~CPosixSerialDevice() override;
    CPosixSerialDevice(const CPosixSerialDevice&) = delete;
    CPosixSerialDevice& operator=(const CPosixSerialDevice&) = delete;

    bool Open(const std::string& path, int baud) override;
    void Close() override;
    void WriteByte(uint8_t byte) override;
    int InputQueued() override;
    ReadStatus ReadByte(uint8_t* byte) override;
    WaitStatus WaitReadable(int timeoutMs) override;
    std::string LastError() const override { return m_lastError; }
    int LastErrorNumber() const override { return m_nLastErrno; }
    int Descriptor() const override { return m_fd; }

    // How long one byte may wait for room in the output queue before it is abandoned. This
    // also keeps every write well inside the 5 s that a write may take in all.
    static constexpr int kWriteWaitMs = 1000;

private:
    bool Fail(const std::string& what, int error);

    int m_fd = -1;
    // Set once the lock and the exclusive flag are ours: from then on the terminal's queues
    // and flag are ours to flush and clear.
    bool m_bHolding = false;
    std::string m_lastError;
    int m_nLastErrno = 0;
};
