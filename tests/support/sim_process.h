#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The virtual panel as a child process: started on a pseudo-terminal link path of its own,
// driven through its command lines on stdin, stopped and reaped on destruction. Every test and
// benchmark that talks to the virtual panel goes through this one driver, so a fix to starting,
// talking or stopping lands once. Plain POSIX: no Qt and none of the program's code.
class CSimProcess {
public:
    CSimProcess() = default;
    ~CSimProcess();
    CSimProcess(const CSimProcess&) = delete;
    CSimProcess& operator=(const CSimProcess&) = delete;

    // Starts `binary` with `args` plus --link at a path unique to this process and call, and
    // waits for its READY line, which must name that path. On failure says why in *pError.
    bool Start(const std::string& binary, const std::vector<std::string>& args, std::string* pError);

    // Sends one command line and collects the lines it prints up to its OK or ERR (the ERR
    // line included). Returns true on OK; false on ERR, on a time-out or when it is gone.
    bool Command(const std::string& line, std::vector<std::string>* pOut = nullptr, int timeoutMs = 5000);

    // Sends a command line without waiting for its answer, for commands that take effect
    // while the link is busy (a "wait" followed by a fault). The next Command first collects
    // the answers still owed.
    bool Post(const std::string& line);

    // One line of its output as it comes, for tests of the command channel itself.
    bool ReadLine(std::string* pLine, int timeoutMs);

    // The first line of a command's answer that starts with `prefix` ("STATE ", "HISTORY"), or
    // an empty string when the command fails or prints no such line.
    std::string Reply(const std::string& command, const std::string& prefix, int timeoutMs = 5000);
    // The "STATE {...}" line of a dump, or an empty string.
    std::string State(int timeoutMs = 5000) { return Reply("dump", "STATE ", timeoutMs); }
    // Waits until a dump shows `text`: the panel acts on the line's bytes in its own time.
    bool StateShows(const std::string& text, int deadlineMs = 5000);

    // Closes its command input and nothing else: without --exit-on-eof it goes on serving
    // the line.
    void CloseInput();
    // Waits until it has ended by itself and reaps it; false if it is still running.
    bool WaitForExit(int deadlineMs, int* pStatus = nullptr);

    // Ends it: asks with "quit", then insists with signals. Safe to call twice.
    void Stop();

    const std::string& LinkPath() const { return m_linkPath; }
    pid_t Pid() const { return m_pid; }
    bool Running() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
    int m_toSim = -1;
    int m_fromSim = -1;
    int m_nOwed = 0;
    std::string m_pending;
    std::string m_linkPath;
};
