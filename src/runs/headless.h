#pragma once

#include "command_line.h"

#include <cstdio>

// The runs without a display: a probe for the panel and the permanence test from a script. Both
// drive the same panel model as the window, through a view that answers no dialog and shows no
// box, so the same telegrams go on the line in the same order.

// kova_en --probe: 0 found, 1 not found, 2 the port would not open.
int RunProbe(const CCommandLine& commandLine, std::FILE* pOut, std::FILE* pErr);

// kova_en --permanence-test: 0 pass, 1 fail (or not found), 2 the port would not open or the
// report could not be written.
int RunPermanenceTest(const CCommandLine& commandLine, std::FILE* pOut, std::FILE* pErr);
