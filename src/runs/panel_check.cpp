#include "panel_check.h"

#include "check_dialogue.h"
#include "kova_version.h"
#include "perm_report.h"
#include "port_config.h"
#include "run_console.h"
#include "run_ports.h"
#include "stop_signals.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSysInfo>
#include <QXmlStreamWriter>

#include <optional>

namespace {

// A serial number as part of a file name: anything but letters, digits, '.', '_' and '-' becomes
// '_', so a number with a slash or a blank still names one file in the report folder.
QString FileNamePart(const QString& text)
{
    QString part;
    for (const QChar ch : text)
        part +=
            (ch.isLetterOrNumber() && ch.unicode() < 0x80) || ch == u'.' || ch == u'_' || ch == u'-' ? ch : QChar(u'_');
    return part;
}

} // namespace

QJsonObject CCheckRecord::ToJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("format"), QLatin1String(kCheckReportFormat));
    o.insert(QStringLiteral("program"), QStringLiteral("kova_en"));
    o.insert(QStringLiteral("version"), QStringLiteral(KOVA_VERSION));
    o.insert(QStringLiteral("serial"), strSerial);
    o.insert(QStringLiteral("operator"), strOperator);
    o.insert(QStringLiteral("station"), strStation);
    o.insert(QStringLiteral("port"), QStringLiteral("COM%1").arg(nPort));
    o.insert(QStringLiteral("device"), strDevice);
    o.insert(QStringLiteral("baud"), nBaud);
    o.insert(QStringLiteral("variant"), nVariant);
    o.insert(QStringLiteral("started"), IsoWithOffset(started));
    o.insert(QStringLiteral("ended"), IsoWithOffset(ended));
    o.insert(QStringLiteral("seed"), static_cast<qint64>(nSeed));
    o.insert(QStringLiteral("outcome"), OutcomeText(outcome));
    if (!strReason.isEmpty())
        o.insert(QStringLiteral("reason"), strReason);
    QJsonArray array;
    for (const CCheckItem& item : items) {
        QJsonObject i = item.measures;
        i.insert(QStringLiteral("name"), item.strName);
        i.insert(QStringLiteral("outcome"), OutcomeText(item.outcome));
        if (item.outcome != CheckOutcome::Pass)
            i.insert(QStringLiteral("reason"), item.strReason);
        array.append(i);
    }
    o.insert(QStringLiteral("items"), array);
    return o;
}

