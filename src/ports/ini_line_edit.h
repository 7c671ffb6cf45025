#pragma once

#include <QByteArray>

// The text of an INI file with key=value set in [section]: every line "key=..." of that
// section (there may be several sections of that name) becomes "key=value"; when there is
// none, the line is added after the section's last entry, and the section at the end of the
// file when it is missing. Every other byte stays: comments (; and #), blank lines, other
// sections, spacing and the file's line ends (CRLF when its first line ends so).
QByteArray SetIniLine(const QByteArray& text, const QByteArray& section, const QByteArray& key,
                      const QByteArray& value);
