#pragma once

#include <string>
#include <vector>

// The permanence test against the virtual panel with its random faults on, driven by a fast
// tick (OnTimer in a loop, no 200 ms pause). After a line close it waits for the panel to come
// back and reconnects with OnResetPanel, as an engineer would with "Reset KOVA".
struct SoakOptions {
    std::string simBinary;
    int steps = 300;         // poll ticks with the permanence test running
    double faultRate = 0.05; // chance of a random fault per block the panel handles
    unsigned seed = 1;
    int warmupSteps = 100; // memory is measured from here on
    int reconnects = 200;  // extra reconnects (with unplugs) after the soak, for the fd count
    int maxTickMs = 10000; // "keeps responding": the longest a tick may take
    int maxDeadSteps = 25; // ticks with the link open and not one exchange done
    bool verbose = false;
};

struct SoakResult {
    int steps = 0;
    long exchanges = 0;     // block exchanges the link finished
    long exchangesDone = 0; // of which with result 0
    long closes = 0;        // times the link was found closed after a tick
    long reconnects = 0;    // successful OnResetPanel calls
    long reconnectFailures = 0;
    long faultsInjected = 0; // random faults the panel reported in its log
    std::vector<std::pair<std::string, long>> faultKinds;
    long longestTickMs = 0;
    long residentAfterWarmup = 0;
    long residentAtEnd = 0;
    int descriptorsBefore = 0; // before the reconnect phase
    int descriptorsAfter = 0;
    long notices = 0; // one-time "could not be found" notices shown
    double seconds = 0;
    std::vector<std::string> problems; // every broken rule, in words

    std::string Summary() const;
};

SoakResult RunSoak(const SoakOptions& options);
