#pragma once

#include "panel_model.h"

#include <cstdlib>
#include <vector>

// The window as the fuzzers need it: dialogs answer OK without changes, message boxes are
// counted, and a paint runs the link check of the real paint routine so that the one-time
// notice takes part.
class CFuzzView final : public IPanelView {
public:
    CPanelModel* m_pModel = nullptr;
    std::vector<int> m_messages;

    bool RunSerialDialog(int&, int&) override { return true; }
    bool RunTextInputDialog(std::array<QString, kLcdRows>&) override { return true; }
    void ShowMessage(int nStringId) override { m_messages.push_back(nStringId); }
    void Invalidate(const CRect*, bool) override {}
    void UpdateWindow() override {}
    void Paint() override
    {
        if (m_pModel != nullptr)
            m_pModel->CheckLink();
    }

    int Count(int nStringId) const
    {
        int n = 0;
        for (int id : m_messages)
            n += id == nStringId;
        return n;
    }
};

// A broken invariant must stop the fuzzer with an input to keep, exactly like a crash.
#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            __builtin_printf("invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__);                             \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

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
