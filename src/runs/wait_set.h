#pragma once

#include <vector>
#ifndef _WIN32
#include <poll.h>
#endif

class CPanelDriver;

// The one wait of the runs on this system, in which the serve loop, the panel check and the
// permanence test all block: until one of its ends is ready or a time is up. On Linux an end is
// a descriptor and the wait is poll(); on Windows it is an event handle (manual-reset, so that
// asking whether it is set leaves it set) and the wait is WaitForMultipleObjects. Nothing is
// polled and nothing wakes on a timer of its own: a run with nothing to do sleeps until
// something happens, and wakes the moment it does.
class CWaitSet {
public:
    // Each Add returns the end's number for Ready(), or -1 when there is nothing to wait on (a
    // closed port, stop signals not caught); such an end is never ready.

    // The port the driver has open, whatever kind of device stands behind it: the device itself
    // names what to wait on (ISerialDevice::Descriptor on Linux, WaitEvent on Windows).
    int AddPort(const CPanelDriver& driver);
    // The request to stop (stop_signals.h), ready from the first request on.
    int AddStop();
#ifdef _WIN32
    int AddEvent(void* hEvent);
#else
    int AddReadable(int fd);
    int AddWritable(int fd);
#endif

    // Blocks until an end is ready or nMs have passed (negative: no limit); false at the time.
    bool Wait(int nMs);
    // Whether end nEnd was ready when Wait returned.
    bool Ready(int nEnd) const;
    bool Empty() const;
    void Clear();

private:
#ifdef _WIN32
    std::vector<void*> m_handles;
    std::vector<bool> m_ready;
#else
    std::vector<pollfd> m_fds;
#endif
};
