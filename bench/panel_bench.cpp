// The program's panel logic against the virtual panel over a pseudo-terminal.
//
// 1. Permanence-test steps, paced at 9600 and 19200 Bd: the wall time of each step against the
//    line time of its bytes, and the processor time per step.
// 2. The real main window (offscreen) with its 200 ms timer: processor share while idle and
//    while the permanence test runs, and the peak resident memory.
// 3. The time from a key report leaving the panel to the marker in the window's state after
//    the tick that paints it.
#include "bench_support.h"
#include "message_box.h"
#include "panel_dlg.h"
#include "panel_model.h"
#include "sim_process.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

class CNullView final : public IPanelView {
public:
    bool RunSerialDialog(int&, int&) override { return false; }
    bool RunTextInputDialog(std::array<QString, kLcdRows>&) override { return false; }
    void ShowMessage(int nStringId) override { std::fprintf(stderr, "panel_bench: message %d\n", nStringId); }
};

// The main window with its dialogs answered, so it runs unattended.
class CBenchDlg final : public CPanelDlg {
public:
    using CPanelDlg::CPanelDlg;
    int MessageBox(int nStringId, int) override
    {
        std::fprintf(stderr, "panel_bench: message %d\n", nStringId);
        return IDNO;
    }
    bool RunSerialDialog(int& nPort, int& nBaud) override
    {
        nPort = 0;
        nBaud = m_nBaud;
        return true;
    }
    int m_nBaud = 0;
};

bool PermanenceSteps(int baud, int nSteps)
{
    CSimProcess sim;
    if (!StartSimAsCom1(sim, KOVA_SIM_BINARY, baud, "panel_bench"))
        return false;
    CNullView view;
    CCountingDevice device;
    CPanelModel model(view, &device);
    model.InitState();
    model.m_nBaud = baud == 19200 ? 1 : 0;
    model.OnResetPanel();
    if (!model.m_link.m_bOpen) {
        std::fprintf(stderr, "panel_bench: no panel at %d Bd\n", baud);
        return false;
    }
    model.OnPermTestStart();

    std::vector<double> wallMs, ratios;
    const double byteMs = 11.0 * 1000.0 / baud;
    const double cpuStart = CpuSeconds();
    for (int i = 0; i < nSteps && model.m_link.m_bOpen; ++i) {
        const long before = device.Total();
        const auto start = Clock::now();
        model.OnTimer();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        wallMs.push_back(ms);
        ratios.push_back(ms / (static_cast<double>(device.Total() - before) * byteMs));
    }
    const double cpuMs = (CpuSeconds() - cpuStart) * 1000.0;
    const bool bOpen = model.m_link.m_bOpen;
    model.OnPermTestStop();

    const double median = Percentile(wallMs, 0.5);
    std::printf("| %d Bd | %zu | %.1f | %.1f | %.1f | %.3f | %.3f | %.3f | %.2f %% | %s |\n", baud, wallMs.size(),
                median, Percentile(wallMs, 0.99),
                static_cast<double>(device.Total()) / static_cast<double>(wallMs.size() + 0), Percentile(ratios, 0.5),
                Percentile(ratios, 0.99), cpuMs / static_cast<double>(wallMs.size()),
                100.0 * cpuMs / (median * static_cast<double>(wallMs.size())), bOpen ? "open" : "CLOSED");
    return bOpen;
}

// Runs the window's own event loop for ms milliseconds; returns the processor share.
double RunFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    const double cpu = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    loop.exec();
    return (CpuSeconds() - cpu) / (static_cast<double>(wall.elapsed()) / 1000.0);
}

bool WindowFigures(int baud, int seconds, int presses)
{
    CSimProcess sim;
    if (!StartSimAsCom1(sim, KOVA_SIM_BINARY, baud, "panel_bench"))
        return false;
    CBenchDlg dlg;
    dlg.m_nBaud = baud == 19200 ? 1 : 0;
    dlg.OnInitDialog();
    dlg.show();
    if (!dlg.Model().m_link.m_bOpen) {
        std::fprintf(stderr, "panel_bench: the window found no panel\n");
        return false;
    }
    RunFor(1000); // settle
    const double idle = RunFor(seconds * 1000);
    dlg.OnPermTestStart();
    const double testing = RunFor(seconds * 1000);
    dlg.OnPermTestStop();
    RunFor(400);

    // Key report to marker: the report leaves the panel when the command is posted; the
    // marker is in the state that the tick's paint draws.
    std::vector<double> latencies;
    CPanelModel& model = dlg.Model();
    for (int i = 0; i < presses; ++i) {
        const int key = (i / 2) % 12;
        const bool bPress = i % 2 == 0;
        RunFor(37 * (i % 6)); // vary the phase against the 200 ms tick
        QElapsedTimer t;
        t.start();
        sim.Post(bPress ? "press " + std::to_string(key + 1) : "release");
        QEventLoop loop;
        QTimer probe;
        probe.setInterval(1);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const bool bMarked = model.m_keyDown[key] == 1;
            if (bMarked == bPress || t.elapsed() > 2000)
                loop.quit();
        });
        probe.start();
        loop.exec();
        latencies.push_back(static_cast<double>(t.elapsed()));
        if (qEnvironmentVariableIsSet("PANEL_BENCH_VERBOSE"))
            std::fprintf(stderr, "%s %d: %lld ms\n", bPress ? "press" : "release", key + 1,
                         static_cast<long long>(t.elapsed()));
        sim.Command("dump");
    }
    const double lineMs = 11.0 * 1000.0 / (baud != 0 ? baud : 9600) * 7; // STX, DLE, byte, DLE ETX BCC, DLE
    std::printf("| %d Bd | %.2f %% | %.2f %% | %.1f MiB | %.0f | %.0f | %.0f | %.1f |\n", baud, idle * 100.0,
                testing * 100.0, PeakResidentMiB(), Percentile(latencies, 0.5), Percentile(latencies, 0.99),
                *std::max_element(latencies.begin(), latencies.end()), 200.0 + lineMs);
    dlg.Model().m_link.Close();
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int nSteps = 300;
    int seconds = 10;
    int presses = 40;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-n" && i + 1 < argc)
            nSteps = std::atoi(argv[++i]);
        else if (a == "-s" && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else if (a == "-k" && i + 1 < argc)
            presses = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: panel_bench [-n STEPS] [-s SECONDS] [-k PRESSES]\n");
            return a == "-h" || a == "--help" ? 0 : 2;
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    std::printf("Permanence-test steps (driven back to back)\n\n");
    std::printf("| panel | steps | median ms | p99 ms | bytes/step | median ratio to line time | p99 ratio | CPU "
                "ms/step | CPU share | link after |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    bool ok = PermanenceSteps(9600, nSteps) && PermanenceSteps(19200, nSteps);

    std::printf("\nThe window with its 200 ms timer (offscreen), %d s each\n\n", seconds);
    std::printf("| panel | CPU idle | CPU permanence test | peak RSS | key to marker median ms | p99 ms | max ms | "
                "bound ms |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    ok = WindowFigures(9600, seconds, presses) && ok;
    ok = WindowFigures(19200, seconds, presses) && ok;
    return ok ? 0 : 1;
}
