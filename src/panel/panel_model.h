#pragma once

#include "geometry.h"
#include "link_stats.h"
#include "link_trace.h"
#include "panel_driver.h"
#include "perm_report.h"
#include "port_config.h"
#include "serial_link.h"
#include "string_table.h"
#include "telegrams.h"

#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

// Counters and flags that outlive a handler. They belong to no handler but to the program as
// a whole, hence the g_ names of module-level variables; the program has one window and so
// one model, which holds the one set. A fresh model starts from these values, so nothing has
// to put them back between two runs of the panel logic in one process.
struct CPanelGlobals {
    uint8_t g_bWasConnected = 0; // link was open at the last paint
    int32_t g_nPermStep = 0;     // permanence-test step, selects cell, code and attributes
    int8_t g_chPermCycle = '0';  // permanence-test LED telegram, never reset
    int8_t g_nBlinkDiv = 0;      // ticks since the flashing phase last changed
};

// The permanence test's step counter wraps here: every field of the cell telegram repeats
// with this period (120 cells, 128 codes, 4 attribute pairs of 128 steps), so wrapping
// changes no telegram and the counter can never overflow.
inline constexpr int32_t kPermStepPeriod = 7680;

// What the panel logic needs from the window it runs in.
class IPanelView {
public:
    virtual ~IPanelView() = default;
    // The "Serial Communication" dialog, preset with the choices; true and the new choices
    // on OK, false and the choices untouched on Cancel.
    virtual bool RunSerialDialog(int& nPortChoice, int& nBaudChoice) = 0;
    // The "Text Input" dialog, preset with the rows; true and the new rows on OK.
    virtual bool RunTextInputDialog(std::array<QString, kLcdRows>& rows) = 0;
    // A modal message box with the OK button and a string-table text.
    virtual void ShowMessage(int nStringId) = 0;
    // The same with the system's explanation offered as the box's detail text.
    virtual void ShowMessageDetail(int nStringId, const QString& strDetail)
    {
        (void)strDetail;
        ShowMessage(nStringId);
    }
    // The drawing side below does nothing by default: a view without a screen (a benchmark,
    // a headless run) has nothing to repaint.
    // Marks part of the client area (nullptr: all of it) for repainting.
    virtual void Invalidate(const CRect* pRect, bool bErase)
    {
        (void)pRect;
        (void)bErase;
    }
    // Runs pending paints now.
    virtual void UpdateWindow() {}
    // The paint routine, called directly after the state changed.
    virtual void Paint() {}
};

// What the program's entry hands the panel logic: where the traffic trace goes ("-" standard
// error, a file, empty for none) and the port setup of its command line.
struct CPanelConfig {
    QString strTrace;
    CPortSetup ports;
};

// The window's side of the panel: its mirror of the panel and its handlers for connecting, the
// poll tick, the permanence test, key clicks and text entry, with the window's own ways (the
// message boxes, the first byte of a receive applied whatever its result, the identify bytes
// stored as they came). The telegrams go through the panel driver, which the runs without a
// window use as well. No widgets: the window supplies an IPanelView.
class CPanelModel : public CPanelGlobals {
public:
    explicit CPanelModel(IPanelView& view, ISerialDevice* pDevice = nullptr, IClock* pClock = nullptr,
                         const CPanelConfig& config = CPanelConfig());
    // Ends a permanence-test run still going and writes its report.
    ~CPanelModel();
    CPanelModel(const CPanelModel&) = delete;
    CPanelModel& operator=(const CPanelModel&) = delete;

    // Start values of the state at window initialisation.
    void InitState();

    // Connecting.
    void OnSerialPort();
    void OnResetPanel();
    uint8_t Handshake();

    // The 200 ms poll tick.
    void OnTimer();

    // Permanence test.
    void OnPermTestStart();
    void OnPermTestStop();
    void PermanenceStep(uint8_t* pReply, int* pnReplyLen);

