#pragma once

#include <QString>

// Identifiers of the string table in res/strings.txt.
enum StringId : int {
    IDS_ABOUTBOX = 101,
    IDS_EXIT_QUESTION = 32773,
    IDS_PERM_NOTICE_FIRST = 32774, // eight rows, 32774 to 32781
    IDS_PORT_NOT_OPENED = 32782,
    IDS_PANEL_NOT_FOUND = 32783,
    IDS_DEMO_STATUS = 32784,
};

// The text of a string-table entry; empty when there is none.
QString LoadString(int nId);
