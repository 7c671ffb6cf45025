#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// Reading a report that may be anything: a saved file edited by hand, cut short or from a
// newer program. Each field is taken only when it has the type and range it must have;
// otherwise the reader notes what it left out, for the page to say.
class CReportFields {
public:
    CReportFields(const QJsonObject& object, QStringList* pSkipped, const QString& strWhere = QString())
        : m_o(object), m_pSkipped(pSkipped), m_strWhere(strWhere)
    {
    }

    // A string field; missing or of another type: empty, and a note unless bOptional.
    QString Text(const char* key, bool bOptional = false) const;
    // A whole number in [nMin, nMax]; nothing (and a note) when missing, not whole or outside.
    std::optional<int64_t> Whole(const char* key, int64_t nMin, int64_t nMax, bool bOptional = false) const;
    // A finite number in [min, max].
    std::optional<double> Real(const char* key, double min, double max, bool bOptional = false) const;
    bool Has(const char* key) const { return m_o.contains(QLatin1String(key)); }
    QJsonValue Value(const char* key) const { return m_o.value(QLatin1String(key)); }
    // Notes "<where>key: why".
    void Skip(const char* key, const QString& why) const;
    void Note(const QString& note) const { m_pSkipped->append(note); }

private:
    // The field as a finite number (a whole one with bWhole), or nothing, with the reason noted
    // unless it is an optional one that is missing.
    std::optional<double> Finite(const char* key, bool bWhole, bool bOptional) const;

    QJsonObject m_o;
    QStringList* m_pSkipped;
    QString m_strWhere;
};
