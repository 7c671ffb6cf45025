// The line-oriented command language of the simulator. Every command answers with its output
// lines and a final "OK" or "ERR <reason>", so a test can write one line and read up to OK/ERR.
// The commands that touch the pseudo-terminal or the event loop come back as a Control for the
// caller to carry out.
#pragma once

#include "engine.h"
#include "operator.h"

#include <string>
#include <string_view>
#include <vector>

namespace kova_sim {

struct CommandResult {
    enum class Control { None, Unplug, Replug, Wait, Quit };
    // Output lines, the final OK/ERR included, except for Unplug, Replug and Wait: their OK comes
    // from the caller once it has done the job.
    std::vector<std::string> lines;
    Control control = Control::None;
    int waitMs = 0;
};

// With an operator, "operator ..." commands reach it; without one they are refused.
CommandResult runCommand(Engine& engine, std::string_view line, std::int64_t now, Operator* pOperator = nullptr);

// One line "STATE {json}" with the panel, the line and the counters.
std::string stateLine(const Engine& engine);
// One line "HISTORY t1 t2 ...": each accepted telegram in uppercase hex, "-" for an empty one.
std::string historyLine(const Engine& engine);

// Parses "02 10 23" or "021023" (hex pairs, blanks anywhere between pairs). False on anything else.
bool parseHex(std::string_view text, Bytes& out);

std::string jsonString(std::string_view s);

} // namespace kova_sim
