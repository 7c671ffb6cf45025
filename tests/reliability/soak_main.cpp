// The long soak: kova_soak [STEPS] [FAULT_RATE] [SEED] [RECONNECTS]. Prints the figures and
// exits 1 when a rule was broken. bench/soak.sh runs it with the figures of RELIABILITY.md.
#include "soak.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    SoakOptions options;
    options.simBinary = KOVA_SIM_BINARY;
    options.steps = argc > 1 ? std::atoi(argv[1]) : 20000;
    options.faultRate = argc > 2 ? std::atof(argv[2]) : 0.05;
    options.seed = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 1;
    options.reconnects = argc > 4 ? std::atoi(argv[4]) : 1000;
    options.warmupSteps = options.steps / 10;
    options.verbose = true;
    const SoakResult result = RunSoak(options);
    std::printf("%s\n", result.Summary().c_str());
    return result.problems.empty() ? 0 : 1;
}
