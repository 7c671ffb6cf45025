#pragma once

#include "engine_panel.h"
#include "fake_clock.h"
#include "fake_serial_device.h"
#include "message_box.h"
#include "panel_dlg.h"
#include "scoped_env.h"

#include <QImage>
#include <QRect>
#include <QString>

#include <array>
#include <functional>
#include <ostream>
#include <vector>

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* pOut)
{
    *pOut << '"' << text.toStdString() << '"';
}

// The main window with its message boxes and dialogs answered from the test. Every question is
// recorded together with whether the link was open when it was asked.
class CTestPanelDlg : public CPanelDlg {
public:
    using CPanelDlg::CPanelDlg;

    struct Box {
        int nStringId;
        int nStyle;
        bool bLinkOpen;
        bool operator==(const Box&) const = default;
    };
    struct SerialAsk {
        int nPortPreset;
        int nBaudPreset;
    };

    int MessageBox(int nStringId, int nStyle) override;
    bool RunSerialDialog(int& nPortChoice, int& nBaudChoice) override;
    bool RunTextInputDialog(std::array<QString, kLcdRows>& rows) override;

    std::vector<int> BoxIds() const;

    // Answer to a Yes/No question.
    int nYesNoAnswer = IDNO;
    std::vector<Box> boxes;

    // Answer of the settings dialog: OK with these choices, or Cancel.
    bool bSerialOk = false;
    int nSerialPort = 0;
    int nSerialBaud = 0;
    std::vector<SerialAsk> serialAsks;

    // Answer of the text dialog: OK with these rows (when set), or Cancel.
    std::function<bool(std::array<QString, kLcdRows>&)> textAnswer;
    int nTextDialogs = 0;
};

// A window on a scripted device and a fake clock, initialised (and so connected, when a fake
// panel is attached) with the poll timer stopped, so that nothing changes behind the test's
// back.
struct CWindowRig {
    CFakeClock clock;
    CFakeSerialDevice device{clock};
    CTestPanelDlg dlg{&device, &clock};

    // Starts the window as the program does, answering the settings dialog with Cancel.
    void Init(bool bStopTimer = true);
    // Shows the window and waits until it can take input.
    void Show();
    CPanelModel& Model() { return dlg.Model(); }
};

// Waits, processing events, until pred holds or the deadline passes; returns pred().
bool WaitFor(const std::function<bool()>& pred, int nDeadlineMs = 10000);

// Runs action on the next modal widget that opens (polled while its loop runs), then returns.
// Records the widget's class name and title for the test.
struct CModalSpy {
    QString strClass;
    QString strTitle;
    int nSeen = 0;
};
void OnNextModal(CModalSpy& spy, const std::function<void(QWidget*)>& action, QWidget* pIgnore = nullptr,
                 int nDeadlineMs = 10000);

// The canvas as drawn now, one image pixel per device pixel.
QImage GrabCanvas(CPanelDlg& dlg);

// Pixels of img inside rc (client coordinates; scaled by the image's pixel ratio) that are
// clearly darker than the panel picture there: text and outlines drawn over the picture.
int InkPixels(const QImage& img, const QRect& rc);
// The bounds of those pixels in the image's own (device) pixels, or an empty rectangle.
QRect InkBounds(const QImage& img, const QRect& rc);

// Colour at a client point of a grab, whatever its pixel ratio.
QRgb PixelAt(const QImage& img, int x, int y);

inline QPoint KeyCentre(int nKey)
{
    const CRect& rc = g_rcKeys[nKey];
    return {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
}
