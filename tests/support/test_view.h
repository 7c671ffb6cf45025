#pragma once

#include "panel_model.h"

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Stands in for the window in every test that runs the model without widgets. Dialogs answer
// from a script, message boxes are recorded with their detail text, and everything the model
// asks of the window lands in one ordered log ("serial-dialog 0,0", "msg 32783", "inval
// 100,382,140,412 keep", "inval all keep", "update", "pending-paint", "paint"). With a model
// set, a paint runs the link part of the real paint routine, so the one-time notice behaves
// as on screen.
class CTestView final : public IPanelView {
public:
    struct Message {
        int nId;
        QString strDetail;
    };

    // Serial dialog script: OK with these choices (unset: the ones shown), or Cancel.
    bool m_bSerialOk = true;
    std::optional<int> m_nPortAnswer;
    std::optional<int> m_nBaudAnswer;
    // Text dialog script: OK with these rows, or Cancel.
    bool m_bTextOk = true;
    std::array<QString, kLcdRows> m_textAnswer;
    // The rows the text dialog was preset with, per opening.
    std::vector<std::array<QString, kLcdRows>> m_textPresets;

    // Runs inside the text dialog, as its modal loop would run ticks.
    std::function<void()> m_onTextDialog;
    // Runs inside the message box, as its modal loop would run ticks.
    std::function<void(int)> m_onMessage;
    // More of the window's paint routine, behind Paint and a pending paint in UpdateWindow.
    std::function<void()> m_onPaint;
    // The model whose link check every paint runs; m_bStatusShown is its last answer.
    CPanelModel* m_pModel = nullptr;
    bool m_bStatusShown = false;

    // Off for long runs, whose memory is measured: then only the counts are kept.
    bool m_bKeepLog = true;
    std::vector<std::string> m_log;
    std::vector<Message> m_messages;
    long m_nPaints = 0;

    bool RunSerialDialog(int& nPortChoice, int& nBaudChoice) override
    {
        Log("serial-dialog " + std::to_string(nPortChoice) + "," + std::to_string(nBaudChoice));
        if (!m_bSerialOk)
            return false;
        nPortChoice = m_nPortAnswer.value_or(nPortChoice);
        nBaudChoice = m_nBaudAnswer.value_or(nBaudChoice);
        return true;
    }

    bool RunTextInputDialog(std::array<QString, kLcdRows>& rows) override
    {
        Log("text-dialog");
        if (m_bKeepLog)
            m_textPresets.push_back(rows);
        if (m_onTextDialog)
            m_onTextDialog();
        if (!m_bTextOk)
            return false;
        rows = m_textAnswer;
        return true;
    }

    void ShowMessage(int nStringId) override { ShowMessageDetail(nStringId, {}); }
    void ShowMessageDetail(int nStringId, const QString& strDetail) override
    {
        Log("msg " + std::to_string(nStringId));
        ++m_counts[nStringId];
        if (m_bKeepLog)
            m_messages.push_back({nStringId, strDetail});
        if (m_onMessage)
            m_onMessage(nStringId);
    }

    void Invalidate(const CRect* pRect, bool bErase) override
    {
        if (m_bKeepLog) {
            std::string what = "all";
            if (pRect != nullptr)
                what = std::to_string(pRect->left) + "," + std::to_string(pRect->top) + ","
                       + std::to_string(pRect->right) + "," + std::to_string(pRect->bottom);
            Log("inval " + what + (bErase ? " erase" : " keep"));
        }
        m_bPending = true;
    }

    void UpdateWindow() override
    {
        Log("update");
        if (m_bPending) {
            m_bPending = false;
            Log("pending-paint");
            RunPaint();
        }
    }

    void Paint() override
    {
        Log("paint");
        RunPaint();
    }

    std::vector<int> Messages() const
    {
        std::vector<int> ids;
        for (const Message& m : m_messages)
            ids.push_back(m.nId);
        return ids;
    }
    // How often a message box with this text was shown, kept on long runs too.
    long Count(int nStringId) const
    {
        const auto it = m_counts.find(nStringId);
        return it == m_counts.end() ? 0 : it->second;
    }
    int Count(const std::string& entry) const
    {
        int n = 0;
        for (const std::string& e : m_log)
            n += e == entry;
        return n;
    }
    bool Has(const std::string& entry) const { return Count(entry) > 0; }
    void Clear()
    {
        m_log.clear();
        m_messages.clear();
        m_counts.clear();
        m_textPresets.clear();
    }

private:
    void Log(std::string entry)
    {
        if (m_bKeepLog)
            m_log.push_back(std::move(entry));
    }
    void RunPaint()
    {
        ++m_nPaints;
        if (m_pModel != nullptr)
            m_bStatusShown = m_pModel->CheckLink();
        if (m_onPaint)
            m_onPaint();
    }

    bool m_bPending = false;
    std::map<int, long> m_counts;
};
