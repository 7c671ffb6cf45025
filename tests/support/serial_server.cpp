#include "serial_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef KOVA_SERVER_SCRIPT
#error "KOVA_SERVER_SCRIPT must name tests/support/rfc2217_server.py"
#endif

namespace {

bool IsIpv6(const std::string& host)
{
    return host.find(':') != std::string::npos;
}

// A port nobody listens on now, handed out by the system.
int FreePort(const std::string& host)
{
    const int family = IsIpv6(host) ? AF_INET6 : AF_INET;
    const int s = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return 0;
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
        a->sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&addr);
        a->sin_family = AF_INET;
        ::inet_pton(AF_INET, host.c_str(), &a->sin_addr);
        len = sizeof *a;
    }
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), len) == 0
        && ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    ::close(s);
    return port;
}

// Whether something listens on the port, from the kernel's socket tables. A test connect would
// do too, but ser2net opens the device for it and, with kickolduser, a connect that comes just
// after the program's own reconnect would throw the program off.
bool Listening(const std::string& host, int port)
{
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    std::ifstream table(IsIpv6(host) ? "/proc/net/tcp6" : "/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0)
            return true;
    }
    return false;
}

} // namespace

CSerialServer::~CSerialServer()
{
    Stop();
    if (!m_strDir.empty()) {
        ::unlink((m_strDir + "/ser2net.yaml").c_str());
        ::unlink((m_strDir + "/ser2net.pid").c_str()); // left behind when ser2net had to be killed
        ::rmdir(m_strDir.c_str());
    }
}

bool CSerialServer::HaveSer2net()
{
    return ::access("/usr/sbin/ser2net", X_OK) == 0;
}

bool CSerialServer::HavePyserial()
{
    return std::system("/usr/bin/python3 -c 'import serial.rfc2217' >/dev/null 2>&1") == 0;
}

std::string CSerialServer::Url() const
{
    const std::string host = IsIpv6(m_options.strHost) ? "[" + m_options.strHost + "]" : m_options.strHost;
    const char* scheme = m_options.kind == Kind::Ser2netRaw ? "socket://" : "rfc2217://";
    return scheme + host + ":" + std::to_string(m_nPort);
}

bool CSerialServer::Start(const std::string& device, const COptions& options, std::string* pError)
{
    Stop();
    m_strDevice = device;
    m_options = options;
    m_nPort = 0;
    if (m_options.kind != Kind::Pyserial) {
        m_nPort = FreePort(m_options.strHost);
        if (m_nPort == 0)
            return *pError = "no free port", false;
        char dir[] = "/tmp/kova-ser2net-XXXXXX";
        if (::mkdtemp(dir) == nullptr)
            return *pError = std::string("mkdtemp: ") + std::strerror(errno), false;
        m_strDir = dir;
        const std::string accepter = m_options.kind == Kind::Ser2netRaw ? "tcp" : "telnet(rfc2217),tcp";
        std::ofstream yaml(m_strDir + "/ser2net.yaml");
        yaml << "connection: &panel\n"
             << "  accepter: " << accepter << "," << m_options.strHost << "," << m_nPort << "\n"
             << "  connector: serialdev," << m_strDevice << "," << m_options.nBaud << "e81,local\n"
             << "  options:\n"
             << "    kickolduser: true\n"
             << "    chardelay: " << (m_options.bCharDelay ? "true" : "false") << "\n";
        if (!yaml)
            return *pError = "cannot write " + m_strDir + "/ser2net.yaml", false;
    }
    return Launch(pError);
}

bool CSerialServer::Restart(std::string* pError)
{
    Stop();
    return Launch(pError);
}

bool CSerialServer::Launch(std::string* pError)
{
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> argv;
    if (m_options.kind == Kind::Pyserial) {
        argv = {"/usr/bin/python3", KOVA_SERVER_SCRIPT, m_strDevice, "--host", m_options.strHost};
        if (m_nPort != 0)
            argv.insert(argv.end(), {"--port", std::to_string(m_nPort)});
    } else {
        argv = {"/usr/sbin/ser2net",       "-n", "-d", "-u", "-P", m_strDir + "/ser2net.pid", "-c",
                m_strDir + "/ser2net.yaml"};
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return *pError = std::string("pipe: ") + std::strerror(errno), false;
    std::vector<char*> cargv;
    for (std::string& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        return *pError = std::string("fork: ") + std::strerror(errno), false;
    if (pid == 0) {
        // A test that dies without its destructors must not leave a server listening.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(out[1], STDOUT_FILENO);
        const int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0)
            ::dup2(devNull, STDERR_FILENO);
        ::execv(cargv[0], cargv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    m_pid = pid;
    m_nOut = out[0];

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    if (m_options.kind == Kind::Pyserial) {
        std::string text;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{m_nOut, POLLIN, 0};
            if (::poll(&pfd, 1, 200) <= 0)
                continue;
            char buf[256];
            const ssize_t n = ::read(m_nOut, buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, static_cast<size_t>(n));
            const size_t at = text.find("READY ");
            if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
                m_nPort = std::atoi(text.c_str() + at + 6);
                return true;
            }
        }
        Stop();
        return *pError = "pyserial's server did not report READY", false;
    }
    // ser2net says nothing when it listens: the kernel's table tells.
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return *pError = "ser2net ended at once (status " + std::to_string(status) + ")", false;
        }
        if (Listening(m_options.strHost, m_nPort))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    return *pError = "ser2net did not listen on port " + std::to_string(m_nPort), false;
}

void CSerialServer::Stop()
{
    if (m_nOut >= 0)
        ::close(m_nOut);
    m_nOut = -1;
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_pid = -1;
}
