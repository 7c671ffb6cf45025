// The short soak of every `make test`: a few hundred fast ticks of the permanence test against
// the virtual panel with random faults, then reconnects through unplugs. The long run is
// bench/soak.sh with the same driver.
#include "soak.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#ifndef KOVA_SIM_BINARY
#error "KOVA_SIM_BINARY must name the simulator binary"
#endif

namespace {

TEST(Soak, PermanenceTestUnderRandomFaultsKeepsTheRulesMemoryAndDescriptors)
{
    SoakOptions options;
    options.simBinary = KOVA_SIM_BINARY;
    options.steps = 300;
    options.warmupSteps = 100;
    options.faultRate = 0.05;
    options.seed = 5;
    options.reconnects = 200;
    const SoakResult result = RunSoak(options);
    std::printf("%s\n", result.Summary().c_str());

    EXPECT_TRUE(result.problems.empty()) << result.Summary();
    EXPECT_EQ(result.steps, options.steps);
    // The faults really happened, and the line really was lost and won back.
    EXPECT_GT(result.faultsInjected, 10);
    EXPECT_GT(result.closes, 0);
    EXPECT_GE(result.reconnects, result.closes + options.reconnects);
    EXPECT_GT(result.exchangesDone, result.exchanges / 2);
}

} // namespace
