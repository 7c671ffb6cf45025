#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The page of a panel check's report: the verdict as a word and an icon, who checked which
// panel where and when, the panel's picture with every item's result where it belongs, and
// the items in the order they ran.
struct CReportPage {
    QByteArray html;     // empty when the report was refused
    QStringList skipped; // what the report held that the page could not show, and why
    QString strWhy;      // why the report was refused
};

CReportPage CheckPage(const QJsonObject& report);

// The check's picture alone, as a PNG (for the JUnit file's attachment); empty when refused.
QByteArray CheckPicturePng(const QJsonObject& report);
