#pragma once

#include "geometry.h"
#include "link_stats.h"
#include "link_trace.h"
#include "serial_link.h"
#include "telegrams.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The panel as a program drives it without the window: connecting, the telegrams it takes, the
// reports it sends, and a mirror of what it shows. Every run without a window (--probe,
// --permanence-test, the panel check, the machine interface) goes through here, never through
// the window's handlers, pixels or message boxes; the window's own model sends its telegrams
// through the same driver.
//
// Keys are numbered 1 to 12 and selector positions 1 to 12 here, as the panel's operator sees
// them; the telegrams carry them as characters.

// One block exchange of the driver: the send, and the receive that followed where one did.
struct CExchange {
    int nSent = kBlockClosed;
    std::optional<int> nReceived; // the receive's result, when one followed
    QByteArray reply;             // the telegram received, when nReceived is 0
    int nTries = 1;               // how often the telegram went on the line (SetTries)
    bool Ok() const { return nSent == kBlockDone && (!nReceived || *nReceived == kBlockDone); }
    // The result that tells how it went: the send's, or the receive's when the send ended 0.
    int Result() const { return nSent != kBlockDone || !nReceived ? nSent : *nReceived; }
};

// "done", "no byte", "refused", "closed or timed out": what a block result means.
const char* BlockResultText(int nResult);

enum class ConnectOutcome { PortError, NotFound, Found };

// How a connect went. Found means the panel answered the identify telegram; only Connected()
// says that the link is still up after the whole procedure.
struct CConnectResult {
    ConnectOutcome outcome = ConnectOutcome::PortError;
    QString strError; // the system's reason, for PortError
    int nErrno = 0;
    int nVariant = 0;
    std::optional<uint8_t> selector1; // the bytes of the identify reply, as received
    std::optional<uint8_t> selector2;
    bool bLinkUp = false;
    bool Connected() const { return outcome == ConnectOutcome::Found && bLinkUp; }
};

// A report the panel delivered, decoded from its telegram's first byte.
struct CPanelEvent {
    enum class Kind { NoKey, Key, Selector1, Selector2, Unknown };
    Kind kind = Kind::Unknown;
    int n = 0; // the key number for Key, the position for Selector1 and Selector2
    QByteArray telegram;
    int64_t tMs = 0; // the driver's monotonic clock
};

// What one Poll found.
struct CPollResult {
    bool bReceived = false; // a block was waiting and a receive was made
    int nResult = kBlockClosed;
    std::optional<CPanelEvent> event; // only for a block received whole (result 0)
};

// What the driver last sent and heard. The LCD rows are those last written with WriteRows.
struct CPanelState {
    std::array<uint8_t, kKeyCount> leds{}; // kLedOff, kLedOn, kLedFlashing
    int nKeyDown = 0;                      // 1 to 12, 0 none
    int nSelector1 = 0;                    // 1 to 12, 0 not known
    int nSelector2 = 0;
    std::array<QString, kLcdRows> rows;
    bool bLinkUp = false;
    int nVariant = 0;
    int nPort = 0; // 1 or 2
    int nBaud = 9600;
    std::string strDevice;
};

// Told of what happens on the panel, in the order it happens.
class IPanelDriverObserver {
public:
    virtual ~IPanelDriverObserver() = default;
    virtual void OnPanelEvent(const CPanelEvent& event) { (void)event; }
    // A reply time-out or a hang-up closed the open link.
    virtual void OnLinkLost(int64_t tMs) { (void)tMs; }
};

class CPanelDriver final : private ILinkObserver {
public:
    // Without a device it opens real serial ports, without a clock it uses the monotonic one;
    // neither is owned. strTrace names where the traffic trace goes ("-" standard error, else a
    // file; empty: no trace), as the program's entry read it (TraceTargetFromEnvironment).
    explicit CPanelDriver(ISerialDevice* pDevice = nullptr, IClock* pClock = nullptr,
                          const QString& strTrace = QString());
    ~CPanelDriver() override;
    CPanelDriver(const CPanelDriver&) = delete;
    CPanelDriver& operator=(const CPanelDriver&) = delete;

