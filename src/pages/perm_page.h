#pragma once

#include "check_page.h"

#include <QJsonObject>

// The format of the permanence test's reports that the pages read; the runs assert it is the
// one the panel's record writes.
inline constexpr const char* kPermPageFormat = "kova_en-permanence/1";

// The page of a permanence test's report: the verdict and why, how long and how many steps,
// the link's figures and reconnects, and the run on a time axis: link losses and reconnects,
// key presses and selector changes, failed exchanges and from when they were only counted.
CReportPage PermPage(const QJsonObject& report);
