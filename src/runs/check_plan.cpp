#include "check_plan.h"

#include "geometry.h"
#include "telegrams.h"

#include <random>
#include <utility>

QStringList CheckGroups()
{
    return {QStringLiteral("at-rest"), QStringLiteral("keys"), QStringLiteral("selectors"), QStringLiteral("lamps"),
            QStringLiteral("lcd")};
}

std::vector<CCheckItem> CheckPlan(uint32_t nSeed, const QStringList& onlyGroups)
{
    std::vector<CCheckItem> items;
    const auto add = [&items, &onlyGroups](const QString& name, const QString& group, int n = 0) {
        CCheckItem item;
        item.strName = name;
        item.strGroup = group;
        item.nKey = n;
        if (!onlyGroups.isEmpty() && !onlyGroups.contains(group))
            item.strReason = QStringLiteral("left out (--only)");
        items.push_back(item);
    };
    add(QStringLiteral("at rest"), QStringLiteral("at-rest"));
    std::vector<int> keys(kKeyCount);
    for (int k = 0; k < kKeyCount; ++k)
        keys[static_cast<size_t>(k)] = k + 1;
    std::mt19937 rng(nSeed);
    // Fisher-Yates by hand: std::shuffle may differ between standard libraries, mt19937 does not.
    for (size_t i = keys.size() - 1; i > 0; --i)
        std::swap(keys[i], keys[rng() % (i + 1)]);
    for (int k : keys)
        add(QStringLiteral("key %1").arg(k), QStringLiteral("keys"), k);
    add(QStringLiteral("selector 1"), QStringLiteral("selectors"), 1);
    add(QStringLiteral("selector 2"), QStringLiteral("selectors"), 2);
    add(QStringLiteral("lamps on"), QStringLiteral("lamps"), kLedOn);
    add(QStringLiteral("lamps flashing"), QStringLiteral("lamps"), kLedFlashing);
    add(QStringLiteral("lamps off"), QStringLiteral("lamps"), kLedOff);
    add(QStringLiteral("lcd"), QStringLiteral("lcd"));
    return items;
}
