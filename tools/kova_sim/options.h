#pragma once

// The command line of kova_sim.

#include "engine.h"

#include <cstdio>
#include <string>
#include <vector>

namespace kova_sim {

struct Options {
    std::string link = "/tmp/kova-panel";
    AcceptMode mode = AcceptMode::V1;
    int baud = 0;
    std::string script;
    std::string log;
    bool exitOnEof = false;
    std::vector<Fault> faults;
    bool operatorOn = false;
    std::vector<std::string> operatorFaults; // each as the console takes it: "crossed-keys 3 4"
};

// The synopsis, for a wrong command line; help() adds what each option does.
void usage(FILE* f);
void help(FILE* f);
// Reads the options into o; false (after a message on standard error) when one is wrong.
// --help and --version print their text and end the program.
bool parseOptions(int argc, char** argv, Options& o);

} // namespace kova_sim
