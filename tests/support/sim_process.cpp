#include "sim_process.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string FreshLinkPath()
{
    static std::atomic<int> counter{0};
    const char* dir = std::getenv("TMPDIR");
    std::string base = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
    return base + "/kova-link-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

long MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

CSimProcess::~CSimProcess()
{
    Stop();
}

bool CSimProcess::Start(const std::string& binary, const std::vector<std::string>& args, std::string* pError)
{
    // A simulator that has died must not take the test down with it on the next write.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return *pError = std::string("pipe: ") + std::strerror(errno), false;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return *pError = std::string("pipe: ") + std::strerror(errno), false;
    }
    m_linkPath = FreshLinkPath();
    ::unlink(m_linkPath.c_str());

    std::vector<std::string> argv{binary};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--link");
    argv.push_back(m_linkPath);
    std::vector<char*> cargv;
    for (std::string& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        *pError = std::string("fork: ") + std::strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1]})
            ::close(fd);
        return false;
    }
    if (pid == 0) {
        // dup2 clears close-on-exec on the copies, and only on them.
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(binary.c_str(), cargv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    m_pid = pid;
    m_toSim = in[1];
    m_fromSim = out[0];

    std::string line;
    while (ReadLine(&line, 10000)) {
        if (line.rfind("READY ", 0) != 0)
            continue;
        if (line.substr(6) == m_linkPath)
            return true;
        *pError = "the simulator reported " + line + " for --link " + m_linkPath;
        Stop();
        return false;
    }
    *pError = "the simulator did not report READY";
    Stop();
    return false;
}

bool CSimProcess::ReadLine(std::string* pLine, int timeoutMs)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const size_t nl = m_pending.find('\n');
        if (nl != std::string::npos) {
            *pLine = m_pending.substr(0, nl);
            if (!pLine->empty() && pLine->back() == '\r')
                pLine->pop_back();
            m_pending.erase(0, nl + 1);
            return true;
        }
        if (m_fromSim < 0)
            return false;
        const long left = timeoutMs - MsSince(start);
        if (left <= 0)
            return false;
        pollfd pfd{m_fromSim, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return false;
        char buf[4096];
        const ssize_t n = ::read(m_fromSim, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        m_pending.append(buf, static_cast<size_t>(n));
    }
}

bool CSimProcess::Post(const std::string& line)
{
    if (m_toSim < 0)
        return false;
    const std::string text = line + "\n";
    if (::write(m_toSim, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return false;
    ++m_nOwed;
    return true;
}

bool CSimProcess::Command(const std::string& line, std::vector<std::string>* pOut, int timeoutMs)
{
    const auto start = std::chrono::steady_clock::now();
    std::string reply;
    while (m_nOwed > 0 && ReadLine(&reply, static_cast<int>(timeoutMs - MsSince(start)))) {
        if (reply == "OK" || reply.rfind("ERR", 0) == 0)
            --m_nOwed;
    }
    if (m_nOwed > 0 || !Post(line))
        return false;
    m_nOwed = 0;
    while (ReadLine(&reply, static_cast<int>(timeoutMs - MsSince(start)))) {
        if (reply == "OK")
            return true;
        if (reply == "ERR" || reply.rfind("ERR ", 0) == 0) {
            if (pOut != nullptr)
                pOut->push_back(reply);
            return false;
        }
        if (pOut != nullptr)
            pOut->push_back(reply);
    }
    return false;
}

std::string CSimProcess::Reply(const std::string& command, const std::string& prefix, int timeoutMs)
{
    std::vector<std::string> out;
    if (!Command(command, &out, timeoutMs))
        return {};
    for (const std::string& line : out)
        if (line.rfind(prefix, 0) == 0)
            return line;
    return {};
}

bool CSimProcess::StateShows(const std::string& text, int deadlineMs)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (State().find(text) != std::string::npos)
            return true;
        if (MsSince(start) >= deadlineMs)
            return false;
        ::usleep(20000);
    }
}

void CSimProcess::CloseInput()
{
    if (m_toSim >= 0) {
        ::close(m_toSim);
        m_toSim = -1;
    }
}

bool CSimProcess::WaitForExit(int deadlineMs, int* pStatus)
{
    if (m_pid <= 0)
        return true;
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    for (;;) {
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            if (pStatus != nullptr)
                *pStatus = status;
            return true;
        }
        if (MsSince(start) >= deadlineMs)
            return false;
        ::usleep(10000);
    }
}

void CSimProcess::Stop()
{
    const bool bAsked = m_toSim >= 0;
    if (bAsked) {
        static const char kQuit[] = "quit\n";
        [[maybe_unused]] const ssize_t ignored = ::write(m_toSim, kQuit, sizeof kQuit - 1);
        CloseInput();
    }
    if (m_pid > 0) {
        // "quit" asks it to leave (when its input is still there to ask through); a signal
        // insists if it does not within a second.
        if (!bAsked || !WaitForExit(1000)) {
            ::kill(m_pid, SIGTERM);
            if (!WaitForExit(1000)) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, nullptr, 0);
                m_pid = -1;
                // Killed, it could not take its symlink away; a stale one would only confuse
                // whoever looks at the temporary folder next.
                struct stat st {};
                if (!m_linkPath.empty() && ::lstat(m_linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                    ::unlink(m_linkPath.c_str());
            }
        }
    }
    if (m_fromSim >= 0) {
        ::close(m_fromSim);
        m_fromSim = -1;
    }
    m_pending.clear();
}
