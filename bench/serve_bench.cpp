// The machine interface (--serve) against the virtual panel on a pseudo-terminal, unpaced:
//  1. in-process, the session's own share of a command: from taking the line to the first byte
//     on the port, and from the read of the panel's acknowledgement to the reply line;
//  2. the real kova_en --serve through pipes: a command without line traffic from the write of
//     its line to its reply, and a key report from the panel's console command to its event
//     line (both upper bounds: they include the pipes, the wake-ups and the virtual panel);
//  3. resident memory of that process after 1,000 and after 100,000 commands;
//  4. a reader that lags: replies and events in order and none lost, and how soon a key report
//     reaches the program while half a MiB of replies waits for the reader;
//  5. stop latency: 1,500 LED commands written at once against the virtual panel paced at
//     9600 Bd (some 12 s of line time), the stop signal one second later, and the time from the
//     signal to the program's end (p50 and p99 over KOVA_BENCH_STOPS runs, default 20);
//  6. the processor time of an idle --serve with the panel connected, over KOVA_BENCH_IDLE_S
//     seconds (default 60), in % of one core.
// usage: serve_bench [N]   (N commands for the latencies, default 2000)
//        serve_bench --wine PROGRAM COM1 [N]
//   the Windows program under Wine instead (PROGRAM: its Windows path, COM1: the file Wine's
//   COM1 is mapped to, made a link to the virtual panel here); 2., 5. (with SIGINT, which Wine
//   turns into the console's Ctrl+C) and 6. (with wineserver's share, when this benchmark
//   started the prefix's wineserver itself), for the same measures beside the Linux ones.
//        serve_bench --wine-wait PROBE COM1 [N]
//   the port's wait alone under Wine (tests/windows/wine_wait_probe.exe of the link-only cross
//   build, PROBE its Linux path), for when Qt for Windows is not at hand: how soon a key report
//   reaches it through the port's event (N reports) and what its idle wait costs over
//   KOVA_BENCH_IDLE_S seconds, with wineserver's share.
#include "bench_support.h"
#include "serve.h"

#include <QCoreApplication>

#include <chrono>
#include <cstring>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

double NowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The posix device, with the time of the first byte written and the last byte read.
class CTimingDevice final : public ISerialDevice {
public:
    bool Open(const std::string& path, int baud) override { return m_inner.Open(path, baud); }
    void Close() override { m_inner.Close(); }
    void WriteByte(uint8_t byte) override
    {
        if (m_firstWriteMs < 0)
            m_firstWriteMs = NowMs();
        m_inner.WriteByte(byte);
    }
    int InputQueued() override { return m_inner.InputQueued(); }
    ReadStatus ReadByte(uint8_t* byte) override
    {
        const ReadStatus status = m_inner.ReadByte(byte);
        if (status == ReadStatus::Byte)
            m_lastReadMs = NowMs();
        return status;
    }
    WaitStatus WaitReadable(int timeoutMs) override { return m_inner.WaitReadable(timeoutMs); }
    std::string LastError() const override { return m_inner.LastError(); }
    int LastErrorNumber() const override { return m_inner.LastErrorNumber(); }
    int Descriptor() const override { return m_inner.Descriptor(); }

    void Reset() { m_firstWriteMs = m_lastReadMs = -1; }
    double m_firstWriteMs = -1;
    double m_lastReadMs = -1;

private:
    CPosixSerialDevice m_inner;
};

void Row(const char* what, const std::vector<double>& ms)
{
    std::printf("| %s | %zu | %.3f | %.3f |\n", what, ms.size(), Percentile(ms, 0.5), Percentile(ms, 0.99));
}

// kova_en --serve as a child on two pipes.
struct CChild {
    pid_t pid = -1;
    int toChild = -1;
    FILE* pFrom = nullptr;

    bool Start(const std::vector<std::string>& argv)
    {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            return false;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::close(in[1]);
            ::close(out[0]);
            std::vector<char*> args;
            for (const std::string& arg : argv)
                args.push_back(const_cast<char*>(arg.c_str()));
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        toChild = in[1];
        pFrom = ::fdopen(out[0], "r");
        return pid > 0;
    }
    void Write(const std::string& text) const
    {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(toChild, text.data() + done, text.size() - done);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }
    std::string ReadLine() const
    {
        char buffer[8192];
        return std::fgets(buffer, sizeof buffer, pFrom) != nullptr ? std::string(buffer) : std::string();
    }
    long RssKiB() const
    {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0)
                return std::stol(line.substr(6));
        return -1;
    }
    int Stop()
    {
        ::close(toChild);
        std::fclose(pFrom);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// User and system time of a process so far, in seconds; -1 when it cannot be read.
double CpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command's name, which may hold blanks and ends with the last ')'.
    const size_t end = text.rfind(')');
    if (end == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::atof(field.c_str());
        if (i == 15)
            stime = std::atof(field.c_str());
    }
    return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int EnvInt(const char* name, int nDefault)
{
    const char* value = std::getenv(name);
    return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : nDefault;
}

