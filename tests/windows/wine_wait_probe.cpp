// The Windows port's wait under Wine without the program around it, for serve_bench --wine-wait
// while Qt for Windows is not at hand: COM1 opened as the program opens it, the panel's reports
// waited for on the port's event (WaitEvent, in WaitForMultipleObjects as the runs' wait does),
// each told on standard output as a line the moment its block is received. For SECONDS (default
// 600), then it ends with 0.
//   wine_wait_probe.exe [SECONDS]
#include "port_names.h"
#include "serial_link.h"
#include "win32_serial_device.h"

#include <cstdio>
#include <cstdlib>
#include <windows.h>

int main(int argc, char** argv)
{
    const ULONGLONG nSeconds = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 600;
    CWin32SerialDevice device;
    CSerialLink link(&device);
    if (link.Open(PortDevicePath(1), 9600) != 1) {
        std::printf("{\"link\":false,\"error\":\"%s\"}\n", link.LastOpenError().c_str());
        return 2;
    }
    std::printf("{\"link\":true}\n");
    std::fflush(stdout);
    const ULONGLONG nEnd = ::GetTickCount64() + nSeconds * 1000;
    for (ULONGLONG nNow = ::GetTickCount64(); nNow < nEnd && link.m_bOpen; nNow = ::GetTickCount64()) {
        if (link.BytesWaiting() == 0) {
            HANDLE ends[] = {static_cast<HANDLE>(device.WaitEvent())};
            ::WaitForMultipleObjects(1, ends, FALSE, static_cast<DWORD>(nEnd - nNow));
            continue;
        }
        uint8_t block[kReplyBufferSize] = {};
        int nBytes = 0;
        if (link.ReceiveBlock(block, &nBytes) == kBlockDone) {
            std::printf("{\"event\":\"report\",\"bytes\":%d}\n", nBytes);
            std::fflush(stdout);
        }
    }
    return link.m_bOpen ? 0 : 1;
}
