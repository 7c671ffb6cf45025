#pragma once

// A pseudo-terminal pair. The code under test opens the slave by name; the test plays the
// panel on the master. The slave descriptor of the pair stays open to read the line settings
// until CloseSlave: closed, nobody holds the slave side but what the test opens itself, and
// closing the master then hangs the line up. Needs libutil (openpty).
#include "process_probe.h"

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <string>

class PtyPair {
public:
    PtyPair()
    {
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
            return;
        m_path = name;
    }
    ~PtyPair()
    {
        CloseMaster();
        CloseSlave();
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }
    int Master() const { return m_master; }
    int Slave() const { return m_slave; }
    void CloseMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }
    void CloseSlave()
    {
        if (m_slave >= 0)
            ::close(m_slave);
        m_slave = -1;
    }
    // Reads what the other side wrote, waiting up to two seconds in all.
    std::string ReadMaster(size_t n)
    {
        std::string got;
        const auto start = SteadyClock::now();
        while (got.size() < n && MsSince(start) < 2000) {
            pollfd pfd{m_master, POLLIN, 0};
            if (::poll(&pfd, 1, 100) > 0) {
                char buf[64];
                const ssize_t r = ::read(m_master, buf, std::min(sizeof buf, n - got.size()));
                if (r > 0)
                    got.append(buf, static_cast<size_t>(r));
            }
        }
        return got;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};
