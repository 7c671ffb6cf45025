#include "soak.h"

#include "reliability_util.h"
#include "sim_process.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

// Counts what the link reports after each exchange; the model never looks at most results,
// so this is the only way to tell a working link from an open but dead one.
class CExchangeCounter final : public ILinkObserver {
public:
    long m_nExchanges = 0;
    long m_nDone = 0;
    void OnBlockSent(const uint8_t*, int, int, int nResult) override { Count(nResult); }
    void OnBlockReceived(const uint8_t*, int, int nResult) override { Count(nResult); }

private:
    void Count(int nResult)
    {
        ++m_nExchanges;
        m_nDone += nResult == kBlockDone;
    }
};

// The simulator notes every random fault it plays in its log, one line each.
void CountFaults(const std::string& logPath, SoakResult& result)
{
    static const std::pair<const char*, const char*> kKinds[] = {
        {"dropped byte", "of the block left out"},
        {"dropped acknowledgement", "acknowledgement left out"},
        {"garbage", "garbage in"},
        {"NAK", "NAK in front"},
        {"NAK", "]: random fault"},
        {"stall", "held back"},
        {"stall", "stalling"},
        {"line close", "random fault: line closed"},
    };
    std::map<std::string, long> counts;
    std::ifstream log(logPath);
    std::string line;
    while (std::getline(log, line)) {
        for (const auto& [kind, marker] : kKinds) {
            if (line.find(marker) != std::string::npos && line.find(" --- ") != std::string::npos) {
                ++counts[kind];
                ++result.faultsInjected;
                break;
            }
        }
    }
    result.faultKinds.assign(counts.begin(), counts.end());
}

// Still running, and not a zombie waiting to be reaped.
bool SimAlive(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    if (!(stat >> pidField >> name >> state))
        return false;
    return state != "Z" && state != "X";
}

} // namespace

std::string SoakResult::Summary() const
{
    std::ostringstream s;
    s << "steps " << steps << ", exchanges " << exchanges << " (" << exchangesDone << " done), faults injected "
      << faultsInjected << " (";
    for (size_t i = 0; i < faultKinds.size(); ++i)
        s << (i ? ", " : "") << faultKinds[i].first << " " << faultKinds[i].second;
    s << "), link closes " << closes << ", reconnects " << reconnects << " (+" << reconnectFailures
      << " failed attempts), notices " << notices << ", longest tick " << longestTickMs << " ms, RSS after warm-up "
      << residentAfterWarmup / 1024 << " KiB, at end " << residentAtEnd / 1024 << " KiB (growth "
      << (residentAtEnd - residentAfterWarmup) / 1024 << " KiB), descriptors " << descriptorsBefore << " -> "
      << descriptorsAfter << ", " << seconds << " s";
    for (const std::string& p : problems)
        s << "\n  PROBLEM: " << p;
    return s.str();
}

