#include "check_view.h"

#include "report_fields.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <cmath>

namespace {

// The whole numbers from nMin to nMax of an array field; the rest noted.
std::vector<int> Numbers(const CReportFields& fields, const char* key, int nMin, int nMax)
{
    std::vector<int> numbers;
    const QJsonValue v = fields.Value(key);
    if (v.isUndefined())
        return numbers;
    if (!v.isArray()) {
        fields.Skip(key, QStringLiteral("not a list"));
        return numbers;
    }
    const QJsonArray array = v.toArray();
    int nBad = 0;
    for (const QJsonValue& e : array) {
        const double d = e.toDouble(std::nan(""));
        if (e.isDouble() && d == std::floor(d) && d >= nMin && d <= nMax && numbers.size() < 64)
            numbers.push_back(static_cast<int>(d));
        else
            ++nBad;
    }
    if (nBad > 0)
        fields.Skip(key, QStringLiteral("%1 of %2 entries are not numbers from %3 to %4, or too many")
                             .arg(nBad)
                             .arg(array.size())
                             .arg(nMin)
                             .arg(nMax));
    return numbers;
}

QString NumberList(const std::vector<int>& numbers)
{
    QStringList parts;
    for (const int n : numbers)
        parts << QString::number(n);
    return parts.join(QStringLiteral(", "));
}

CCheckView::Item ReadItem(const QJsonObject& o, int nIndex, QStringList* pSkipped)
{
    CCheckView::Item item;
    const CReportFields fields(o, pSkipped, QStringLiteral("item %1, ").arg(nIndex + 1));
    item.strName = fields.Text("name");
    item.strOutcome = fields.Text("outcome");
    item.mark = MarkOfWord(item.strOutcome);
    if (item.mark == EPageMark::Aborted || item.mark == EPageMark::Error)
        item.mark = EPageMark::None;
    item.strReason = fields.Text("reason", true);

    static const QRegularExpression keyName(QStringLiteral("^key (\\d+)$"));
    static const QRegularExpression selectorName(QStringLiteral("^selector (\\d+)$"));
    if (const auto m = keyName.match(item.strName); m.hasMatch()) {
        const int n = m.captured(1).toInt();
        if (n >= 1 && n <= kKeyCount)
            item.nKey = n;
        else
            pSkipped->append(QStringLiteral("item %1: the panel has no %2; shown in the table only")
                                 .arg(nIndex + 1)
                                 .arg(item.strName));
    } else if (const auto s = selectorName.match(item.strName); s.hasMatch()) {
        const int n = s.captured(1).toInt();
        if (n == 1 || n == 2)
            item.nSelector = n;
        else
            pSkipped->append(QStringLiteral("item %1: the panel has no %2; shown in the table only")
                                 .arg(nIndex + 1)
                                 .arg(item.strName));
    } else if (item.strName == QLatin1String("lamps on")) {
        item.nLamps = 0;
    } else if (item.strName == QLatin1String("lamps flashing")) {
        item.nLamps = 1;
    } else if (item.strName == QLatin1String("lamps off")) {
        item.nLamps = 2;
    } else if (item.strName == QLatin1String("lcd")) {
        item.bLcd = true;
    } else if (item.strName == QLatin1String("at rest")) {
        item.bAtRest = true;
    }

    // The measures, each only when it makes sense: a time is not negative and not beyond a day.
    constexpr int64_t kDayMs = int64_t{24} * 3600 * 1000;
    if (const auto press = fields.Whole("press_ms", 0, kDayMs, true))
        item.measures << QStringLiteral("press after %1 ms").arg(*press);
    if (const auto held = fields.Whole("held_ms", 0, kDayMs, true))
        item.measures << QStringLiteral("held %1 ms").arg(*held);
    if (const auto presses = fields.Whole("presses", 0, 1000000, true))
        item.measures << QStringLiteral("%1 %2").arg(*presses).arg(*presses == 1 ? "press" : "presses");
    item.wrongKeys = Numbers(fields, "wrong_keys", 1, kKeyCount);
    if (!item.wrongKeys.empty())
        item.measures << QStringLiteral("reported: key %1").arg(NumberList(item.wrongKeys));
    item.positionsSeen = Numbers(fields, "positions_seen", 1, 12);
    if (fields.Has("positions_seen"))
        item.measures << QStringLiteral("positions seen: %1")
                             .arg(item.positionsSeen.empty() ? QStringLiteral("none") : NumberList(item.positionsSeen));
    item.positionsMissing = Numbers(fields, "positions_missing", 1, 12);
    if (!item.positionsMissing.empty())
        item.measures << QStringLiteral("never reported: %1").arg(NumberList(item.positionsMissing));
    item.strAnswer = fields.Text("answer", true);
    if (!item.strAnswer.isEmpty())
        item.measures << QStringLiteral("answered %1").arg(item.strAnswer);
    return item;
}

} // namespace

