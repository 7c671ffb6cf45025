#pragma once

#include <string>

// "COM1", "COM2", ... as the program names its ports.
std::string PortName(int nPort);

// "KOVA_COM1", "KOVA_COM2", ...: the environment variable that names a port's device.
std::string PortEnvironmentVariable(int nPort);

// The built-in mapping of a port to its device: $KOVA_COMn when set, the default otherwise. The
// program itself resolves its ports in the port setup (options and configuration first) and
// hands the link a path; this is for the link's own tests and tools.
std::string PortDevicePath(int nPort);

// The device of a port when nothing names one: /dev/ttyS(n-1), or on Windows the port of
// that name itself.
std::string DefaultPortDevicePath(int nPort);

// The name under which Windows opens a port: "COM7" becomes "\\.\COM7", which also reaches
// ports above COM9. Names that already carry a path ("\\.\COM3", "\\?\...", "C:\...") or
// are empty stay as they are.
std::string Win32DeviceName(const std::string& name);
