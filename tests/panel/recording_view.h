#pragma once

#include "panel_model.h"

#include <array>
#include <functional>
#include <string>
#include <vector>

// Stands in for the window: dialogs answer from a script, and everything the model asks of
// the window lands in one ordered log ("serial-dialog 0,0", "msg 32783", "inval 100,382,140,412
// keep", "inval all keep", "update", "paint").
class CRecordingView final : public IPanelView {
public:
    // Serial dialog script: OK with these choices, or Cancel.
    bool m_bSerialOk = true;
    int m_nPortAnswer = 0;
    int m_nBaudAnswer = 0;
    // Text dialog script: OK with these rows, or Cancel.
    bool m_bTextOk = true;
    std::array<QString, kLcdRows> m_textAnswer;
    // The rows the text dialog was preset with, per opening.
    std::vector<std::array<QString, kLcdRows>> m_textPresets;

    // Runs inside the text dialog, as its modal loop would run ticks.
    std::function<void()> m_onTextDialog;
    // Runs inside the message box, as its modal loop would run ticks.
    std::function<void(int)> m_onMessage;
    // The window's paint routine behind Paint and behind a pending paint in UpdateWindow.
    std::function<void()> m_onPaint;

    std::vector<std::string> m_log;

    bool RunSerialDialog(int& nPortChoice, int& nBaudChoice) override
    {
        m_log.push_back("serial-dialog " + std::to_string(nPortChoice) + "," + std::to_string(nBaudChoice));
        if (!m_bSerialOk)
            return false;
        nPortChoice = m_nPortAnswer;
        nBaudChoice = m_nBaudAnswer;
        return true;
    }

    bool RunTextInputDialog(std::array<QString, kLcdRows>& rows) override
    {
        m_log.push_back("text-dialog");
        m_textPresets.push_back(rows);
        if (m_onTextDialog)
            m_onTextDialog();
        if (!m_bTextOk)
            return false;
        rows = m_textAnswer;
        return true;
    }

    void ShowMessage(int nStringId) override
    {
        m_log.push_back("msg " + std::to_string(nStringId));
        if (m_onMessage)
            m_onMessage(nStringId);
    }

    void Invalidate(const CRect* pRect, bool bErase) override
    {
        std::string what = "all";
        if (pRect != nullptr)
            what = std::to_string(pRect->left) + "," + std::to_string(pRect->top) + "," + std::to_string(pRect->right)
                   + "," + std::to_string(pRect->bottom);
        m_log.push_back("inval " + what + (bErase ? " erase" : " keep"));
        m_bPending = true;
    }

    void UpdateWindow() override
    {
        m_log.push_back("update");
        if (m_bPending) {
            m_bPending = false;
            m_log.push_back("pending-paint");
            if (m_onPaint)
                m_onPaint();
        }
    }

    void Paint() override
    {
        m_log.push_back("paint");
        if (m_onPaint)
            m_onPaint();
    }

    std::vector<int> Messages() const
    {
        std::vector<int> ids;
        for (const std::string& entry : m_log)
            if (entry.rfind("msg ", 0) == 0)
                ids.push_back(std::stoi(entry.substr(4)));
        return ids;
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
        m_textPresets.clear();
    }

private:
    bool m_bPending = false;
};
