#include "report_fields.h"

#include <cmath>

void CReportFields::Skip(const char* key, const QString& why) const
{
    m_pSkipped->append(QStringLiteral("%1%2: %3").arg(m_strWhere, QLatin1String(key), why));
}

QString CReportFields::Text(const char* key, bool bOptional) const
{
    const QJsonValue v = m_o.value(QLatin1String(key));
    if (v.isString()) {
        // No text of a report runs longer; a longer one would only bury the page.
        constexpr qsizetype kMaxText = 1000;
        const QString text = v.toString();
        if (text.size() <= kMaxText)
            return text;
        Skip(key, QStringLiteral("%1 characters; the first %2 shown").arg(text.size()).arg(kMaxText));
        return text.left(kMaxText) + QChar(0x2026);
    }
    if (v.isUndefined()) {
        if (!bOptional)
            Skip(key, QStringLiteral("missing"));
    } else {
        Skip(key, QStringLiteral("not text"));
    }
    return {};
}

std::optional<double> CReportFields::Finite(const char* key, bool bWhole, bool bOptional) const
{
    const QJsonValue v = m_o.value(QLatin1String(key));
    if (v.isUndefined()) {
        if (!bOptional)
            Skip(key, QStringLiteral("missing"));
        return std::nullopt;
    }
    const double d = v.toDouble(std::nan(""));
    if (!v.isDouble() || !std::isfinite(d) || (bWhole && d != std::floor(d))) {
        Skip(key, bWhole ? QStringLiteral("not a whole number") : QStringLiteral("not a number"));
        return std::nullopt;
    }
    return d;
}

std::optional<int64_t> CReportFields::Whole(const char* key, int64_t nMin, int64_t nMax, bool bOptional) const
{
    const std::optional<double> d = Finite(key, true, bOptional);
    if (!d)
        return std::nullopt;
    if (*d < static_cast<double>(nMin) || *d > static_cast<double>(nMax)) {
        Skip(key, QStringLiteral("%1 is outside %2 to %3")
                      .arg(m_o.value(QLatin1String(key)).toVariant().toString())
                      .arg(nMin)
                      .arg(nMax));
        return std::nullopt;
    }
    return static_cast<int64_t>(*d);
}

std::optional<double> CReportFields::Real(const char* key, double min, double max, bool bOptional) const
{
    const std::optional<double> number = Finite(key, false, bOptional);
    if (!number)
        return std::nullopt;
    const double d = *number;
    if (d < min || d > max) {
        Skip(key, QStringLiteral("%1 is outside %2 to %3")
                      .arg(QString::number(d, 'g', 10), QString::number(min, 'g', 10), QString::number(max, 'g', 10)));
        return std::nullopt;
    }
    return d;
}