    // Closes the link and opens strDevice (the port nPort stands for) at nBaud: the first half
    // of a connect. false, and the reason in the result, when it would not open.
    bool Open(int nPort, const std::string& strDevice, int nBaud, CConnectResult* pResult);
    // The second half, as the window does it: "#" in block-check variant 1, else in 0; the
    // identify reply with both selector bytes; "@"; "l+" and its reply.
    CConnectResult Handshake();
    // Both halves.
    CConnectResult Connect(int nPort, const std::string& strDevice, int nBaud);
    void Close();

    // Telegrams. Each returns how its exchange went; nothing is sent while the link is closed
    // (the result is then 255).
    CExchange SetLed(int nKeyNumber, int nState);
    CExchange LedsOff();
    // "l+%" and its reply, then the eight row telegrams, each with its reply, as the text entry
    // sends them. The first exchange that did not end 0, or the last one.
    CExchange WriteRows(const std::array<QString, kLcdRows>& rows);
    // One cell: nAttribute 0..3 for "AC", "@C", "AB", "@B".
    CExchange WriteCell(int nRow, int nColumn, int nAttribute, uint8_t chCode);
    // Any telegram; with bWantReply the block the panel answers is received too.
    CExchange SendTelegram(const QByteArray& telegram, bool bWantReply);

    // Receives one block when one is waiting. A report is returned, and told to the observers,
    // only for a block received whole; a failed receive is returned as such.
    CPollResult Poll();
    // Whether a block (or a hang-up) is waiting to be polled.
    bool InputWaiting();
    // The descriptor to watch for input, -1 when there is none (closed, or a device without one).
    int PollDescriptor() const;
    // Windows: the event to wait on for input, nullptr when there is none.
    void* PollEvent() const { return m_link.PollEvent(); }

    const CPanelState& State() const { return m_state; }
    CSerialLink& Link() { return m_link; }
    const CSerialLink& Link() const { return m_link; }
    const CLinkStats& Stats() const { return m_stats; }
    CLinkStats& Stats() { return m_stats; }
    CLinkTrace* Trace() const { return m_pTrace.get(); }
    int64_t NowMs() const { return m_link.Clock().NowMs64(); }

    void AddObserver(IPanelDriverObserver* pObserver);
    void RemoveObserver(IPanelDriverObserver* pObserver);

    // How often a telegram is sent in all when the panel refused it, as it does when a report of
    // its own crossed the telegram on the line; a report waiting meanwhile is received (and told)
    // before the next try. 1, the default, sends each telegram once, as the window does; the runs
    // without a window take kCrossedTries. Only a refused send is tried again: a telegram the
    // panel took and whose reply went wrong would otherwise be applied twice.
    void SetTries(int nTries) { m_nTries = nTries < 1 ? 1 : nTries; }

    // The block-check variant used for sending: the one the last handshake settled on.
    int Variant() const { return m_state.nVariant; }
    void SetVariant(int nVariant) { m_state.nVariant = nVariant; }
    // One telegram in the current variant, nothing received: the window's own sends go here.
    int Send(const uint8_t* pData, int nLen);

private:
    void OnBlockSent(const uint8_t*, int, int, int) override {}
    void OnBlockReceived(const uint8_t*, int, int) override {}
    void OnLinkLost() override;
    CExchange Exchange(const uint8_t* pData, int nLen, bool bWantReply);
    CExchange ExchangeOnce(const uint8_t* pData, int nLen, bool bWantReply);
    // A reply's first byte is the panel's key or selector status. A status that differs from
    // what is known is a report the reply carried: applied and told as if it had come alone,
    // and the same report coming alone afterwards is not told twice.
    void TakeReplyReport(const QByteArray& reply);
    CPanelEvent Decode(const uint8_t* pData, int nCount) const;
    void Apply(const CPanelEvent& event);
    void Tell(const CPanelEvent& event);

    CSerialLink m_link;
    std::unique_ptr<CLinkTrace> m_pTrace;
    CLinkStats m_stats{m_link};
    CPanelState m_state;
    std::vector<IPanelDriverObserver*> m_observers;
    int m_nTries = 1;
    std::optional<CPanelEvent> m_toldFromReply; // the last report a reply carried, until the next
};

// The tries of a telegram for the runs without a window: a report crossing it twice in a row is
// rare, three times is a panel that refuses it.
inline constexpr int kCrossedTries = 3;
