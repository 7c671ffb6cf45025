#include "link_trace.h"

#include "telegrams.h"

// Trace lines are info messages, shown by default once KOVA_TRACE asks for a trace. Debug
// messages stay off by default, so their being on tells that a logging rule
// ("kova.link.trace=true") asked for the trace.
Q_LOGGING_CATEGORY(lcLinkTrace, "kova.link.trace", QtInfoMsg)

QString CLinkTrace::TargetFromEnvironment()
{
    const QString value = PathFromEnvironment("KOVA_TRACE");
    if (value == QLatin1String("0"))
        return {};
    if (value.isEmpty())
        return lcLinkTrace().isDebugEnabled() ? QStringLiteral("-") : QString();
    return value == QLatin1String("1") ? QStringLiteral("-") : value;
}

CLinkTrace::CLinkTrace(IClock& clock, const QString& pathOrDash) : m_clock(clock)
{
    if (pathOrDash == QLatin1String("-")) {
        m_bToStderr = true;
        return;
    }
    QString why;
    m_pFile = CAppendFile::Open(pathOrDash, &why);
    if (!m_pFile)
        qWarning("kova_en: no trace: %s (KOVA_TRACE=1 traces to standard error)", qPrintable(why));
}

CLinkTrace::~CLinkTrace() = default;

QString CLinkTrace::FormatLine(const char* pszDirection, const uint8_t* pData, int nLen, int nResult)
{
    QString printable;
    for (int i = 0; i < nLen; ++i) {
        printable +=
            (pData[i] >= 0x20 && pData[i] < 0x7F) ? QLatin1Char(static_cast<char>(pData[i])) : QLatin1Char('.');
    }
    return QStringLiteral("%1 [%2] \"%3\" result=%4")
        .arg(QLatin1String(pszDirection), HexBytes(QByteArray::fromRawData(reinterpret_cast<const char*>(pData), nLen)),
             printable)
        .arg(nResult);
}

void CLinkTrace::OnBlockSent(const uint8_t* pData, int nLen, int nVariant, int nResult)
{
    Write(FormatLine(nVariant == 1 ? "TX/1" : "TX/0", pData, nLen < 0 ? 0 : nLen, nResult));
}

void CLinkTrace::OnBlockReceived(const uint8_t* pData, int nLen, int nResult)
{
    Write(FormatLine("RX  ", pData, nLen, nResult));
}

void CLinkTrace::OnDeviceNote(const CDeviceNote& note)
{
    Write(QStringLiteral("NOTE ") + QString::fromStdString(note.strText));
}

void CLinkTrace::Write(const QString& line)
{
    const QString stamped = QStringLiteral("%1 %2").arg(m_clock.NowMs64(), 9).arg(line);
    if (m_bToStderr) {
        qCInfo(lcLinkTrace).noquote() << stamped;
    } else if (m_pFile && !m_pFile->Write(stamped.toUtf8() + '\n')) {
        // A full disk ends the trace, not the run.
        qWarning("kova_en: the trace stops here: %s", qPrintable(m_pFile->Error()));
        m_pFile.reset();
    }
}
