#pragma once

#include <string>
#include <vector>

// What the command line asks for. The program takes no arguments of its own beyond --help and
// --version; Qt's own options (-platform and the like) are left to Qt.
struct CCommandLine {
    enum class Action { Run, Help, Version, Refuse };
    Action action = Action::Run;
    std::string strOffending; // the argument refused
};

// Looks for --help and --version before any window system is needed.
CCommandLine ParseEarlyArguments(int argc, const char* const* argv);
// Whatever Qt did not take is refused.
CCommandLine CheckRemainingArguments(const std::vector<std::string>& remaining);

const char* UsageLine();
const char* HelpText();
const char* VersionText();
