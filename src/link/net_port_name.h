#pragma once

#include <cstdint>
#include <string>

// A port on a serial device server, named as pyserial and labgrid name it:
// rfc2217://HOST:PORT (Telnet COM Port Control, the line set up by us) or socket://HOST:PORT
// (raw TCP, the line set up on the server). HOST is a name, an IPv4 address or an IPv6
// address in brackets ([::1]:4001). pyserial's options after '?' (ign_set_control,
// poll_modem, timeout=, logging=) are taken and ignored, so a URL copied from a pyserial or
// labgrid configuration works as it is.
struct CNetPortName {
    enum class Kind { Rfc2217, Raw };
    Kind kind = Kind::Rfc2217;
    std::string strHost; // without brackets
    uint16_t nPort = 0;
};

// Whether name is meant as a URL (it has "://"), rightly formed or not. Device paths never
// have it, on Linux or on Windows.
bool IsNetPortName(const std::string& name);

// Reads a URL. On failure *pWhy names what is wrong ("no port number after the host", ...)
// and nothing else is changed.
bool ParseNetPortName(const std::string& name, CNetPortName* pName, std::string* pWhy);
