#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The pieces every report page is made of: escaped text, numbers written the same on every
// system, the page's frame with its style sheet and icons, and the panel's picture as a data
// URI. A page is one file that loads nothing: no script, no request, every picture inside.

// Text from a report as HTML text or attribute value: & < > " ' written as entities, and
// control characters (which no report should hold) as U+FFFD, so nothing in a report can open
// an element, an attribute or a script.
QString HtmlText(const QString& text);

// A number in C notation whatever the locale: 12, 0.5, 1234.567 (at most nDecimals places,
// trailing zeros dropped).
QString PageNumber(double value, int nDecimals = 3);

// The outcome words the pages know, each drawn as an icon and a word, never by colour alone.
enum class EPageMark { None, Pass, Fail, NotRun, NotChecked, Aborted, Error, Unexpected };
// "pass", "fail", "not run", "not checked", "aborted", "error"; None for anything else.
EPageMark MarkOfWord(const QString& word);
// The CSS class and the symbol's id of a mark: "pass", "fail", "notrun", ...
const char* MarkClass(EPageMark mark);
// An inline icon (a <svg> that uses the page's symbol) and the word, e.g. for the table.
QString MarkBadge(EPageMark mark, const QString& word);

// The page's frame: head with the style sheet, the content policy that forbids every request
// and every script, and the icons' symbols; strBody is the content of <body>.
QByteArray PageDocument(const QString& strTitle, const QString& strBody);

// The panel's picture as a data: URI (PNG, the same bytes on every system).
const QString& PanelPictureUri();

// A "What the page leaves out" section for the notes of what a report held that could not be
// shown; empty for none.
QString SkippedSection(const QStringList& skipped);

// A two-column table of label and value (values are HTML already).
QString FieldTable(const QList<std::pair<QString, QString>>& rows, const QString& strClass = QString());
