#pragma once

#include <functional>
#include <string>

// "COM1", "COM2", ... as the program names its ports.
std::string PortName(int nPort);

// "KOVA_COM1", "KOVA_COM2", ...: the environment variable that names a port's device.
std::string PortEnvironmentVariable(int nPort);

// Decides which device stands behind a port number. A name or path, whatever the platform's
// serial device opens: "/dev/serial/by-id/..." here, "COM7" elsewhere.
using PortResolver = std::function<std::string(int nPort)>;

// The program installs its own at start, from its command line, environment and user
// configuration. An empty one restores the built-in mapping.
void SetPortResolver(PortResolver resolver);

// The device path behind a port: the installed resolver's answer; without one $KOVA_COMn
// when set, /dev/ttyS(n-1) otherwise.
std::string PortDevicePath(int nPort);

// The device of a port when nothing names one: /dev/ttyS(n-1), or on Windows the port of
// that name itself.
std::string DefaultPortDevicePath(int nPort);

// The name under which Windows opens a port: "COM7" becomes "\\.\COM7", which also reaches
// ports above COM9. Names that already carry a path ("\\.\COM3", "\\?\...", "C:\...") or
// are empty stay as they are.
std::string Win32DeviceName(const std::string& name);
