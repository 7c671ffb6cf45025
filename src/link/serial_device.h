#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A line for the traffic trace from the device itself: a setting its server did not
// acknowledge, a line error the server reported (bLineError, counted in the statistics too).
struct CDeviceNote {
    bool bLineError = false;
    std::string strText;
};

// What the serial link needs from a serial device: exclusive open with the panel's line
// settings, single-byte writes that never block for long, single-byte reads that never wait,
// the size of the input queue, and a bounded wait for input so that nobody has to spin.
class ISerialDevice {
public:
    enum class ReadStatus { Byte, Nothing, Error };
    enum class WaitStatus { Readable, TimedOut, HungUp };

    virtual ~ISerialDevice() = default;

    // Opens `path` for exclusive use at `baud` Bd, 8 data bits, even parity, one stop bit.
    // On failure nothing stays acquired and LastError() says why.
    virtual bool Open(const std::string& path, int baud) = 0;
    virtual void Close() = 0;

    // Queues one byte. Gives up rather than blocking beyond the write bounds; failures are
    // not reported, the block procedure notices them from the peer's answer.
    virtual void WriteByte(uint8_t byte) = 0;

    // Number of received bytes not yet read; clears pending line errors. A line that has
    // hung up counts as one byte waiting, so that the next ReadByte reports the hang-up.
    virtual int InputQueued() = 0;

    // Takes one received byte if there is one, without waiting. Error means the device is
    // gone (read error or hang-up); the caller closes it.
    virtual ReadStatus ReadByte(uint8_t* byte) = 0;

    // Blocks for at most timeoutMs until input is waiting or the line has hung up.
    virtual WaitStatus WaitReadable(int timeoutMs) = 0;

    // The system's reason for the last failed Open, empty when there was none.
    virtual std::string LastError() const = 0;
    // The system's error number behind LastError(), 0 when there is none.
    virtual int LastErrorNumber() const { return 0; }

    // A descriptor that polls readable when input is waiting, for an event loop to watch; -1
    // when the device has none (closed, or a device of another kind).
    virtual int Descriptor() const { return -1; }

    // Windows: an event handle that is signalled when input may be waiting or the line is gone,
    // for a wait to block on beside others (WaitForMultipleObjects); nullptr when the device has
    // none (closed, or a device of another kind). After it fires the owner reads with ReadByte /
    // InputQueued; the device re-arms it itself.
    virtual void* WaitEvent() const { return nullptr; }

    // What the device has to tell the trace since it was last asked, each note once: what an
    // Open gave up of the line settings asked for, a line error the server reported.
    virtual std::vector<CDeviceNote> TakeNotes() { return {}; }
};
