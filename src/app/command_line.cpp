#include "command_line.h"

#include "kova_version.h"

#include <cstring>

CCommandLine ParseEarlyArguments(int argc, const char* const* argv)
{
    CCommandLine result;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            result.action = CCommandLine::Action::Help;
            return result;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
            result.action = CCommandLine::Action::Version;
            return result;
        }
    }
    return result;
}

CCommandLine CheckRemainingArguments(const std::vector<std::string>& remaining)
{
    CCommandLine result;
    if (!remaining.empty()) {
        result.action = CCommandLine::Action::Refuse;
        result.strOffending = remaining.front();
    }
    return result;
}

const char* UsageLine()
{
    return "usage: kova_en [--help | --version]";
}

const char* HelpText()
{
    return "usage: kova_en [--help | --version]\n"
           "\n"
           "Test and demonstration program for the KOVA operator panel.\n"
           "Port and baud rate are chosen in the program's \"Serial Communication\" dialog.\n"
           "\n"
           "Environment:\n"
           "  KOVA_COM1, KOVA_COM2  device behind COM1 and COM2 (default /dev/ttyS0, /dev/ttyS1);\n"
           "                        for USB adaptors use /dev/serial/by-id/...\n"
           "  KOVA_TRACE            1: trace every block exchange to standard error;\n"
           "                        a file name: trace to that file\n";
}

const char* VersionText()
{
    return KOVA_VERSION_TEXT;
}
