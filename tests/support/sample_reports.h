#pragma once

// A saved check report of 19 items with keys 3 and 4 crossed, as the virtual operator's fault
// leaves it: the one sample the page tests and the page benchmark draw.
#include <QJsonArray>
#include <QJsonObject>

namespace sample_reports {

inline QJsonObject KeyItem(int nKey, bool bPass, const QJsonArray& wrong = {})
{
    QJsonObject item{{"name", QStringLiteral("key %1").arg(nKey)},
                     {"outcome", bPass ? "pass" : "fail"},
                     {"presses", bPass ? 1 : 0},
                     {"wrong_keys", wrong}};
    if (bPass) {
        item.insert("press_ms", 150);
        item.insert("held_ms", 100);
    } else {
        item.insert("reason", QStringLiteral("key %1 reported; no press").arg(wrong.first().toInt()));
    }
    return item;
}

inline QJsonObject CrossedCheck()
{
    QJsonArray items{QJsonObject{{"name", "at rest"}, {"outcome", "pass"}, {"wrong_keys", QJsonArray()}}};
    for (int k = 1; k <= 12; ++k)
        items.append(k == 3 ? KeyItem(3, false, {4}) : k == 4 ? KeyItem(4, false, {3}) : KeyItem(k, true));
    for (const char* name : {"selector 1", "selector 2"})
        items.append(QJsonObject{{"name", name},
                                 {"outcome", "pass"},
                                 {"positions_seen", QJsonArray{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
                                 {"positions_missing", QJsonArray()}});
    for (const char* name : {"lamps on", "lamps flashing", "lamps off", "lcd"})
        items.append(QJsonObject{{"name", name}, {"outcome", "pass"}, {"answer", "yes"}});
    return QJsonObject{{"format", "kova_en-check/1"},
                       {"program", "kova_en"},
                       {"version", "3.0.0"},
                       {"serial", "KV-0815"},
                       {"operator", "A. Tester"},
                       {"station", "vm"},
                       {"port", "COM1"},
                       {"device", "/dev/ttyUSB0"},
                       {"baud", 9600},
                       {"variant", 1},
                       {"seed", 2026},
                       {"outcome", "fail"},
                       {"started", "2026-12-09T06:11:44+00:00"},
                       {"ended", "2026-12-09T06:11:56+00:00"},
                       {"items", items}};
}

} // namespace sample_reports
