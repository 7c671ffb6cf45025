#pragma once

#include "geometry.h"
#include "serial_link.h"

#include <QByteArray>
#include <QJsonValue>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

// The machine interface's reading side, pure: a line of standard input to a typed command or to
// the reason it is refused, and the output lines' own JSON writer. Nothing here touches the
// panel, a clock or a descriptor, so the fuzzer and the tests hand it any bytes.

// Goes up whenever a command or a field changes its meaning, so a script can tell.
inline constexpr int kServeProtocol = 1;
// The longest command line taken; a longer one is answered with an error and skipped.
inline constexpr qsizetype kServeMaxLine = 64 * 1024;
// The longest telegram "send" takes: the panel's receive buffer.
inline constexpr int kServeMaxTelegram = kReplyBufferSize;
// The longest wait: a day is far beyond any script's patience.
inline constexpr int64_t kServeMaxWaitMs = int64_t{24} * 3600 * 1000;
// The most waits pending at once: far more than a script waits for at a time, and each report
// is matched against every one of them.
inline constexpr size_t kServeMaxWaits = 256;

// The words of the fields that take one: "state" of "led" (the index is the LED state), "attr"
// of "cell", "for" of "wait".
inline constexpr const char* kLedWords[] = {"off", "on", "flash"};
inline constexpr const char* kAttributeWords[] = {"AC", "@C", "AB", "@B"};
inline constexpr const char* kWaitWords[] = {"key", "release", "selector1", "selector2"};

// One command, its fields read and checked.
struct CServeCommand {
    enum class Kind { Led, LedsOff, Text, Cell, Send, State, Wait, Stats, Connect, Close, Quit };
    Kind kind = Kind::State;
    QJsonValue id{QJsonValue::Undefined};      // when the command carried none
    int nKey = 0;                              // led: 1 to 12
    int nState = 0;                            // led: the index in kLedWords
    std::array<QString, kLcdRows> rows;        // text: in the panel's code page, '?' for what it lacks
    int nRow = 0, nColumn = 0, nAttribute = 0; // cell
    uint8_t chCode = 0;                        // cell
    QByteArray telegram;                       // send
    bool bReply = false;                       // send
    int nFor = 0;                              // wait: the index in kWaitWords
    int nValue = 0;                            // wait: 0 any
    int64_t nTimeoutMs = 0;                    // wait
};

// A line read: the command, or why it is refused (with the id when one could be read).
struct CServeParse {
    std::optional<CServeCommand> command;
    QJsonValue id{QJsonValue::Undefined};
    QString strError;
};
CServeParse ParseServeLine(const QByteArray& line);

// One line of output, its keys in the order they were added, so replies read "id", "ok" first.
class CJsonLine {
public:
    CJsonLine& Add(const char* pszKey, const QJsonValue& value);
    // The line with its newline.
    QByteArray Text() const { return m_text + "}\n"; }

private:
    QByteArray m_text = "{";
};

// Splits a byte stream into lines of at most kServeMaxLine bytes. A longer line is reported once,
// as soon as it passes the cap, and its rest is dropped up to its newline, so memory stays
// bounded whatever arrives.
class CLineSplitter {
public:
    // Called for each whole line (without its newline or a CR before it), or with bTooLong for a
    // line that passed the cap.
    using Sink = std::function<void(const QByteArray& line, bool bTooLong)>;
    void Feed(const char* pData, qsizetype nLen, const Sink& sink);
    // The end of the input: a last line without a newline is still a line.
    void Finish(const Sink& sink);

private:
    QByteArray m_line;
    bool m_bSkipping = false;
};
