#include "options.h"

#include "kova_version.h"

#include <cstdlib>

namespace kova_sim {

namespace {

// One line, so that help2man takes all of it for the manual page's synopsis.
const char* const kUsage =
    "Usage: kova_sim [--link PATH] [--variant 1|0|any] [--baud 9600|19200] [--script FILE] "
    "[--log FILE|-] [--fault NAME]... [--operator] [--operator-fault FAULT]... [--exit-on-eof] [--help] "
    "[--version]\n";

} // namespace

void usage(FILE* f)
{
    std::fputs(kUsage, f);
}

void help(FILE* f)
{
    std::fputs(kUsage, f);
    std::fputs("\n"
               "Plays a KOVA panel on a pseudo-terminal, for kova_en and its tests without hardware.\n"
               "Commands come on standard input, one a line; 'help' lists them.\n"
               "\n"
               "Options:\n"
               "  --link PATH           symbolic link to the pseudo-terminal (default /tmp/kova-panel);\n"
               "                        a stale link is replaced, the link is removed on exit\n"
               "  --variant 1|0|any     block checks accepted (default 1); others get a NAK\n"
               "  --baud 9600|19200     pace every byte at 11 bit times, like a real line\n"
               "                        (no pacing without it)\n"
               "  --script FILE         run the commands in FILE first ('#' starts a comment)\n"
               "  --log FILE|-          log every byte and every decoded telegram\n"
               "  --fault NAME          start with a fault on (repeatable): silent, nak-stx,\n"
               "                        nak-block, garbage, stall, overlong, close\n"
               "  --operator            a careful operator works the panel: presses the key under\n"
               "                        a single lit LED, turns a selector when the LCD says\n"
               "                        TURN SELECTOR 1 or 2, answers KEY 1 = YES with key 1\n"
               "  --operator-fault FAULT  the operator's panel is broken (repeatable; implies\n"
               "                        --operator): 'dead-key N', 'crossed-keys A B',\n"
               "                        'bouncing-key N', 'stuck-key N', 'selector-gap S P',\n"
               "                        'answer-no' or 'answer-no Q' (only the Qth question)\n"
               "  --exit-on-eof         quit when the command input ends\n"
               "  -h, --help            this text\n"
               "  -v, --version         the version\n",
               f);
}

bool parseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kova_sim: %s needs a value\n", a.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            help(stdout);
            std::exit(0);
        } else if (a == "--version" || a == "-v") {
            std::printf("kova_sim (KOVA_EN) %s\n", KOVA_VERSION);
            std::exit(0);
        } else if (a == "--link") {
            if (!value(o.link) || o.link.empty())
                return false;
        } else if (a == "--variant") {
            if (!value(v))
                return false;
            if (v == "1")
                o.mode = AcceptMode::V1;
            else if (v == "0")
                o.mode = AcceptMode::V0;
            else if (v == "any")
                o.mode = AcceptMode::Any;
            else {
                std::fprintf(stderr, "kova_sim: --variant takes 1, 0 or any\n");
                return false;
            }
        } else if (a == "--baud") {
            if (!value(v))
                return false;
            if (v != "9600" && v != "19200") {
                std::fprintf(stderr, "kova_sim: --baud takes 9600 or 19200\n");
                return false;
            }
            o.baud = std::atoi(v.c_str());
        } else if (a == "--script") {
            if (!value(o.script))
                return false;
        } else if (a == "--log") {
            if (!value(o.log))
                return false;
        } else if (a == "--fault") {
            if (!value(v))
                return false;
            const auto f = faultFromName(v);
            if (!f) {
                std::fprintf(stderr, "kova_sim: unknown fault '%s'\n", v.c_str());
                return false;
            }
            o.faults.push_back(*f);
        } else if (a == "--operator") {
            o.operatorOn = true;
        } else if (a == "--operator-fault") {
            if (!value(v))
                return false;
            o.operatorOn = true;
            o.operatorFaults.push_back(v);
        } else if (a == "--exit-on-eof") {
            o.exitOnEof = true;
        } else {
            std::fprintf(stderr, "kova_sim: unknown option '%s'\n", a.c_str());
            return false;
        }
    }
    return true;
}

} // namespace kova_sim
