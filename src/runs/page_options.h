#pragma once

#include "command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

// The options of the report pages: --html FILE names the page (beside the report by default),
// --no-html leaves it out, and --render REPORT makes the page of a saved report.
struct CPageOptions {
    QCommandLineOption html{QStringLiteral("html"), QString(), QStringLiteral("FILE")};
    QCommandLineOption noHtml{QStringLiteral("no-html")};
    QCommandLineOption render{QStringLiteral("render"), QString(), QStringLiteral("REPORT")};

    QList<QCommandLineOption> All() const { return {html, noHtml, render}; }
    // Reads them into result once the runs' options are read (result.action tells the run);
    // empty when they are sound, or why they are refused.
    QString Read(const QCommandLineParser& parser, CCommandLine& result) const;
};
