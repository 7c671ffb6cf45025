// Block exchanges of the real link against the virtual panel over a pseudo-terminal.
//
// Two kinds of exchange: a one-byte LED telegram sent and acknowledged, and "l+" sent and the
// panel's answer block received. For each: median and p99 wall time, the processor time of
// this process per exchange and as a share of the wall time, and, against a paced panel, the
// ratio of the wall time to the line time of the exchange's bytes (11 bits a byte, every byte
// in both directions).
//
// That ratio holds the virtual panel's own pacing too. The PC's share alone comes from the
// panel's log, whose stamps are microseconds: the turnaround is the time from the write that
// put the panel's last byte on the PC's side (its line time already passed) to the read of the
// PC's next byte. p50, p99 and max of every turnaround of the measured exchanges.
#include "bench_support.h"
#include "serial_link.h"
#include "sim_process.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    std::string name;
    int baud = 0; // of the panel's pacing; 0 for an unpaced panel
    int n = 0;
    int failures = 0;
    double medianMs = 0, p99Ms = 0;
    double cpuMsPerExchange = 0, cpuShare = 0;
    double bytesPerExchange = 0;
    double lineMs = 0; // line time of the median exchange's bytes
    double medianRatio = 0, p99Ratio = 0;
    std::vector<double> turnaroundsMs; // against a paced panel only
    std::vector<double> insideMs;      // the program's part of them
    double load = 0;                   // one-minute load average at the end
};

// The PC's turnarounds from the panel's log: every chunk read from the PC that follows a chunk
// written to it, between the two marker commands around the measured run.
std::vector<double> Turnarounds(const std::string& strLog)
{
    std::vector<double> result;
    FILE* pFile = std::fopen(strLog.c_str(), "r");
    if (pFile == nullptr)
        return result;
    char line[8192];
    int nMarks = 0;
    double lastToPc = -1;
    while (std::fgets(line, sizeof line, pFile) != nullptr) {
        double ms = 0;
        char tag[8] = {};
        if (std::sscanf(line, "%lf %7s", &ms, tag) != 2)
            continue;
        const std::string t = tag;
        if (t == "cmd" && std::strstr(line, " cmd dump") != nullptr)
            ++nMarks;
        if (nMarks != 1)
            continue;
        if (t == "<PC") {
            lastToPc = ms;
        } else if (t == "PC>") {
            if (lastToPc >= 0)
                result.push_back(ms - lastToPc);
            lastToPc = -1;
        }
    }
    std::fclose(pFile);
    return result;
}

enum class Kind { Send, SendReceive };

bool RunOne(CSerialLink& link, Kind kind, int i)
{
    if (kind == Kind::Send) {
        // LED 1 on, then off: telegrams without an answer block.
        const uint8_t led = (i % 2 == 0) ? '1' : 'A';
        return link.SendBlock(&led, 1, 1) == kBlockDone;
    }
    static const uint8_t lcdInit[] = {'l', '+'};
    if (link.SendBlock(lcdInit, 2, 1) != kBlockDone)
        return false;
    std::array<uint8_t, kReplyBufferSize> buf{};
    int count = 0;
    return link.ReceiveBlock(buf.data(), &count) == kBlockDone;
}

bool Measure(const char* simBinary, int baud, Kind kind, int n, Result* pResult)
{
    CSimProcess sim;
    const char* pszTmp = std::getenv("TMPDIR");
    std::string strDir = std::string(pszTmp != nullptr && *pszTmp != '\0' ? pszTmp : "/tmp") + "/link_bench.XXXXXX";
    if (::mkdtemp(strDir.data()) == nullptr)
        return false;
    const std::string strLog = strDir + "/panel.log";
    std::vector<std::string> extra;
    if (baud != 0)
        extra = {"--log", strLog};
    if (!StartSimAsCom1(sim, simBinary, baud, "link_bench", extra))
        return false;
    CCountingDevice device;
    CSerialLink link(&device);
    if (link.Open(PortDevicePath(1), baud == 0 ? 9600 : baud) != 1) {
        std::fprintf(stderr, "link_bench: cannot open %s: %s\n", sim.LinkPath().c_str(), link.LastOpenError().c_str());
        return false;
    }
    for (int i = 0; i < 5; ++i) // warm-up, not measured
        RunOne(link, kind, i);

    std::vector<double> wallMs, ratios;
    std::vector<long> bytes;
    int failures = 0;
    const double bitMs = baud != 0 ? 1000.0 / baud : 0.0;
    sim.Command("dump"); // marks the start of the measured run in the panel's log
    device.ReadToWriteMs().clear();
    const double cpuStart = CpuSeconds();
    const auto runStart = Clock::now();
    for (int i = 0; i < n; ++i) {
        const long before = device.Total();
        const auto start = Clock::now();
        if (!RunOne(link, kind, i)) {
            ++failures;
            if (!link.m_bOpen && link.Open(PortDevicePath(1), baud == 0 ? 9600 : baud) != 1)
                break;
            continue;
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        const long count = device.Total() - before;
        wallMs.push_back(ms);
        bytes.push_back(count);
        if (baud != 0)
            ratios.push_back(ms / (static_cast<double>(count) * 11.0 * bitMs));
    }
    const double runWallS = std::chrono::duration<double>(Clock::now() - runStart).count();
    const double cpuS = CpuSeconds() - cpuStart;
    sim.Command("dump");

    Result& r = *pResult;
    r.name = kind == Kind::Send ? "send, acknowledged" : "send l+, receive answer";
    r.baud = baud;
    r.n = n;
    r.failures = failures;
    r.medianMs = Percentile(wallMs, 0.5);
    r.p99Ms = Percentile(wallMs, 0.99);
    r.cpuMsPerExchange = n > 0 ? cpuS * 1000.0 / n : 0.0;
    r.cpuShare = runWallS > 0 ? cpuS / runWallS : 0.0;
    std::vector<double> bytesD(bytes.begin(), bytes.end());
    r.bytesPerExchange = Percentile(bytesD, 0.5);
    r.lineMs = r.bytesPerExchange * 11.0 * bitMs;
    r.medianRatio = Percentile(ratios, 0.5);
    r.p99Ratio = Percentile(ratios, 0.99);
    r.load = LoadAverage();
    r.insideMs = device.ReadToWriteMs();
    link.Close();
    sim.Stop();
    if (baud != 0)
        r.turnaroundsMs = Turnarounds(strLog);
    std::remove(strLog.c_str());
    ::rmdir(strDir.c_str());
    return true;
}

void Usage()
{
    std::fprintf(stderr, "usage: link_bench [-n EXCHANGES] [--sim PATH] [--baud 0|9600|19200]...\n"
                         "Runs block exchanges against the virtual panel, unpaced (0) and paced at 9600 Bd unless\n"
                         "--baud says otherwise, and prints a Markdown table of the figures.\n");
}

} // namespace

