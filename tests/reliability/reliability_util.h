#pragma once

#include "panel_model.h"
#include "process_probe.h"
#include "test_view.h"

#include <QString>

#include <chrono>
#include <string>
#include <vector>

// Waits until `path` names something that exists (following links); false after timeoutMs.
bool WaitForPath(const std::string& path, int timeoutMs);