// 5. The stop with a batch queued: the time from the signal to the program's end, while a
// reader takes everything it writes.
void StopLatency(const std::vector<std::string>& program, int nSignal, int nRuns)
{
    std::vector<double> stopMs;
    std::vector<double> answered;
    for (int run = 0; run < nRuns; ++run) {
        CChild child;
        if (!child.Start(program) || child.ReadLine().find("\"link\":true") == std::string::npos) {
            std::fprintf(stderr, "serve_bench: no link for the stop latency\n");
            return;
        }
        std::string batch;
        for (int i = 0; i < 1500; ++i)
            batch += "{\"id\":" + std::to_string(i) + ",\"cmd\":\"led\",\"key\":" + std::to_string(1 + i % 12)
                     + ",\"state\":\"" + (i % 2 == 0 ? "on" : "off") + "\"}\n";
        int nReplies = 0;
        std::thread reader([&] {
            while (!child.ReadLine().empty())
                ++nReplies;
        });
        child.Write(batch);
        ::usleep(1000 * 1000);
        const double t0 = NowMs();
        ::kill(child.pid, nSignal);
        int status = 0;
        ::waitpid(child.pid, &status, 0);
        stopMs.push_back(NowMs() - t0);
        ::close(child.toChild);
        reader.join();
        std::fclose(child.pFrom);
        answered.push_back(nReplies);
    }
    std::printf("Stop with 1,500 LED commands queued, the panel paced at 9600 Bd, %s one second in (ms):\n\n",
                nSignal == SIGINT ? "SIGINT (Ctrl+C)" : "SIGTERM");
    std::printf("| measure | N | median | p99 |\n|---|---|---|---|\n");
    Row("signal to the program's end", stopMs);
    std::printf("\nreplies before the end: median %.0f of 1,500\n\n", Percentile(answered, 0.5));
}

// 6. An idle --serve, the panel connected and quiet: its processor time (and wineserver's, when
// its pid is known) over nSeconds.
void IdleCpu(const std::vector<std::string>& program, int nSeconds, pid_t wineserver)
{
    CChild child;
    if (!child.Start(program) || child.ReadLine().find("\"link\":true") == std::string::npos) {
        std::fprintf(stderr, "serve_bench: no link for the idle measure\n");
        return;
    }
    ::usleep(1000 * 1000); // the start-up is not idleness
    const double cpu0 = CpuSeconds(child.pid);
    const double server0 = wineserver > 0 ? CpuSeconds(wineserver) : 0;
    const double t0 = NowMs();
    ::sleep(static_cast<unsigned>(nSeconds));
    const double seconds = (NowMs() - t0) / 1000;
    const double program_ = 100 * (CpuSeconds(child.pid) - cpu0) / seconds;
    std::printf("Idle --serve over %.0f s, %% of one core: the program %.2f", seconds, program_);
    if (wineserver > 0) {
        const double server = 100 * (CpuSeconds(wineserver) - server0) / seconds;
        std::printf(", wineserver %.2f, together %.2f", server, program_ + server);
    }
    std::printf("\nexit status at the end of the input: %d\n\n", child.Stop());
}

} // namespace

