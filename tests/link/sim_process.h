#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The virtual panel as a child process: started on its own pseudo-terminal link path, driven
// through its command lines on stdin, stopped and reaped on destruction.
class CSimProcess {
public:
    CSimProcess() = default;
    ~CSimProcess();
    CSimProcess(const CSimProcess&) = delete;
    CSimProcess& operator=(const CSimProcess&) = delete;

    // Starts `binary` with `args` plus --link at a path unique to this process and call, and
    // waits for its READY line. On failure says why in *pError.
    bool Start(const std::string& binary, const std::vector<std::string>& args, std::string* pError);

    // Sends one command line and collects the lines it prints up to its OK or ERR. Returns
    // true on OK; false on ERR, on a time-out or when the simulator is gone.
    bool Command(const std::string& line, std::vector<std::string>* pOut = nullptr, int timeoutMs = 5000);

    // Sends a command line without waiting for its answer, for commands that take effect
    // while the link is busy (a "wait" followed by a fault). The next Command first collects
    // the answers still owed.
    bool Post(const std::string& line);

    // Ends the simulator: closes its input, then asks, then insists. Safe to call twice.
    void Stop();

    const std::string& LinkPath() const { return m_linkPath; }
    pid_t Pid() const { return m_pid; }
    bool Running() const { return m_pid > 0; }

private:
    bool ReadLine(std::string* pLine, int timeoutMs);

    pid_t m_pid = -1;
    int m_toSim = -1;
    int m_fromSim = -1;
    int m_nOwed = 0;
    std::string m_pending;
    std::string m_linkPath;
};
