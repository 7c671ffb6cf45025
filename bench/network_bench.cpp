// A telegram's round trip over a serial device server on 127.0.0.1 beside the same over the
// pseudo-terminal, in one run: the virtual panel paced at 9600 Bd (or unpaced with --baud 0),
// and the link to it directly, through ser2net's RFC 2217 accepter (chardelay on and off),
// through pyserial's RFC 2217 server, and through ser2net's raw accepter (socket://). Each
// exchange is "#" sent and the identify block received, as a connect begins. Prints a Markdown
// table: median and p99 ms, and processor time per exchange, this program's and the server's.
//   network_bench [--exchanges N] [--baud 9600|19200|0]
#include "serial_link.h"
#include "serial_server.h"
#include "sim_process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double CpuMsSelf()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// User and system time of another process, from /proc (clock ticks).
double CpuMsOf(pid_t pid)
{
    if (pid <= 0)
        return 0;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < text.size()) {
        const size_t end = text.find(' ', at);
        fields.push_back(text.substr(at, end - at));
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    if (fields.size() < 13)
        return 0;
    return (std::stod(fields[11]) + std::stod(fields[12])) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct CResult {
    std::string strName;
    double p50 = 0, p99 = 0, cpuSelf = 0, cpuServer = 0;
    int nFailed = 0;
};

CResult Measure(const std::string& name, const std::string& port, pid_t server, int nExchanges)
{
    CResult r;
    r.strName = name;
    CSerialLink link;
    if (link.Open(port, 9600) != 1) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), link.LastOpenError().c_str());
        r.nFailed = nExchanges;
        return r;
    }
    std::vector<double> ms;
    const uint8_t hash = '#';
    uint8_t buf[kReplyBufferSize];
    const double cpu0 = CpuMsSelf();
    const double server0 = CpuMsOf(server);
    for (int i = 0; i < nExchanges; ++i) {
        const auto t0 = Clock::now();
        int count = 0;
        const bool ok = link.SendBlock(&hash, 1, 1) == kBlockDone && link.ReceiveBlock(buf, &count) == kBlockDone;
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        r.nFailed += ok ? 0 : 1;
        if (!link.m_bOpen)
            link.Open(port, 9600);
    }
    r.cpuSelf = (CpuMsSelf() - cpu0) / nExchanges;
    r.cpuServer = (CpuMsOf(server) - server0) / nExchanges;
    std::sort(ms.begin(), ms.end());
    r.p50 = ms[ms.size() / 2];
    r.p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    int nExchanges = 500;
    int baud = 9600;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--exchanges")
            nExchanges = std::atoi(argv[i + 1]);
        else if (a == "--baud")
            baud = std::atoi(argv[i + 1]);
    }
    CSimProcess sim;
    std::string error;
    std::vector<std::string> simArgs;
    if (baud != 0)
        simArgs = {"--baud", std::to_string(baud)};
    if (!sim.Start(KOVA_SIM_BINARY, simArgs, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::vector<CResult> results;
    results.push_back(Measure("pseudo-terminal", sim.LinkPath(), -1, nExchanges));
    const std::pair<const char*, CSerialServer::COptions> servers[] = {
        {"ser2net rfc2217:// (chardelay on, its default)",
         {CSerialServer::Kind::Ser2netRfc2217, "127.0.0.1", true, 9600}},
        {"ser2net rfc2217://, chardelay off", {CSerialServer::Kind::Ser2netRfc2217, "127.0.0.1", false, 9600}},
        {"pyserial rfc2217://", {CSerialServer::Kind::Pyserial, "127.0.0.1", true, 9600}},
        {"ser2net socket:// (chardelay on)", {CSerialServer::Kind::Ser2netRaw, "127.0.0.1", true, 9600}},
    };
    for (const auto& [name, options] : servers) {
        CSerialServer server;
        if (!server.Start(sim.LinkPath(), options, &error)) {
            std::fprintf(stderr, "%s: %s\n", name, error.c_str());
            continue;
        }
        results.push_back(Measure(name, server.Url(), server.Pid(), nExchanges));
    }
    std::printf(
        "| path | exchanges | p50 ms | p99 ms | p50 ratio to the pty | CPU ms/exchange, kova | CPU ms/exchange, "
        "server | failed |\n|---|---|---|---|---|---|---|---|\n");
    for (const CResult& r : results)
        std::printf("| %s | %d | %.2f | %.2f | %.2f | %.3f | %.3f | %d |\n", r.strName.c_str(), nExchanges, r.p50,
                    r.p99, r.p50 / results.front().p50, r.cpuSelf, r.cpuServer, r.nFailed);
    return 0;
}
