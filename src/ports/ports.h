#pragma once

// The port setup, for the panel and the windows above it:
//   port_config.h     which device COM1 and COM2 stand for (--com1/--com2, $KOVA_COMn, the
//                     [ports] section of the user's configuration, the default), and
//                     --save-port, which changes that one line of the file;
//   port_discovery.h  the serial devices of this computer (sysfs on Linux, the registry's
//                     serial map on Windows), what each is, who may open it, the listing of
//                     --list-ports and the advice of the settings dialog;
//   port_diagnosis.h  what to tell a user whose port would not open.
// Qt Core only, on the link library; nothing here opens a port.
#include "port_config.h"
#include "port_diagnosis.h"
#include "port_discovery.h"
