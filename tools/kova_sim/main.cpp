// kova_sim: a KOVA panel on a pseudo-terminal. One thread, one poll() loop; everything that
// happens later (paced bytes, stalls, time-outs, "wait") is a deadline the loop sleeps towards.
//
// options.*        the command line
// pty.*            the pseudo-terminal and its symbolic link
// signals.*        signals into the loop
// sim.h, sim.cpp   the simulator: log, plugging, commands, bytes in and out
// sim_loop.cpp     the poll() loop
// terminal_view.cpp  the live view and the keys when it runs in a terminal

#include "options.h"
#include "signals.h"
#include "sim.h"

using namespace kova_sim;

int main(int argc, char** argv)
{
    Options opt;
    if (!parseOptions(argc, argv, opt)) {
        usage(stderr);
        return 2;
    }
    if (!installSignalHandlers())
        return 1;

    Sim sim(std::move(opt));
    return sim.run();
}
