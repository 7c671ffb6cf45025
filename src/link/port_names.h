#pragma once

#include <string>

// "COM1", "COM2", ... as the program names its ports.
std::string PortName(int nPort);

// The device path behind a port: $KOVA_COMn when set, /dev/ttyS(n-1) otherwise.
std::string PortDevicePath(int nPort);