bool ReadCheckView(const QJsonObject& report, CCheckView* pView, QString* pWhy)
{
    CCheckView& view = *pView;
    view = CCheckView();
    const QJsonValue format = report.value(QStringLiteral("format"));
    if (format.toString() != QLatin1String(kCheckPageFormat)) {
        *pWhy = QStringLiteral("not a panel check's report (format %1, expected %2)")
                    .arg(format.isString() ? QStringLiteral("'%1'").arg(format.toString()) : QStringLiteral("missing"),
                         QLatin1String(kCheckPageFormat));
        return false;
    }
    const CReportFields fields(report, &view.skipped);
    view.strSerial = fields.Text("serial");
    view.strOperator = fields.Text("operator");
    view.strStation = fields.Text("station");
    view.strPort = fields.Text("port");
    view.strDevice = fields.Text("device");
    view.strProgram = fields.Text("program", true);
    view.strVersion = fields.Text("version");
    view.strStarted = fields.Text("started");
    view.strEnded = fields.Text("ended");
    view.strOutcome = fields.Text("outcome");
    view.strReason = fields.Text("reason", true);
    if (const auto seed = fields.Whole("seed", 0, 0xFFFFFFFFll))
        view.strSeed = QString::number(*seed);
    if (const auto baud = fields.Whole("baud", 1, 10000000))
        view.strBaud = QString::number(*baud);
    if (const auto variant = fields.Whole("variant", 0, 1))
        view.strVariant = QString::number(*variant);
    view.verdict = MarkOfWord(view.strOutcome);
    if (view.verdict == EPageMark::NotRun || view.verdict == EPageMark::NotChecked)
        view.verdict = EPageMark::None;
    if (view.verdict == EPageMark::None && !view.strOutcome.isEmpty())
        fields.Skip("outcome", QStringLiteral("'%1' is no outcome of a check").arg(view.strOutcome));

    const QJsonValue items = report.value(QStringLiteral("items"));
    if (!items.isArray()) {
        fields.Skip("items", items.isUndefined() ? QStringLiteral("missing") : QStringLiteral("not a list"));
        return true;
    }
    const QJsonArray array = items.toArray();
    for (qsizetype i = 0; i < array.size(); ++i) {
        if (i >= kMaxPageItems) {
            view.skipped << QStringLiteral("items %1 to %2: a check has 19 items; the page shows the first %3")
                                .arg(i + 1)
                                .arg(array.size())
                                .arg(kMaxPageItems);
            break;
        }
        if (!array[i].isObject()) {
            view.skipped << QStringLiteral("item %1: not an object").arg(i + 1);
            continue;
        }
        CCheckView::Item item = ReadItem(array[i].toObject(), static_cast<int>(i), &view.skipped);
        if (item.strName.isEmpty() || item.mark == EPageMark::None) {
            view.skipped << QStringLiteral("item %1: without a name or a known outcome; left out").arg(i + 1);
            continue;
        }
        view.items.push_back(std::move(item));
    }
    return true;
}

CPanelMarks MarksOf(const CCheckView& view)
{
    CPanelMarks marks;
    const auto take = [](CPanelMarks::Place& place, const CCheckView::Item& item, const QString& note) {
        // An item named twice (an edited report) shows its worst outcome on the picture.
        if (place.mark == EPageMark::Fail)
            return;
        place.mark = item.mark;
        place.strName = item.strName;
        place.strNote = note;
    };
    for (const CCheckView::Item& item : view.items) {
        const bool bFailed = item.mark != EPageMark::Pass;
        if (item.nKey > 0)
            take(marks.keys[static_cast<size_t>(item.nKey - 1)], item, bFailed ? item.strReason : QString());
        if (item.nSelector > 0) {
            const auto i = static_cast<size_t>(item.nSelector - 1);
            take(marks.selectors[i], item,
                 item.positionsMissing.empty()
                     ? (bFailed ? item.strReason : QString())
                     : QStringLiteral("never reported: %1").arg(NumberList(item.positionsMissing)));
            if (item.mark == EPageMark::Fail)
                marks.missing[i] = item.positionsMissing;
        }
        if (item.nLamps >= 0)
            take(marks.lamps[static_cast<size_t>(item.nLamps)], item,
                 item.strAnswer.isEmpty() ? item.strReason : QStringLiteral("answered %1").arg(item.strAnswer));
        if (item.bLcd)
            take(marks.lcd, item,
                 item.strAnswer.isEmpty() ? item.strReason : QStringLiteral("answered %1").arg(item.strAnswer));
        // A key reported during another key's item, or with hands off, is marked where it is.
        for (const int k : item.wrongKeys) {
            if (k == item.nKey)
                continue;
            marks.unexpected.set(static_cast<size_t>(k - 1));
            QStringList& during = marks.unexpectedDuring[static_cast<size_t>(k - 1)];
            if (!during.contains(item.strName))
                during << item.strName;
        }
    }
    return marks;
}
