// The real program under a real X server: what its window costs the display and the processor.
//
// Xvfb (and, with --wm, openbox) on a display of its own, the virtual panel paced at 9600 Bd
// as COM1, and the program connected to it. For each phase (idle, permanence test running,
// four LEDs flashing) it counts the pixels that the X DAMAGE extension reports for the main
// window, one raw rectangle per drawing request, and the processor time of the program's
// threads. With --runs N every phase is measured N times in N fresh sessions and the medians
// and ranges follow the rows.
#include "bench_support.h"
#include "geometry.h"
#include "sim_process.h"
#include "x_session.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <poll.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Phase {
    double pixelsPerSecond = 0;
    double cpuShare = 0;  // of one core, from the threads' scheduler times
    double statShare = 0; // the same from /proc/PID/stat (10 ms ticks)
    double paintsPer1200ms = 0;
    int distinctRects = 0;
    bool bOnlyKeys = true; // every damaged rectangle is one of the flashing keys' faces
    double load1 = 0;
};

// Processor seconds of every thread of the process, from the scheduler's nanosecond counts.
double SchedSeconds(pid_t pid)
{
    double total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::ifstream file(tasks.filePath(tid + QStringLiteral("/schedstat")).toStdString());
        double ns = 0;
        if (file >> ns)
            total += ns / 1e9;
    }
    return total;
}

