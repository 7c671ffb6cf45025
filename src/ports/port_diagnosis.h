#pragma once

#include "port_config.h"

#include <QString>

#include <string>

// What a user can do about a port that would not open, from the system's error number: the
// group to join for a permission problem, another program holding the port, a missing device.
QString OpenFailureDetail(const std::string& strPath, int nErrno, const std::string& strReason);

// The same, followed by the serial devices found on this computer and how to make port nPort
// use one of them: the detail text of "Serial Port could not be opened !".
QString PortOpenFailureDetail(int nPort, const std::string& strPath, int nErrno, const std::string& strReason,
                              const CPortSetup& setup);