SoakResult RunSoak(const SoakOptions& o)
{
    SoakResult r;
    const auto started = SteadyClock::now();
    auto problem = [&r](const std::string& what) {
        if (r.problems.size() < 50)
            r.problems.push_back(what);
    };

    const char* tmp = std::getenv("TMPDIR");
    const std::string logPath = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/kova-soak-"
                                + std::to_string(::getpid()) + "-" + std::to_string(o.seed) + ".log";
    CSimProcess sim;
    std::string error;
    if (!sim.Start(o.simBinary, {"--log", logPath}, &error)) {
        problem("simulator: " + error);
        return r;
    }
    ::setenv("KOVA_COM1", sim.LinkPath().c_str(), 1);

    CTestView view;
    view.m_bKeepLog = false;
    CExchangeCounter counter;
    {
        CPanelModel model(view);
        view.m_pModel = &model;
        model.m_link.SetObserver(&counter);
        model.InitState();
        model.OnSerialPort();
        if (!model.m_link.m_bOpen) {
            problem("no connection at the start: " + model.m_link.LastOpenError());
            return r;
        }
        model.OnTimer();

        // Reconnects after a close, as the user would: wait for the port, then Reset KOVA.
        auto reconnect = [&](bool restartTest) {
            for (int attempt = 0; attempt < 40; ++attempt) {
                if (!SimAlive(sim.Pid())) {
                    problem("the virtual panel is gone (killed from outside?)");
                    return false;
                }
                WaitForPath(sim.LinkPath(), 5000);
                const long noticesBefore = view.Count(IDS_PANEL_NOT_FOUND);
                model.OnResetPanel();
                // A reset says "not found" at most once, and only when it leaves the link closed.
                const long shown = view.Count(IDS_PANEL_NOT_FOUND) - noticesBefore;
                if (shown > 1 || (shown == 1 && model.m_link.m_bOpen))
                    problem("a reset showed \"could not be found\" " + std::to_string(shown) + " times with the link "
                            + (model.m_link.m_bOpen ? "open" : "closed"));
                if (model.m_link.m_bOpen) {
                    ++r.reconnects;
                    if (restartTest)
                        model.OnPermTestStart();
                    return true;
                }
                ++r.reconnectFailures;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            return false;
        };

        std::ostringstream faultCommand;
        faultCommand << "fault random " << o.faultRate << " " << o.seed;
        if (!sim.Command(faultCommand.str()))
            problem("simulator refused: " + faultCommand.str());
        model.OnPermTestStart();

        int deadSteps = 0;
        for (int step = 0; step < o.steps; ++step) {
            const long doneBefore = counter.m_nDone;
            const long noticesBefore = view.Count(IDS_PANEL_NOT_FOUND);
            const auto tickStart = SteadyClock::now();
            model.OnTimer();
            const long tickMs = MsSince(tickStart);
            // Every tick starts on an open, painted link: the notice comes exactly when the
            // tick lost it, and once.
            const long shown = view.Count(IDS_PANEL_NOT_FOUND) - noticesBefore;
            if (shown != (model.m_link.m_bOpen ? 0 : 1))
                problem("step " + std::to_string(step) + " showed \"could not be found\" " + std::to_string(shown)
                        + " times with the link " + (model.m_link.m_bOpen ? "open" : "closed"));
            r.longestTickMs = std::max(r.longestTickMs, tickMs);
            if (tickMs > o.maxTickMs)
                problem("step " + std::to_string(step) + " took " + std::to_string(tickMs) + " ms");
            ++r.steps;

            if (model.m_link.m_bOpen) {
                // Open is allowed only while exchanges keep getting through.
                deadSteps = counter.m_nDone == doneBefore ? deadSteps + 1 : 0;
                if (deadSteps > o.maxDeadSteps) {
                    problem("link open but dead for " + std::to_string(deadSteps) + " steps at step "
                            + std::to_string(step));
                    deadSteps = 0;
                    if (!reconnect(true))
                        break;
                }
            } else {
                // Closed after a time-out or a read error: the notice has been shown by the
                // paint of this tick, and the test keeps cycling on screen until a reset.
                ++r.closes;
                deadSteps = 0;
                if (!model.m_bPermTest)
                    problem("the permanence test stopped by itself at step " + std::to_string(step));
                if (!reconnect(true)) {
                    problem("no reconnect after a close at step " + std::to_string(step));
                    break;
                }
            }
            if (step == o.warmupSteps)
                r.residentAfterWarmup = ResidentBytes();
            if (o.verbose && step % 1000 == 0)
                std::fprintf(stderr, "step %d: closes %ld, RSS %ld KiB, %ld s\n", step, r.closes,
                             ResidentBytes() / 1024, MsSince(started) / 1000);
        }
        r.residentAtEnd = ResidentBytes();
        if (r.residentAfterWarmup == 0)
            r.residentAfterWarmup = r.residentAtEnd;
        if (r.residentAtEnd - r.residentAfterWarmup >= 1024 * 1024)
            problem("resident memory grew by " + std::to_string((r.residentAtEnd - r.residentAfterWarmup) / 1024)
                    + " KiB after warm-up");

        // Reconnects on a clean line, every tenth through an unplug (a failed open included),
        // for the descriptor count.
        sim.Command("fault random off");
        model.OnPermTestStop();
        if (!model.m_link.m_bOpen && !reconnect(false))
            problem("no reconnect before the descriptor count");
        r.descriptorsBefore = OpenDescriptors();
        for (int i = 0; i < o.reconnects; ++i) {
            if (i % 10 == 9) {
                sim.Command("unplug");
                model.OnResetPanel();
                if (model.m_link.m_bOpen)
                    problem("reset found a panel while unplugged");
                sim.Command("replug");
            }
            if (!reconnect(false)) {
                problem("reconnect " + std::to_string(i) + " failed");
                break;
            }
        }
        model.OnTimer();
        r.descriptorsAfter = OpenDescriptors();
        if (r.descriptorsAfter != r.descriptorsBefore)
            problem("descriptors " + std::to_string(r.descriptorsBefore) + " -> " + std::to_string(r.descriptorsAfter)
                    + " over " + std::to_string(o.reconnects) + " reconnects");
        r.notices = view.Count(IDS_PANEL_NOT_FOUND);
        r.exchanges = counter.m_nExchanges;
        r.exchangesDone = counter.m_nDone;
        model.m_link.SetObserver(nullptr);
        view.m_pModel = nullptr;
    }
    sim.Stop();
    CountFaults(logPath, r);
    if (r.problems.empty())
        ::unlink(logPath.c_str());
    else
        r.problems.push_back("the virtual panel's log is kept in " + logPath);
    ::unsetenv("KOVA_COM1");
    r.seconds = static_cast<double>(MsSince(started)) / 1000.0;
    return r;
}
