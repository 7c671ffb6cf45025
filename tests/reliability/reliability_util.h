#pragma once

#include "panel_model.h"
#include "process_probe.h"

#include <QString>

#include <chrono>
#include <map>
#include <string>
#include <vector>

// The window as the reliability tests need it: the settings dialog answers OK with the
// choices it was shown, every message box is recorded with its detail text, and a paint
// runs the link part of the real paint routine, so the one-time notice behaves as on screen.
class CCountingView final : public IPanelView {
public:
    struct Message {
        int nId;
        QString strDetail;
    };

    CPanelModel* m_pModel = nullptr;
    std::vector<Message> m_messages;
    // Off for long runs, whose memory is measured: then only the counts are kept.
    bool m_bKeepMessages = true;
    std::map<int, long> m_counts;
    long m_nPaints = 0;
    bool m_bStatusShown = false;

    bool RunSerialDialog(int&, int&) override { return true; }
    bool RunTextInputDialog(std::array<QString, kLcdRows>&) override { return false; }
    void ShowMessage(int nStringId) override { ShowMessageDetail(nStringId, {}); }
    void ShowMessageDetail(int nStringId, const QString& strDetail) override
    {
        ++m_counts[nStringId];
        if (m_bKeepMessages)
            m_messages.push_back({nStringId, strDetail});
    }
    void Invalidate(const CRect*, bool) override {}
    void UpdateWindow() override {}
    void Paint() override
    {
        ++m_nPaints;
        if (m_pModel != nullptr)
            m_bStatusShown = m_pModel->CheckLink();
    }

    long Count(int nStringId) const
    {
        const auto it = m_counts.find(nStringId);
        return it == m_counts.end() ? 0 : it->second;
    }
};

// Waits until `path` names something that exists (following links); false after timeoutMs.
bool WaitForPath(const std::string& path, int timeoutMs);
