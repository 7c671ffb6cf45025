#pragma once

#include <string>

// "COM1", "COM2", ... as the program names its ports.
std::string PortName(int nPort);

// The device path behind a port: $KOVA_COMn when set; otherwise /dev/ttyS(n-1), or on
// Windows the port of that name itself.
std::string PortDevicePath(int nPort);

// The name under which Windows opens a port: "COM7" becomes "\\.\COM7", which also reaches
// ports above COM9. Names that already carry a path ("\\.\COM3", "\\?\...", "C:\...") or
// are empty stay as they are.
std::string Win32DeviceName(const std::string& name);
