#include "ini_line_edit.h"

#include <vector>

namespace {

struct CLine {
    QByteArray text; // without its line end
    QByteArray end;  // "\n", "\r\n" or nothing (the last line)
};

std::vector<CLine> SplitLines(const QByteArray& text)
{
    std::vector<CLine> lines;
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype newline = text.indexOf('\n', start);
        if (newline < 0) {
            lines.push_back({text.mid(start), {}});
            break;
        }
        const bool bCr = newline > start && text[newline - 1] == '\r';
        lines.push_back({text.mid(start, newline - start - (bCr ? 1 : 0)), bCr ? "\r\n" : "\n"});
        start = newline + 1;
    }
    return lines;
}

// "[name]" gives name; anything else is no section header.
bool SectionName(const QByteArray& line, QByteArray* pName)
{
    const QByteArray trimmed = line.trimmed();
    const qsizetype close = trimmed.indexOf(']');
    if (!trimmed.startsWith('[') || close < 0)
        return false;
    *pName = trimmed.mid(1, close - 1).trimmed();
    return true;
}

bool IsEntry(const QByteArray& line, const QByteArray& key)
{
    const QByteArray trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(';') || trimmed.startsWith('#'))
        return false;
    const qsizetype equals = trimmed.indexOf('=');
    return equals > 0 && (key.isEmpty() || trimmed.left(equals).trimmed() == key);
}

} // namespace

QByteArray SetIniLine(const QByteArray& text, const QByteArray& section, const QByteArray& key, const QByteArray& value)
{
    std::vector<CLine> lines = SplitLines(text);
    const QByteArray eol = lines.empty() || lines.front().end.isEmpty() ? QByteArray("\n") : lines.front().end;
    const QByteArray entry = key + '=' + value;

    bool bInSection = false;
    bool bReplaced = false;
    qsizetype insertAfter = -1; // the last entry (or the header) of the last such section
    for (size_t i = 0; i < lines.size(); ++i) {
        QByteArray name;
        if (SectionName(lines[i].text, &name)) {
            bInSection = name == section;
            if (bInSection)
                insertAfter = static_cast<qsizetype>(i);
        } else if (bInSection && IsEntry(lines[i].text, {})) {
            insertAfter = static_cast<qsizetype>(i);
            if (IsEntry(lines[i].text, key)) {
                lines[i].text = entry;
                bReplaced = true;
            }
        }
    }

    if (!bReplaced) {
        // A last line without its line end gets one when something comes after it.
        if (!lines.empty() && lines.back().end.isEmpty()
            && (insertAfter < 0 || insertAfter + 1 == static_cast<qsizetype>(lines.size())))
            lines.back().end = eol;
        if (insertAfter >= 0) {
            lines.insert(lines.begin() + insertAfter + 1, CLine{entry, eol});
        } else {
            if (!lines.empty() && !lines.back().text.trimmed().isEmpty())
                lines.push_back({{}, eol});
            lines.push_back({'[' + section + ']', eol});
            lines.push_back({entry, eol});
        }
    }

    QByteArray result;
    result.reserve(text.size() + entry.size() + section.size() + 8);
    for (const CLine& line : lines)
        result += line.text + line.end;
    return result;
}
