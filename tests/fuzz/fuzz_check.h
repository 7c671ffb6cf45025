#pragma once

#include "panel_model.h"
#include "test_view.h"

#include "fuzz_invariant.h"

// What a model may hold whatever the panel sent: at most one key marked, LED states that
// exist, selector characters from the report ranges or the "unknown" start values.
inline void CheckModelState(const CPanelModel& model)
{
    int marked = 0;
    for (int i = 0; i < 32; ++i) {
        FUZZ_CHECK(model.m_keyDown[i] <= 1);
        FUZZ_CHECK(model.m_led[i] <= kLedFlashing);
        marked += model.m_keyDown[i];
        if (i >= kKeyCount)
            FUZZ_CHECK(model.m_keyDown[i] == 0 && model.m_led[i] == 0);
    }
    FUZZ_CHECK(marked <= 1);
    FUZZ_CHECK(model.m_link.m_bOpen == 0 || model.m_link.m_bOpen == 1);
}
