#pragma once

#include "panel_driver.h"
#include "serve_command.h"

#include <QByteArray>
#include <QJsonValue>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The machine interface's session: each command carried out on the panel driver, the waits for
// the panel's reports, and the reply and event lines. It knows nothing of standard input or
// output, so the tests and the fuzzer hand it lines directly; serve.h puts it on the two
// descriptors.

// The protocol on one panel driver. Every call returns the lines to write, in order: the events
// that happened meanwhile, then the reply.
class CServeSession final : private IPanelDriverObserver {
public:
    // resolveDevice names the device behind port 1 or 2 at the moment of each connect, as the
    // window reads the port setup anew at each connect.
    CServeSession(CPanelDriver& driver, int nPort, int nBaud, std::function<std::string(int)> resolveDevice);
    ~CServeSession() override;
    CServeSession(const CServeSession&) = delete;
    CServeSession& operator=(const CServeSession&) = delete;

    // Connects as the window does at its start and returns the hello line; PortError() tells
    // whether the port would not open.
    QByteArray Start(const QString& strVersion);
    bool PortError() const { return m_bPortError; }

    // One command line, without its newline.
    QByteArray HandleLine(const QByteArray& line);
    // The answer to a line that passed kServeMaxLine.
    QByteArray TooLongLine();
    // Receives every block waiting on the line: their events and the waits they answer.
    QByteArray Poll();
    // Answers the waits whose time has come.
    QByteArray ExpireWaits();
    // Answers every pending wait with an error: the session ends.
    QByteArray EndWaits(const QString& why);
    // The driver's clock time of the next wait's end; nothing when no wait is pending.
    std::optional<int64_t> NextDeadline() const;
    size_t PendingWaits() const { return m_waits.size(); }
    bool QuitAsked() const { return m_bQuit; }

private:
    struct CWait {
        QJsonValue id;
        int nFor; // the index of its "for" word
        CPanelEvent::Kind kind;
        int nValue; // 0: any
        int64_t nDeadlineMs;
    };
    void OnPanelEvent(const CPanelEvent& event) override;
    void OnLinkLost(int64_t tMs) override;
    void Serve(const QByteArray& line);
    QByteArray Take();
    // Answers with "timeout" the waits whose end is at nNowMs or before.
    void ExpireWaitsAt(int64_t nNowMs);
    // A reply's line, with the command's id first when it carried one.
    static CJsonLine ReplyLine(const QJsonValue& id);
    void ExchangeReply(const CServeCommand& request, const CExchange& exchange, const QByteArray& extraKey = {});
    void Refuse(const QJsonValue& id, const QString& why);
    CConnectResult Connect();
    void AddConnect(CJsonLine& line, const CConnectResult& result) const;
    int64_t SinceStartMs(int64_t tMs) const { return tMs - m_nStartMs; }

    void OnLed(const CServeCommand& request);
    void OnLedsOff(const CServeCommand& request);
    void OnText(const CServeCommand& request);
    void OnCell(const CServeCommand& request);
    void OnSend(const CServeCommand& request);
    void OnState(const CServeCommand& request);
    void OnWait(const CServeCommand& request);
    void OnStats(const CServeCommand& request);
    void OnConnect(const CServeCommand& request);
    void OnClose(const CServeCommand& request);
    void OnQuit(const CServeCommand& request);

    CPanelDriver& m_driver;
    int m_nPort;
    int m_nBaud;
    std::function<std::string(int)> m_resolveDevice;
    int64_t m_nStartMs;
    bool m_bPortError = false;
    bool m_bConnecting = false;
    bool m_bQuit = false;
    QByteArray m_out; // lines owed to the reader, events first
    std::vector<CWait> m_waits;
};
