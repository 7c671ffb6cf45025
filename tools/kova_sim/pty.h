#pragma once

// The pseudo-terminal the panel talks on, and the symbolic link that gives it a stable name.

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace kova_sim {

class Pty {
public:
    ~Pty() { close(); }

    bool open(std::string& err)
    {
        close();
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
            err = std::string("pseudo-terminal: ") + std::strerror(errno);
            close();
            return false;
        }
        const char* name = ::ptsname(m_master);
        if (!name) {
            err = std::string("ptsname: ") + std::strerror(errno);
            close();
            return false;
        }
        m_slaveName = name;
        termios t{};
        if (::tcgetattr(m_master, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(m_master, TCSANOW, &t);
        }
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
        // Holding the slave open ourselves keeps the master from reporting a hang-up over and over
        // while no program has the port open, so poll() can sleep.
        m_slave = ::open(m_slaveName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return true;
    }

    void close()
    {
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_master >= 0)
            ::close(m_master);
        m_slave = m_master = -1;
    }

    // Our bytes that nobody read: they would greet the next program to open the port.
    void discardUnread()
    {
        if (m_slave >= 0)
            ::tcflush(m_slave, TCIFLUSH);
    }

    int master() const { return m_master; }
    bool isOpen() const { return m_master >= 0; }
    const std::string& slaveName() const { return m_slaveName; }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slaveName;
};

// Points path at target, replacing a stale link but never anything else.
bool placeLink(const std::string& path, const std::string& target, std::string& err);
// Removes path if it is still our link to target.
void removeLink(const std::string& path, const std::string& target);

} // namespace kova_sim
