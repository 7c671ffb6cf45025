#pragma once

#include "safe_file.h"
#include "serial_link.h"

#include <QLoggingCategory>
#include <QString>

#include <memory>

Q_DECLARE_LOGGING_CATEGORY(lcLinkTrace)

// The traffic trace: one line per block exchange, with a millisecond time stamp, the
// direction, the telegram in hex and in printable form, and the result code. Off unless
// KOVA_TRACE is set ("1" traces to standard error, anything else names a file) or Qt's logging
// rules switch the category on (QT_LOGGING_RULES="kova.link.trace=true": standard error).
class CLinkTrace final : public ILinkObserver {
public:
    // Where KOVA_TRACE or the logging rules ask the trace to go: "-" for standard error, a file
    // name, or empty for none (KOVA_TRACE unset, empty or "0", and the rules leave the category
    // off; "0" wins over the rules). Read once at the program's entry and handed down to the
    // panel driver.
    static QString TargetFromEnvironment();

    // Traces to pathOrDash ("-": standard error). A file that cannot be opened at once (a
    // FIFO, a device, a missing folder) is refused with a warning, and nothing is traced.
    CLinkTrace(IClock& clock, const QString& pathOrDash);
    ~CLinkTrace() override;

    bool IsOpen() const { return m_bToStderr || m_pFile != nullptr; }

    void OnBlockSent(const uint8_t* pData, int nLen, int nVariant, int nResult) override;
    void OnBlockReceived(const uint8_t* pData, int nLen, int nResult) override;
    // What a network port's server said beside the data: "NOTE <text>".
    void OnDeviceNote(const CDeviceNote& note) override;
    // A line of the program's own between the exchanges, time-stamped like them.
    void Note(const QString& text) { Write(text); }

    // One trace line without its time stamp, exactly as written.
    static QString FormatLine(const char* pszDirection, const uint8_t* pData, int nLen, int nResult);

private:
    void Write(const QString& line);

    IClock& m_clock;
    bool m_bToStderr = false;
    std::unique_ptr<CAppendFile> m_pFile;
};
