#include "pty.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace kova_sim {

bool Pty::open(std::string& err)
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

void Pty::close()
{
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = m_master = -1;
}

void Pty::discardUnread()
{
    if (m_slave >= 0)
        ::tcflush(m_slave, TCIFLUSH);
}

bool placeLink(const std::string& path, const std::string& target, std::string& err)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        err = path + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    // A new link under a temporary name renamed over the old one: the path never vanishes for a
    // program that is about to open it, and a stale link from an earlier run is replaced.
    const std::string tmp = path + ".new" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        err = "cannot create " + path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void removeLink(const std::string& path, const std::string& target)
{
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target)
        ::unlink(path.c_str()); // only our own link; another simulator may have taken the path over
}

} // namespace kova_sim
