#pragma once

#include "command_line.h"
#include "port_config.h"

#include <cstdio>

// The port setup of one run: the command line's --com1/--com2 and the roots the environment
// gives, with a word on pErr when the configuration file is broken. Read once by the entry of
// each run (the window, --probe, --permanence-test, --check, --serve, --list-ports) and handed
// down, so that nothing below reads the configuration again behind the run's back.
CPortSetup SetUpPorts(const CCommandLine& commandLine, std::FILE* pErr);
