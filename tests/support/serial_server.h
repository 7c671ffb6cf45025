#pragma once

#include <string>
#include <sys/types.h>

// A serial device server in front of a serial device (the virtual panel's pseudo-terminal),
// for the network tests: Debian's ser2net with a YAML configuration of its own in a temporary
// folder, or pyserial's RFC 2217 PortManager (tests/support/rfc2217_server.py). Listens on
// 127.0.0.1 (or ::1) only, at a port the system hands out; stopped by its own pid. Plain POSIX.
class CSerialServer {
public:
    enum class Kind { Ser2netRfc2217, Ser2netRaw, Pyserial };

    struct COptions {
        Kind kind = Kind::Ser2netRfc2217;
        std::string strHost = "127.0.0.1";
        bool bCharDelay = true; // ser2net's chardelay, on as ser2net has it unless told otherwise
        int nBaud = 9600;
    };

    CSerialServer() = default;
    ~CSerialServer();
    CSerialServer(const CSerialServer&) = delete;
    CSerialServer& operator=(const CSerialServer&) = delete;

    // Starts it for device and waits until it accepts connections. On failure *pError says why.
    bool Start(const std::string& device, const COptions& options, std::string* pError);
    // Starts it again on the same port after Stop (a server restarted in the middle of a run).
    bool Restart(std::string* pError);
    // Ends it by its pid (SIGTERM, then SIGKILL) and reaps it. Safe to call twice.
    void Stop();

    int Port() const { return m_nPort; }
    pid_t Pid() const { return m_pid; }
    // rfc2217://127.0.0.1:PORT, socket://..., with the address in brackets for ::1.
    std::string Url() const;

    // Whether the programs are on this machine: ser2net, and python3 with pyserial.
    static bool HaveSer2net();
    static bool HavePyserial();

private:
    bool Launch(std::string* pError);

    std::string m_strDevice;
    COptions m_options;
    std::string m_strDir;
    int m_nPort = 0;
    pid_t m_pid = -1;
    int m_nOut = -1;
};