int main(int argc, char** argv)
{
    int n = 200;
    const char* sim = KOVA_SIM_BINARY;
    std::vector<int> bauds;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-n" && i + 1 < argc) {
            n = std::atoi(argv[++i]);
        } else if (a == "--sim" && i + 1 < argc) {
            sim = argv[++i];
        } else if (a == "--baud" && i + 1 < argc) {
            const int b = std::atoi(argv[++i]);
            if (b != 0 && b != 9600 && b != 19200) {
                Usage();
                return 2;
            }
            bauds.push_back(b);
        } else {
            Usage();
            return a == "-h" || a == "--help" ? 0 : 2;
        }
    }
    if (n <= 0) {
        Usage();
        return 2;
    }
    if (bauds.empty())
        bauds = {0, 9600};

    std::vector<Result> results;
    for (int baud : bauds) {
        for (Kind kind : {Kind::Send, Kind::SendReceive}) {
            Result r;
            if (!Measure(sim, baud, kind, n, &r))
                return 1;
            results.push_back(r);
        }
    }

    std::printf("| exchange | panel | N | failed | bytes | median ms | p99 ms | CPU ms/exchange | CPU share | line ms "
                "| median ratio | p99 ratio |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    bool targetsMet = true;
    for (const Result& r : results) {
        const std::string panel = r.baud != 0 ? std::to_string(r.baud) + " Bd" : "unpaced";
        if (r.baud != 0) {
            std::printf("| %s | %s | %d | %d | %.0f | %.2f | %.2f | %.3f | %.2f %% | %.2f | %.3f | %.3f |\n",
                        r.name.c_str(), panel.c_str(), r.n, r.failures, r.bytesPerExchange, r.medianMs, r.p99Ms,
                        r.cpuMsPerExchange, r.cpuShare * 100.0, r.lineMs, r.medianRatio, r.p99Ratio);
            targetsMet = targetsMet && r.cpuShare < 0.05 && r.medianRatio <= 1.2;
        } else {
            std::printf("| %s | %s | %d | %d | %.0f | %.3f | %.3f | %.3f | %.2f %% | - | - | - |\n", r.name.c_str(),
                        panel.c_str(), r.n, r.failures, r.bytesPerExchange, r.medianMs, r.p99Ms, r.cpuMsPerExchange,
                        r.cpuShare * 100.0);
        }
        targetsMet = targetsMet && r.failures == 0;
    }
    std::printf("\nThe PC's turnaround alone: from the panel's last byte on the line to the PC's next byte\n\n");
    std::printf("| exchange | panel | turnarounds | p50 ms | p99 ms | max ms | inside the program: p50 ms | p99 ms | "
                "max ms | load avg 1 min |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Result& r : results) {
        if (r.baud == 0)
            continue;
        const auto& t = r.turnaroundsMs;
        const auto& in = r.insideMs;
        std::printf("| %s | %d Bd | %zu | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %.2f |\n", r.name.c_str(), r.baud,
                    t.size(), Percentile(t, 0.5), Percentile(t, 0.99),
                    t.empty() ? 0.0 : *std::max_element(t.begin(), t.end()), Percentile(in, 0.5), Percentile(in, 0.99),
                    in.empty() ? 0.0 : *std::max_element(in.begin(), in.end()), r.load);
    }

    std::printf("\nTargets against a paced panel (CPU share < 5 %%, median ratio <= 1.2, no failures): %s\n",
                targetsMet ? "met" : "NOT met");
    return targetsMet ? 0 : 3;
}