// Starts a wineserver of our own for the prefix, persistent, and gives its pid; 0 when one runs
// already (this one then ends at once) and its share cannot be told.
pid_t StartWineserver()
{
    const pid_t server = ::fork();
    if (server == 0) {
        ::execlp("wineserver", "wineserver", "-f", "-p", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::usleep(500 * 1000);
    return server > 0 && ::waitpid(server, nullptr, WNOHANG) == 0 ? server : 0;
}

void StopWineserver(pid_t server)
{
    if (server > 0) {
        // Asked to end as wineserver is asked (a signal makes it dump its objects first).
        if (std::system("wineserver -k") != 0)
            ::kill(server, SIGKILL);
        ::waitpid(server, nullptr, 0);
    }
}

// --wine-wait: the Windows port's wait alone, under Wine.
int WineWait(CSimProcess& sim, const char* probe, int n)
{
    const pid_t server = StartWineserver();
    CChild child;
    if (!child.Start({"wine", probe, "3600"}) || child.ReadLine().find("\"link\":true") == std::string::npos) {
        std::fprintf(stderr, "serve_bench: the probe has no link\n");
        StopWineserver(server);
        return 1;
    }
    std::vector<double> report;
    for (int i = 0; i < n; ++i) {
        const double t0 = NowMs();
        sim.Post(i % 2 == 0 ? "press " + std::to_string(1 + i % 12) : std::string("release"));
        const std::string line = child.ReadLine();
        report.push_back(NowMs() - t0);
        if (line.find("\"event\"") == std::string::npos) {
            std::fprintf(stderr, "serve_bench: expected a report, got %s", line.c_str());
            StopWineserver(server);
            return 1;
        }
        sim.Command("clear");
    }
    std::printf("The Win32 port's wait alone under Wine (ms, upper bounds):\n\n");
    std::printf("| measure | N | median | p99 |\n|---|---|---|---|\n");
    Row("key report, console command to the probe's line", report);
    const int nSeconds = EnvInt("KOVA_BENCH_IDLE_S", 60);
    const double cpu0 = CpuSeconds(child.pid);
    const double server0 = server > 0 ? CpuSeconds(server) : 0;
    const double t0 = NowMs();
    ::sleep(static_cast<unsigned>(nSeconds));
    const double seconds = (NowMs() - t0) / 1000;
    const double probe_ = 100 * (CpuSeconds(child.pid) - cpu0) / seconds;
    std::printf("\nIdle wait over %.0f s, %% of one core: the probe %.2f", seconds, probe_);
    if (server > 0) {
        const double wineserver = 100 * (CpuSeconds(server) - server0) / seconds;
        std::printf(", wineserver %.2f, together %.2f", wineserver, probe_ + wineserver);
    }
    std::printf("\n");
    ::kill(child.pid, SIGKILL);
    child.Stop();
    StopWineserver(server);
    std::printf("load average at the end: %.2f\n", LoadAverage());
    return 0;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool bWine = argc > 3 && std::strcmp(argv[1], "--wine") == 0;
    const bool bWineWait = argc > 3 && std::strcmp(argv[1], "--wine-wait") == 0;
    const int n = bWine ? (argc > 4 ? std::atoi(argv[4]) : 2000) : (argc > 1 ? std::atoi(argv[1]) : 2000);
    CSimProcess sim;
    if (!StartSimAsCom1(sim, KOVA_SIM_BINARY, 0, "serve_bench"))
        return 1;
    const std::vector<std::string> program =
        bWine ? std::vector<std::string>{"wine", argv[2], "--serve"}
              : std::vector<std::string>{KOVA_EN_BINARY, "--serve", "--com1", sim.LinkPath()};
    if (bWine || bWineWait) {
        // Wine's COM1 is the link; a Linux path in KOVA_COM1 would mean nothing to Windows.
        ::unsetenv("KOVA_COM1");
        ::unlink(argv[3]);
        if (::symlink(sim.LinkPath().c_str(), argv[3]) != 0) {
            std::fprintf(stderr, "serve_bench: cannot link %s to the virtual panel\n", argv[3]);
            return 1;
        }
    }
    if (bWineWait) {
        std::printf("load average at start: %.2f\n\n", LoadAverage());
        return WineWait(sim, argv[2], argc > 4 ? std::atoi(argv[4]) : 400);
    }
    // Under Wine our own wineserver for the prefix from the start, whose processor time counts
    // with the program's in part 6 (one started by wine itself could still be about then).
    const pid_t wineserver = bWine ? StartWineserver() : 0;
    std::printf("load average at start: %.2f\n\n", LoadAverage());

    // 1. In-process.
    if (!bWine) {
        CTimingDevice device;
        CPanelDriver driver(&device);
        CServeSession session(driver, 1, 9600, [&sim](int) { return sim.LinkPath(); });
        const QByteArray hello = session.Start(QStringLiteral("bench"));
        if (!hello.contains("\"link\":true")) {
            std::fprintf(stderr, "serve_bench: no link: %s", hello.constData());
            return 1;
        }
        std::vector<double> toFirstByte, ackToReply, parseOnly;
        const QByteArray led[2] = {R"({"id":1,"cmd":"led","key":3,"state":"on"})",
                                   R"({"id":1,"cmd":"led","key":3,"state":"off"})"};
        const QByteArray bad = R"({"id":1,"cmd":"led","key":13,"state":"on"})";
        for (int i = 0; i < n + 20; ++i) {
            device.Reset();
            const double t0 = NowMs();
            const QByteArray reply = session.HandleLine(led[i % 2]);
            const double t1 = NowMs();
            const double t2 = NowMs();
            (void)session.HandleLine(bad);
            const double t3 = NowMs();
            if (!reply.contains("\"ok\":true")) {
                std::fprintf(stderr, "serve_bench: %s", reply.constData());
                return 1;
            }
            if (i < 20)
                continue; // warm-up
            toFirstByte.push_back(device.m_firstWriteMs - t0);
            ackToReply.push_back(t1 - device.m_lastReadMs);
            parseOnly.push_back(t3 - t2);
        }
        std::printf("In-process session, LED telegrams against the unpaced virtual panel (ms):\n\n");
        std::printf("| measure | N | median | p99 |\n|---|---|---|---|\n");
        Row("line taken to first byte on the port", toFirstByte);
        Row("acknowledgement read to reply line", ackToReply);
        Row("refused line (out of range), whole", parseOnly);
        std::printf("\n");
    }

    // 2. and 3. The real program.
    CChild child;
    if (!child.Start(program)) {
        std::fprintf(stderr, "serve_bench: cannot start kova_en\n");
        return 1;
    }
    const std::string hello = child.ReadLine();
    if (hello.find("\"link\":true") == std::string::npos) {
        std::fprintf(stderr, "serve_bench: %s", hello.c_str());
        return 1;
    }
    std::vector<double> roundTrip, report;
    for (int i = 0; i < n; ++i) {
        const double t0 = NowMs();
        child.Write("{\"id\":1,\"cmd\":\"state\"}\n");
        child.ReadLine();
        roundTrip.push_back(NowMs() - t0);
    }
    const int nReports = std::max(20, n / 5);
    for (int i = 0; i < nReports; ++i) {
        const double t0 = NowMs();
        sim.Post(i % 2 == 0 ? "press " + std::to_string(1 + i % 12) : std::string("release"));
        const std::string line = child.ReadLine();
        report.push_back(NowMs() - t0);
        if (line.find("\"event\"") == std::string::npos) {
            std::fprintf(stderr, "serve_bench: expected an event, got %s", line.c_str());
            return 1;
        }
        sim.Command("clear"); // collects the console's answer
    }
    std::printf("kova_en --serve through pipes (ms, upper bounds):\n\n");
    std::printf("| measure | N | median | p99 |\n|---|---|---|---|\n");
    Row("state command, line written to reply read", roundTrip);
    Row("key report, console command to event line", report);
    std::printf("\n");
    if (bWine) {
        std::printf("exit status at the end of the input: %d\n\n", child.Stop());
        // Our own wineserver for the prefix, whose processor time counts with the program's;
        // when one runs already this one ends at once, and only the program is measured.
        const pid_t server = wineserver;
        CSimProcess paced;
        if (!StartSimAsCom1(paced, KOVA_SIM_BINARY, 9600, "serve_bench"))
            return 1;
        ::unsetenv("KOVA_COM1");
        ::unlink(argv[3]);
        if (::symlink(paced.LinkPath().c_str(), argv[3]) != 0)
            return 1;
        StopLatency(program, SIGINT, EnvInt("KOVA_BENCH_STOPS", 20));
        ::unlink(argv[3]);
        if (::symlink(sim.LinkPath().c_str(), argv[3]) != 0)
            return 1;
        IdleCpu(program, EnvInt("KOVA_BENCH_IDLE_S", 60), server);
        StopWineserver(server);
        std::printf("load average at the end: %.2f\n", LoadAverage());
        return 0;
    }

    // 3. Memory over 100,000 commands, in batches of 1,000: LEDs, text, cells, state and
    // refusals, so every path that makes a reply runs.
    const char* const kCommands[] = {
        R"({"id":1,"cmd":"led","key":5,"state":"flash"})",
        R"({"id":"two","cmd":"state"})",
        R"({"id":3,"cmd":"cell","row":3,"column":4,"attr":"AB","code":200})",
        R"({"id":4,"cmd":"stats"})",
        R"({"id":5,"cmd":"led","key":99,"state":"on"})",
        R"(not json at all)",
        R"({"id":7,"cmd":"text","rows":["bench","row two"]})",
        R"({"id":8,"cmd":"wait","for":"selector1","value":12,"timeout_ms":0})",
    };
    long rssAfter1k = 0;
    const double tStart = NowMs();
    for (int batch = 0; batch < 100; ++batch) {
        std::string lines;
        for (int i = 0; i < 1000; ++i)
            lines += std::string(kCommands[(batch * 1000 + i) % std::size(kCommands)]) + "\n";
        child.Write(lines);
        for (int i = 0; i < 1000; ++i)
            child.ReadLine();
        if (batch == 0)
            rssAfter1k = child.RssKiB();
    }
    const double seconds = (NowMs() - tStart) / 1000;
    const long rssAfter100k = child.RssKiB();
    std::printf("100,000 commands in %.1f s; resident memory after 1,000: %ld KiB, after 100,000: %ld KiB "
                "(growth %ld KiB)\n",
                seconds, rssAfter1k, rssAfter100k, rssAfter100k - rssAfter1k);
    const int status = child.Stop();
    std::printf("exit status at the end of the input: %d\n\n", status);

    // 4. A reader that lags: 2,000 state commands written at once and left unread for a second
    // (half a MiB of replies, far beyond the pipe), while the panel reports a key every 20 ms.
    // Every reply must come back in order and every report as an event; how soon each report
    // reached the program is read from its event's t_ms, on the program's clock, less the same
    // measure taken while the reader kept up.
    CChild slow;
    if (!slow.Start(program) || slow.ReadLine().find("\"link\":true") == std::string::npos) {
        std::fprintf(stderr, "serve_bench: cannot start kova_en for the slow reader\n");
        return 1;
    }
    const auto eventMs = [](const std::string& line) {
        const size_t at = line.find("\"t_ms\":");
        return at == std::string::npos ? -1.0 : std::atof(line.c_str() + at + 7);
    };
    double offset = 1e18; // program clock minus ours, at its smallest
    for (int i = 0; i < 20; ++i) {
        const double t0 = NowMs();
        sim.Post(i % 2 == 0 ? "press 4" : "release");
        offset = std::min(offset, eventMs(slow.ReadLine()) - t0);
        sim.Command("clear");
    }
    const int nLagging = 2000;
    const int nLagReports = 50;
    std::string burst;
    for (int i = 0; i < nLagging; ++i)
        burst += "{\"id\":" + std::to_string(i) + ",\"cmd\":\"state\"}\n";
    slow.Write(burst);
    std::vector<double> posted;
    for (int i = 0; i < nLagReports; ++i) {
        posted.push_back(NowMs());
        sim.Post(i % 2 == 0 ? "press 6" : "release");
        ::usleep(20000);
    }
    std::vector<double> lagReport;
    int nNextId = 0;
    bool bInOrder = true;
    while (nNextId < nLagging || lagReport.size() < posted.size()) {
        const std::string line = slow.ReadLine();
        if (line.empty())
            break;
        if (line.find("\"event\"") != std::string::npos)
            lagReport.push_back(eventMs(line) - offset - posted[lagReport.size()]);
        else
            bInOrder = bInOrder && line.rfind("{\"id\":" + std::to_string(nNextId++) + ",", 0) == 0;
    }
    sim.Command("clear");
    std::printf("A reader that lags a second behind 2,000 state commands (ms):\n\n");
    std::printf("| measure | N | median | p99 |\n|---|---|---|---|\n");
    Row("key report, console command to the program taking it", lagReport);
    std::printf("\nreplies back in order: %d of %d%s; reports told: %zu of %d\n", nNextId, nLagging,
                bInOrder ? "" : " (OUT OF ORDER)", lagReport.size(), nLagReports);
    std::printf("exit status at the end of the input: %d\n\n", slow.Stop());

    // 5. and 6.
    CSimProcess paced;
    if (!StartSimAsCom1(paced, KOVA_SIM_BINARY, 9600, "serve_bench"))
        return 1;
    StopLatency({KOVA_EN_BINARY, "--serve", "--com1", paced.LinkPath()}, SIGTERM, EnvInt("KOVA_BENCH_STOPS", 20));
    IdleCpu(program, EnvInt("KOVA_BENCH_IDLE_S", 60), 0);
    std::printf("load average at the end: %.2f\n", LoadAverage());
    return 0;
}
