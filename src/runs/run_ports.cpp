#include "run_ports.h"

CPortSetup SetUpPorts(const CCommandLine& commandLine, std::FILE* pErr)
{
    CPortSetup ports(commandLine.portOptions, CPortScanRoots::FromEnvironment());
    QString warning;
    ports.ReadConfig(&warning);
    if (!warning.isEmpty())
        Print(pErr, warning + QLatin1Char('\n'));
    return ports;
}
