#pragma once

// The pseudo-terminal the panel talks on, and the symbolic link that gives it a stable name.

#include <string>

namespace kova_sim {

class Pty {
public:
    ~Pty() { close(); }

    bool open(std::string& err);
    void close();
    // Our bytes that nobody read: they would greet the next program to open the port.
    void discardUnread();

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
