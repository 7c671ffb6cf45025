#pragma once

#include "check_page.h"

#include <QByteArray>
#include <QJsonObject>

// Any saved report of a known format as its page: the check's or the permanence test's, told
// by the report's "format". Anything else (not JSON, not an object, an unknown format) is
// refused with the reason in strWhy and no page.
CReportPage ReportPage(const QByteArray& json);
// The same for a report already read.
CReportPage ReportPageOf(const QJsonObject& report);

// The largest report file read for a page: far beyond any report the program writes.
inline constexpr qint64 kMaxReportBytes = qint64{64} * 1024 * 1024;
