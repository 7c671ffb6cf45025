#pragma once

#include "panel_check.h"

#include <QStringList>

#include <cstdint>
#include <vector>

// The groups of items --only names, in the order the check runs them.
QStringList CheckGroups();

// The items of one panel check in the order they are run: at rest, the twelve keys in an order
// of their own for each seed (so that an operator cannot press them by habit, and the seed in the
// report gives the same order again), both selectors, the lamps and the LCD. Groups left out by
// --only (empty: none) are marked so, and are not run.
std::vector<CCheckItem> CheckPlan(uint32_t nSeed, const QStringList& onlyGroups);
