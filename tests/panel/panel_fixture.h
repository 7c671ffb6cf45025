#pragma once

#include "engine_panel.h"
#include "fake_clock.h"
#include "fake_serial_device.h"
#include "panel_model.h"
#include "test_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

// The model in a recording window, on a device with the in-process panel behind it. The window's
// paint routine is wired as in the program: its link part runs on every paint.
class PanelTest : public ::testing::Test {
protected:
    PanelTest()
    {
        m_model.InitState();
        m_view.m_onPaint = [this] {
            m_bStatusShown = m_model.CheckLink();
            m_paintedSwitch1.push_back(m_model.Switch1Number());
        };
    }

    // Start-up connect with the settings dialog answered OK at COM1, 9600; logs cleared after.
    void Connect()
    {
        m_model.OnSerialPort();
        ASSERT_EQ(m_model.m_link.m_bOpen, 1);
        m_model.CheckLink();
        m_panel.ClearLog();
        m_view.Clear();
        m_device.ClearWritten();
    }

    void Ticks(int n)
    {
        for (int i = 0; i < n; ++i)
            m_model.OnTimer();
    }

    // Indices of the marked keys.
    std::vector<int> MarkedKeys() const
    {
        std::vector<int> keys;
        for (int i = 0; i < 32; ++i)
            if (m_model.m_keyDown[i])
                keys.push_back(i);
        return keys;
    }
    bool AllLedsOff() const
    {
        for (uint8_t led : m_model.m_led)
            if (led != 0)
                return false;
        return true;
    }

    CFakeClock m_clock;
    CFakeSerialDevice m_device{m_clock};
    CEnginePanel m_panel{m_device, m_clock};
    CTestView m_view;
    CPanelModel m_model{m_view, &m_device, &m_clock};
    bool m_bStatusShown = false;
    std::vector<int> m_paintedSwitch1;
};

// Center of key i.
inline int KeyX(int i)
{
    return (g_rcKeys[i].left + g_rcKeys[i].right) / 2;
}
inline int KeyY(int i)
{
    return (g_rcKeys[i].top + g_rcKeys[i].bottom) / 2;
}