    // Mouse clicks in client coordinates.
    void OnLButtonDown(int x, int y);
    void OnRButtonDown(int x, int y);
    // Gives every key the point hits the LED state that `next` makes of its own, and sends it.
    void SwitchKeysAt(int x, int y, uint8_t (*next)(uint8_t));

    // LCD text entry.
    void OnTextInput();

    // The meaning of an inbound telegram's first byte.
    void ApplyReport(uint8_t b);
    void ClearLedsAndMarkers();

    // The link part of a paint: announces a lost link once. Returns whether the status line
    // is to be shown (the link is closed).
    bool CheckLink();

    // The record of permanence-test runs. A run begins at OnPermTestStart and ends at
    // OnPermTestStop (after its telegrams), at a connect or with the model; its report is
    // written then (when m_bWriteReports is set), to m_strReportPath or else into
    // ReportFolder(), and noted in the trace.
    void EndPermRun(const QString& strWhy);
    const CPermRecord* PermRun() const { return m_pPermRun.get(); }
    const CPermRecord* LastPermRun() const { return m_pLastPermRun.get(); }
    const QString& LastReportPath() const { return m_strLastReport; }
    // Why the last report was not written; empty when it was.
    const QString& LastReportError() const { return m_strLastReportError; }
    // Running figures of the run and where the last report went; empty when there are none.
    QString PermRunFigures() const;
    const CLinkStats& Stats() const { return m_driver.Stats(); }
    CPanelDriver& Driver() { return m_driver; }
    const CPortSetup& PortSetup() const { return m_ports; }
    // How the last connect went, as the driver tells it: what the runs without a window
    // decide by, never by the boxes the window would have shown.
    const CConnectResult& LastConnect() const { return m_lastConnect; }
    // Reports are written only where asked for: by the window and by the headless runs.
    bool m_bWriteReports = false;
    // Written instead of the state folder when set.
    QString m_strReportPath;
    // Told of every report written, with its path: the window writes the report's page beside
    // it (the pages lie above the panel, so they are handed in).
    std::function<void(const QJsonObject& report, const QString& strPath)> m_onReportWritten;
    // What the report of a run ended by OnPermTestStop says ended it.
    QString m_strPermStopReason = QStringLiteral("stop");
    // Connects carry a run on instead of ending it (a run that reconnects by itself).
    bool m_bPermRunSpansConnects = false;

    // Selector positions as the numbers the readouts show.
    int Switch1Number() const { return m_chSwitch1 - kSwitch1Base; }
    int Switch2Number() const { return m_chSwitch2 - kSwitch2Base; }
    // Whether key i's LED shows lit in the current flashing phase.
    bool LedLit(int nKey) const;

    QString m_strStatus;
    std::array<QString, kLcdRows> m_strRow;
    int8_t m_nLinkVariant = 0;
    uint8_t m_bPermTest = 0;
    int8_t m_nPort = 0;
    int8_t m_nBaud = 0;

private:
    CPanelDriver m_driver;

public:
    CSerialLink& m_link = m_driver.Link();
    uint8_t m_bBlink = 0;
    int8_t m_chSwitch1 = kSwitch1Base;
    int8_t m_chSwitch2 = kSwitch2Base;
    std::array<uint8_t, 32> m_led{};
    std::array<uint8_t, 32> m_keyDown{};

private:
    void Reconnect();
    void BeginPermRun();
    // A block the panel delivered in the poll or a step: its first byte goes into the run.
    void NoteReport(int nResult, const uint8_t* pReply, int nReplyLen);
    int Send(const uint8_t* pData, int nLen);
    int SendByte(uint8_t b) { return Send(&b, 1); }
    // The driver, sending in the window's block-check variant.
    CPanelDriver& Sender();

    IPanelView& m_view;
    CPortSetup m_ports;
    CConnectResult m_lastConnect;
    std::unique_ptr<CPermRecord> m_pPermRun;
    std::unique_ptr<CPermRecord> m_pLastPermRun;
    QString m_strLastReport;
    QString m_strLastReportError;
};