// JUnit XML as the strictest reader (Ant's schema) takes it, which the lenient ones (GitLab,
// Jenkins) take as well: a timestamp in UTC without a zone, a time for every test case, a type
// for every failure, and system-out and system-err after the cases. Ant allows no output inside
// a test case, so each item's details stand in the suite's system-out, one line each.
QByteArray CCheckRecord::ToJUnit(const QString& strAttachment) const
{
    // The kind of fault, for a CI to group failures by ("wrong key, no press").
    const auto faultKind = [](const std::vector<CheckFault>& faults) {
        QStringList kinds;
        for (const CheckFault fault : faults)
            kinds << FaultText(fault);
        // Every failure the check gives has its kinds; the schema wants a type all the same.
        return kinds.isEmpty() ? QStringLiteral("other") : kinds.join(QStringLiteral(", "));
    };
    const auto seconds = [](int64_t nMs) { return QString::number(static_cast<double>(nMs) / 1000.0, 'f', 3); };

    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.setAutoFormatting(true);
    w.writeStartDocument();
    w.writeStartElement(QStringLiteral("testsuite"));
    w.writeAttribute(QStringLiteral("name"), QStringLiteral("panel check"));
    int nFailures = 0;
    int nSkipped = 0;
    for (const CCheckItem& item : items) {
        nFailures += item.outcome == CheckOutcome::Fail;
        nSkipped += item.outcome == CheckOutcome::NotRun || item.outcome == CheckOutcome::NotChecked;
    }
    w.writeAttribute(QStringLiteral("tests"), QString::number(items.size()));
    w.writeAttribute(QStringLiteral("failures"), QString::number(nFailures));
    w.writeAttribute(QStringLiteral("errors"), QString::number(outcome == CheckRunOutcome::Error ? 1 : 0));
    w.writeAttribute(QStringLiteral("skipped"), QString::number(nSkipped));
    w.writeAttribute(QStringLiteral("timestamp"), started.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
    w.writeAttribute(QStringLiteral("time"), seconds(started.msecsTo(ended)));
    w.writeAttribute(QStringLiteral("hostname"),
                     strStation.trimmed().isEmpty() ? QStringLiteral("localhost") : strStation);
    w.writeStartElement(QStringLiteral("properties"));
    for (const auto& [name, value] :
         {std::pair{"serial", strSerial}, std::pair{"operator", strOperator}, std::pair{"station", strStation},
          std::pair{"seed", QString::number(nSeed)}, std::pair{"outcome", OutcomeText(outcome)}}) {
        w.writeStartElement(QStringLiteral("property"));
        w.writeAttribute(QStringLiteral("name"), QLatin1String(name));
        w.writeAttribute(QStringLiteral("value"), value);
        w.writeEndElement();
    }
    w.writeEndElement();
    QString details;
    for (const CCheckItem& item : items) {
        w.writeStartElement(QStringLiteral("testcase"));
        w.writeAttribute(QStringLiteral("name"), item.strName);
        w.writeAttribute(QStringLiteral("classname"), QStringLiteral("panel check"));
        w.writeAttribute(QStringLiteral("time"), seconds(item.nTimeMs));
        if (item.outcome == CheckOutcome::Fail) {
            w.writeStartElement(QStringLiteral("failure"));
            w.writeAttribute(QStringLiteral("message"), item.strReason);
            w.writeAttribute(QStringLiteral("type"), faultKind(item.faults));
            w.writeCharacters(item.strReason);
            w.writeEndElement();
        } else if (item.outcome != CheckOutcome::Pass) {
            w.writeStartElement(QStringLiteral("skipped"));
            w.writeAttribute(QStringLiteral("message"),
                             OutcomeText(item.outcome) + QStringLiteral(": ") + item.strReason);
            w.writeEndElement();
        }
        w.writeEndElement();
        QJsonObject measures = item.measures;
        if (!item.strReason.isEmpty())
            measures.insert(QStringLiteral("reason"), item.strReason);
        details += QStringLiteral("%1: %2 %3\n")
                       .arg(item.strName, OutcomeText(item.outcome),
                            QString::fromUtf8(QJsonDocument(measures).toJson(QJsonDocument::Compact)));
    }
    if (!strAttachment.isEmpty())
        details += QStringLiteral("[[ATTACHMENT|%1]]\n").arg(strAttachment);
    w.writeTextElement(QStringLiteral("system-out"), details);
    w.writeTextElement(QStringLiteral("system-err"), strReason);
    w.writeEndElement();
    w.writeEndDocument();
    return xml;
}

QString CCheckRecord::ReportFileName() const
{
    // UTC, so that the names sort by time and none repeats when the clocks go back in autumn.
    return QStringLiteral("check-%1-%2.json")
        .arg(started.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")),
             strSerial.isEmpty() ? QStringLiteral("COM%1").arg(nPort) : FileNamePart(strSerial));
}

int RunPanelCheck(const CCommandLine& commandLine, std::FILE* pOut, std::FILE* pErr)
{
    if (!CatchStopSignals())
        Print(pErr, QStringLiteral("kova_en: cannot catch SIGINT, SIGTERM and SIGHUP; the check ends by itself\n"));
    CPanelDriver driver(nullptr, nullptr, commandLine.strTrace);
    // The port setup is read at the first connect, once the report's place is known to be good.
    std::optional<CPortSetup> ports;
    const CCheckRig rig{driver,
                        [&](int nPort) {
                            if (!ports)
                                ports = SetUpPorts(commandLine, pErr);
                            return ports->ResolveDevice(nPort);
                        },
                        {},
                        IsTerminal(stdin),
                        QSysInfo::machineHostName()};
    return RunCheckDialogue(commandLine, rig, pOut, pErr);
}
