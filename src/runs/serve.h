#pragma once

#include "command_line.h"
#include "panel_driver.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// kova_en --serve: the panel driven by another program through JSON Lines, one command per line
// on standard input, one reply or event per line on standard output. The session below holds
// the whole protocol and knows nothing of standard input or output, so the tests and the fuzzer
// hand it lines directly; RunServe puts it on the two descriptors.

// Goes up whenever a command or a field changes its meaning, so a script can tell.
inline constexpr int kServeProtocol = 1;
// The longest command line taken; a longer one is answered with an error and skipped.
inline constexpr qsizetype kServeMaxLine = 64 * 1024;
// The longest telegram "send" takes: the panel's receive buffer.
inline constexpr int kServeMaxTelegram = kReplyBufferSize;
// How far standard output may fall behind before its reader is taken as gone for good: many
// times what a script that reads its replies at all ever leaves unread (about 35,000 "state"
// replies), and little memory for a program that runs for days.
inline constexpr qsizetype kServeMaxQueued = 8 * 1024 * 1024;
// The longest wait: a day is far beyond any script's patience.
inline constexpr int64_t kServeMaxWaitMs = int64_t{24} * 3600 * 1000;

// One line of output, its keys in the order they were added, so replies read "id", "ok" first.
class CJsonLine {
public:
    CJsonLine& Add(const char* pszKey, const QJsonValue& value);
    // The line with its newline.
    QByteArray Text() const { return m_text + "}\n"; }

private:
    QByteArray m_text = "{";
};

// Splits a byte stream into lines of at most kServeMaxLine bytes. A longer line is reported once,
// as soon as it passes the cap, and its rest is dropped up to its newline, so memory stays
// bounded whatever arrives.
class CLineSplitter {
public:
    // Called for each whole line (without its newline or a CR before it), or with bTooLong for a
    // line that passed the cap.
    using Sink = std::function<void(const QByteArray& line, bool bTooLong)>;
    void Feed(const char* pData, qsizetype nLen, const Sink& sink);
    // The end of the input: a last line without a newline is still a line.
    void Finish(const Sink& sink);

private:
    QByteArray m_line;
    bool m_bSkipping = false;
};

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
    struct CRequest; // the command being served

    void OnPanelEvent(const CPanelEvent& event) override;
    void OnLinkLost(int64_t tMs) override;
    QByteArray Serve(const QByteArray& line);
    QByteArray Take();
    // Answers with "timeout" the waits whose end is at nNowMs or before.
    void ExpireWaitsAt(int64_t nNowMs);
    // A reply's line, with the command's id first when it carried one.
    static CJsonLine ReplyLine(const QJsonValue& id);
    void ExchangeReply(const CRequest& request, const CExchange& exchange, const QByteArray& extraKey = {});
    void Refuse(const QJsonValue& id, const QString& why);
    CConnectResult Connect();
    void AddConnect(CJsonLine& line, const CConnectResult& result) const;
    int64_t SinceStartMs(int64_t tMs) const { return tMs - m_nStartMs; }

    void OnLed(const CRequest& request);
    void OnLedsOff(const CRequest& request);
    void OnText(const CRequest& request);
    void OnCell(const CRequest& request);
    void OnSend(const CRequest& request);
    void OnState(const CRequest& request);
    void OnWait(const CRequest& request);
    void OnStats(const CRequest& request);
    void OnConnect(const CRequest& request);
    void OnClose(const CRequest& request);
    void OnQuit(const CRequest& request);

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

// kova_en --serve: 0 at the end of the input, a stop signal or "quit"; 2 when the port would not
// open at the start or standard output went away.
int RunServe(const CCommandLine& commandLine, std::FILE* pErr);