// utime + stime of the whole process from /proc/PID/stat.
double StatSeconds(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields are counted from its closing parenthesis.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        else if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

class CDamageWatch {
public:
    bool Open(const QString& strDisplay, xcb_window_t window)
    {
        m_pConn = xcb_connect(strDisplay.toLatin1().constData(), nullptr);
        if (xcb_connection_has_error(m_pConn))
            return false;
        const xcb_query_extension_reply_t* pExt = xcb_get_extension_data(m_pConn, &xcb_damage_id);
        if (pExt == nullptr || !pExt->present)
            return false;
        m_nFirstEvent = pExt->first_event;
        free(xcb_damage_query_version_reply(m_pConn, xcb_damage_query_version(m_pConn, 1, 1), nullptr));
        m_damage = xcb_generate_id(m_pConn);
        xcb_damage_create(m_pConn, m_damage, window, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
        xcb_flush(m_pConn);
        m_window = window;
        return true;
    }
    // Where the window's own origin lies on the screen (a window manager's frame moves it).
    QPoint ScreenOrigin()
    {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(m_pConn)).data->root;
        xcb_translate_coordinates_reply_t* pReply =
            xcb_translate_coordinates_reply(m_pConn, xcb_translate_coordinates(m_pConn, m_window, root, 0, 0), nullptr);
        const QPoint pos = pReply != nullptr ? QPoint(pReply->dst_x, pReply->dst_y) : QPoint();
        free(pReply);
        return pos;
    }
    ~CDamageWatch()
    {
        if (m_pConn != nullptr)
            xcb_disconnect(m_pConn);
    }

    // Collects damage for ms milliseconds: each raw rectangle with the time it came.
    struct Rect {
        double t;
        int x, y, w, h;
    };
    std::vector<Rect> Collect(int ms)
    {
        std::vector<Rect> rects;
        QElapsedTimer timer;
        timer.start();
        pollfd pfd{xcb_get_file_descriptor(m_pConn), POLLIN, 0};
        while (timer.elapsed() < ms) {
            ::poll(&pfd, 1, static_cast<int>(ms - timer.elapsed()));
            while (xcb_generic_event_t* pEvent = xcb_poll_for_event(m_pConn)) {
                if ((pEvent->response_type & 0x7F) == m_nFirstEvent + XCB_DAMAGE_NOTIFY) {
                    const auto* pNotify = reinterpret_cast<xcb_damage_notify_event_t*>(pEvent);
                    rects.push_back({static_cast<double>(timer.elapsed()), pNotify->area.x, pNotify->area.y,
                                     pNotify->area.width, pNotify->area.height});
                }
                free(pEvent);
            }
        }
        return rects;
    }

private:
    xcb_connection_t* m_pConn = nullptr;
    xcb_damage_damage_t m_damage = 0;
    xcb_window_t m_window = 0;
    uint8_t m_nFirstEvent = 0;
};

struct Session {
    CXServer x;
    struct CWindowManager {
        QProcess process;
        ~CWindowManager()
        {
            process.terminate();
            process.waitForFinished(3000);
        }
    } wm;
    CSimProcess sim;
    CProgram program;
    unsigned long nMain = 0;
    QPoint origin;      // client origin on the screen
    QPoint clientInWin; // client origin in the window's own coordinates
};

bool StartSession(Session& s, const QString& strDir, const QString& strProgram, bool bWm)
{
    if (!s.x.Start(strDir)) {
        std::fprintf(stderr, "window_bench: Xvfb did not come up\n");
        return false;
    }
    if (bWm) {
        s.wm.process.setProcessEnvironment(s.x.Environment());
        s.wm.process.setStandardOutputFile(QProcess::nullDevice());
        s.wm.process.setStandardErrorFile(QProcess::nullDevice());
        s.wm.process.start(QStringLiteral("openbox"), {});
        if (!s.wm.process.waitForStarted(5000)) {
            std::fprintf(stderr, "window_bench: openbox did not start\n");
            return false;
        }
        QThread::msleep(500);
    }
    if (!StartSimAsCom1(s.sim, KOVA_SIM_BINARY, 9600, "window_bench"))
        return false;
    if (!s.program.Start(s.x.Environment(), QString::fromStdString(s.sim.LinkPath()), strProgram)) {
        std::fprintf(stderr, "window_bench: %s did not start\n", qPrintable(strProgram));
        return false;
    }
    const unsigned long nSettings = s.x.WaitWindow(QStringLiteral("^Serial Communication$"), 20000);
    if (nSettings == 0) {
        std::fprintf(stderr, "window_bench: no settings dialog\n");
        return false;
    }
    s.x.Focus(nSettings);
    s.x.Keys({QStringLiteral("Return")});
    s.nMain = s.x.WaitWindow(kMainWindow, 20000);
    if (s.nMain == 0 || !WaitUntil([&] { return FindClientOrigin(s.x.Screenshot(), s.origin); }, 10000, 200)) {
        std::fprintf(stderr, "window_bench: main window not found\n");
        return false;
    }
    // The pointer off the window, so that nothing hovers.
    s.x.Xdotool({QStringLiteral("mousemove"), QStringLiteral("1000"), QStringLiteral("760")});
    return true;
}

Phase Measure(Session& s, CDamageWatch& watch, int seconds, int nFlashing)
{
    Phase phase;
    const pid_t pid = static_cast<pid_t>(s.program.Pid());
    watch.Collect(1300); // let what the last action started settle
    const double sched0 = SchedSeconds(pid);
    const double stat0 = StatSeconds(pid);
    const auto t0 = std::chrono::steady_clock::now();
    const auto rects = watch.Collect(seconds * 1000);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    phase.cpuShare = (SchedSeconds(pid) - sched0) / wall;
    phase.statShare = (StatSeconds(pid) - stat0) / wall;
    phase.load1 = LoadAverage();

    double pixels = 0;
    std::map<std::tuple<int, int, int, int>, int> distinct;
    std::vector<double> paintTimes;
    for (const auto& r : rects) {
        pixels += static_cast<double>(r.w) * r.h;
        ++distinct[{r.x, r.y, r.w, r.h}];
        if (paintTimes.empty() || r.t - paintTimes.back() > 50)
            paintTimes.push_back(r.t);
        bool bKey = false;
        for (int i = 0; i < nFlashing; ++i) {
            const CRect& k = g_rcKeys[i];
            bKey = bKey
                   || (r.x - s.clientInWin.x() == k.left && r.y - s.clientInWin.y() == k.top && r.w == k.Width()
                       && r.h == k.Height());
        }
        phase.bOnlyKeys = phase.bOnlyKeys && bKey;
        if (qEnvironmentVariableIsSet("WINDOW_BENCH_VERBOSE"))
            std::fprintf(stderr, "%8.0f ms: %d,%d %dx%d (client %d,%d)\n", r.t, r.x, r.y, r.w, r.h,
                         r.x - s.clientInWin.x(), r.y - s.clientInWin.y());
    }
    phase.pixelsPerSecond = pixels / wall;
    phase.paintsPer1200ms = static_cast<double>(paintTimes.size()) * 1.2 / wall;
    phase.distinctRects = static_cast<int>(distinct.size());
    return phase;
}

void Functions(Session& s, const QString& strLetter)
{
    s.x.Focus(s.nMain);
    s.x.Keys({QStringLiteral("alt+o"), QStringLiteral("Left"), strLetter});
}

bool RunOnce(const QString& strProgram, bool bWm, int seconds, std::vector<Phase>& phases)
{
    QTemporaryDir dir;
    Session s;
    if (!dir.isValid() || !StartSession(s, dir.path(), strProgram, bWm))
        return false;
    CDamageWatch watch;
    if (!watch.Open(s.x.Display(), static_cast<xcb_window_t>(s.nMain))) {
        std::fprintf(stderr, "window_bench: no DAMAGE extension\n");
        return false;
    }
    s.clientInWin = s.origin - watch.ScreenOrigin();
    phases.push_back(Measure(s, watch, seconds, 0));
    Functions(s, QStringLiteral("s"));
    phases.push_back(Measure(s, watch, seconds, 0));
    Functions(s, QStringLiteral("o"));
    s.x.Xdotool({QStringLiteral("mousemove"), QStringLiteral("1000"), QStringLiteral("760")});
    watch.Collect(1000);
    for (int i = 0; i < 4; ++i) {
        const CRect& k = g_rcKeys[i];
        s.x.Click(s.origin + QPoint((k.left + k.right) / 2, (k.top + k.bottom) / 2), 3);
    }
    s.x.Xdotool({QStringLiteral("mousemove"), QStringLiteral("1000"), QStringLiteral("760")});
    phases.push_back(Measure(s, watch, seconds, 4));
    s.sim.Stop();
    s.program.Kill();
    return true;
}

void PrintRow(const char* pszName, int nRun, const Phase& p, bool bFlashing)
{
    std::printf("| %s | %d | %.0f | %.3f %% | %.2f %% | %.2f | %d | %s | %.2f |\n", pszName, nRun, p.pixelsPerSecond,
                100.0 * p.cpuShare, 100.0 * p.statShare, p.paintsPer1200ms, p.distinctRects,
                !bFlashing    ? "-"
                : p.bOnlyKeys ? "yes"
                              : "no",
                p.load1);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString strProgram = QStringLiteral(KOVA_EN_BINARY);
    int seconds = 12;
    int runs = 3;
    bool bWm = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--program" && i + 1 < argc)
            strProgram = QString::fromLocal8Bit(argv[++i]);
        else if (a == "-s" && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else if (a == "--runs" && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else if (a == "--wm")
            bWm = true;
        else {
            std::fprintf(stderr, "usage: window_bench [--program KOVA_EN] [-s SECONDS] [--runs N] [--wm]\n");
            return a == "-h" || a == "--help" ? 0 : 2;
        }
    }
    static const char* const kNames[] = {"idle", "permanence test", "four LEDs flashing"};
    std::printf("The window under Xvfb%s, %d s a phase\n\n", bWm ? " with openbox" : "", seconds);
    std::printf("| phase | run | damaged px/s | CPU (scheduler) | CPU (/proc/PID/stat) | paints per 1.2 s | distinct "
                "rects | only the flashing keys | load avg 1 min |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    std::vector<std::vector<Phase>> all(3);
    for (int r = 0; r < runs; ++r) {
        std::vector<Phase> phases;
        if (!RunOnce(strProgram, bWm, seconds, phases))
            return 1;
        for (size_t i = 0; i < phases.size(); ++i) {
            PrintRow(kNames[i], r + 1, phases[i], i == 2);
            all[i].push_back(phases[i]);
        }
        std::fflush(stdout);
    }
    std::printf("\n| phase | damaged px/s median (min-max) | CPU median (min-max) | paints per 1.2 s median | load "
                "avg median |\n|---|---|---|---|---|\n");
    for (size_t i = 0; i < all.size(); ++i) {
        std::vector<double> px, cpu, paints, load;
        for (const Phase& p : all[i]) {
            px.push_back(p.pixelsPerSecond);
            cpu.push_back(100.0 * p.cpuShare);
            paints.push_back(p.paintsPer1200ms);
            load.push_back(p.load1);
        }
        std::printf("| %s | %.0f (%.0f-%.0f) | %.3f %% (%.3f-%.3f) | %.2f | %.2f |\n", kNames[i], Percentile(px, 0.5),
                    Percentile(px, 0), Percentile(px, 1), Percentile(cpu, 0.5), Percentile(cpu, 0), Percentile(cpu, 1),
                    Percentile(paints, 0.5), Percentile(load, 0.5));
    }
    return 0;
}
