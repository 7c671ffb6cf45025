#pragma once

#include "serial_device.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// Telnet's command bytes and the options a COM port client deals in (RFC 854, 856, 2217).
namespace telnet {
inline constexpr uint8_t kSe = 240;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kComPort = 44;
} // namespace telnet

// The client's side of Telnet COM Port Control (RFC 2217) without the socket: what to send to
// open the line at the panel's settings, and what the server's bytes mean. Everything received
// goes through Receive, so it can be driven by a test or a fuzzer byte by byte. Every buffer is
// bounded: data beyond kMaxData waits in the socket (the caller reads at most Room() bytes),
// a subnegotiation beyond kMaxSubnegotiation is cut off, and notes beyond kMaxNotes are dropped.
class CRfc2217Session {
public:
    static constexpr size_t kMaxData = 64 * 1024;
    static constexpr size_t kMaxSubnegotiation = 64;
    static constexpr size_t kMaxNotes = 32;
    static constexpr size_t kMaxPendingOutput = 8 * 1024;

    // The settings whose acknowledgements open the line, in the order they are sent.
    enum Setting { Baud, DataSize, Parity, StopSize, kSettings };

    // bRaw: socket://, where every byte is data both ways and nothing is negotiated.
    explicit CRfc2217Session(bool bRaw = false) : m_bRaw(bRaw) {}

    // The bytes that ask for the COM port option, BINARY both ways, the line at baud 8E1, no
    // flow control, DTR and RTS on, line error notifications, and a purge of both buffers.
    std::vector<uint8_t> OpeningBytes(int baud);

    // Takes bytes from the server. Data bytes are queued (at most Room() of them may arrive
    // in one call); answers owed to the server are queued for TakeReplies.
    void Receive(const uint8_t* pBytes, size_t nLen);
    size_t Room() const { return kMaxData - m_data.size(); }

    // The data bytes received and not yet taken.
    size_t DataQueued() const { return m_data.size(); }
    bool TakeData(uint8_t* pByte);
    // Drops what was received so far (the purge at the end of the open).
    void DropData() { m_data.clear(); }

    // One byte of data as it goes on the wire: 0xFF doubled, except on a raw port.
    void Encode(uint8_t byte, std::vector<uint8_t>* pOut) const;

    // Answers the server is owed (refusals of options we do not do), to be sent as they are.
    std::vector<uint8_t> TakeReplies();

    // The open's state. Failed(): the server refused the COM port option or set a setting to
    // another value; Why() says which.
    bool ComPortAccepted() const { return m_comPort == Answer::Yes; }
    bool Failed() const { return !m_why.empty(); }
    const std::string& Why() const { return m_why; }
    bool Acknowledged(Setting setting) const { return m_acked[setting]; }
    bool AllSettingsAcknowledged() const;
    int ControlAcks() const { return m_nControlAcks; }
    // What is still unanswered, for the message of an open that timed out.
    std::string Unanswered() const;

    // FLOWCONTROL-SUSPEND from the server: hold back what we send until FLOWCONTROL-RESUME.
    bool Suspended() const { return m_bSuspended; }

    // Line errors NOTIFY-LINESTATE reported (overrun, parity, framing), and lines for the
    // trace (warnings, line errors), each taken once.
    uint64_t LineErrors() const { return m_nLineErrors; }
    std::vector<CDeviceNote> TakeNotes();
    void Note(const std::string& text, bool bLineError = false);

    static std::string SettingName(Setting setting);

private:
    enum class State { Data, Iac, Verb, Sb, SbIac };
    enum class Answer { Unknown, Yes, No };

    void Command(uint8_t verb, uint8_t option);
    void Subnegotiation();
    void Refuse(uint8_t verb, uint8_t option);
    void PutData(uint8_t byte);

    bool m_bRaw;
    State m_state = State::Data;
    uint8_t m_verb = 0;
    std::array<uint8_t, kMaxSubnegotiation> m_sb{};
    size_t m_nSb = 0;
    bool m_bSbCut = false;
    std::deque<uint8_t> m_data;
    std::vector<uint8_t> m_replies;
    // Refusals already sent, by verb (0: WONT, 1: DONT) and option: each is said once, so a
    // server that keeps asking cannot make us loop with it.
    std::array<std::array<bool, 256>, 2> m_refused{};
    Answer m_comPort = Answer::Unknown;
    std::array<uint32_t, kSettings> m_asked{};
    std::array<bool, kSettings> m_acked{};
    int m_nControlAcks = 0;
    bool m_bSuspended = false;
    uint64_t m_nLineErrors = 0;
    std::vector<CDeviceNote> m_notes;
    size_t m_nNotesDropped = 0;
    std::string m_why;
};
