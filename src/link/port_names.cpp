#include "port_names.h"

#include <cstdio>
#include <cstdlib>

std::string PortName(int nPort)
{
    char name[32];
    std::snprintf(name, sizeof name, "COM%d", nPort);
    return name;
}

std::string PortEnvironmentVariable(int nPort)
{
    return "KOVA_" + PortName(nPort);
}

std::string PortDevicePath(int nPort)
{
    if (const char* value = std::getenv(PortEnvironmentVariable(nPort).c_str()); value != nullptr && *value != '\0')
        return value;
    return DefaultPortDevicePath(nPort);
}

std::string DefaultPortDevicePath(int nPort)
{
#ifdef _WIN32
    return Win32DeviceName(PortName(nPort));
#else
    return "/dev/ttyS" + std::to_string(nPort - 1);
#endif
}

std::string Win32DeviceName(const std::string& name)
{
    if (name.empty() || name.find_first_of("\\/:") != std::string::npos)
        return name;
    return "\\\\.\\" + name;
}
