#include "rfc2217_session.h"

#include <string>

namespace {

using namespace telnet;

// COM-PORT-OPTION's command codes, as the client sends them; the server answers with 100 more.
constexpr uint8_t kSignature = 0;
constexpr uint8_t kSetBaud = 1;
constexpr uint8_t kSetDataSize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopSize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kNotifyLineState = 6;
constexpr uint8_t kFlowSuspend = 8;
constexpr uint8_t kFlowResume = 9;
constexpr uint8_t kSetLineStateMask = 10;
constexpr uint8_t kSetModemStateMask = 11;
constexpr uint8_t kPurgeData = 12;
constexpr uint8_t kServer = 100;

constexpr uint8_t kParityEven = 3;
constexpr uint8_t kStopOne = 1;
constexpr uint8_t kControlNoFlow = 1;
constexpr uint8_t kControlDtrOn = 8;
constexpr uint8_t kControlRtsOn = 11;
constexpr uint8_t kPurgeBoth = 3;
// NOTIFY-LINESTATE's bits for the errors a line can have.
constexpr uint8_t kLineOverrun = 2;
constexpr uint8_t kLineParity = 4;
constexpr uint8_t kLineFraming = 8;

void PutEscaped(std::vector<uint8_t>* pOut, uint8_t byte)
{
    pOut->push_back(byte);
    if (byte == kIac)
        pOut->push_back(kIac);
}

void PutCommand(std::vector<uint8_t>* pOut, uint8_t code, std::initializer_list<uint8_t> value)
{
    pOut->insert(pOut->end(), {kIac, kSb, kComPort, code});
    for (const uint8_t byte : value)
        PutEscaped(pOut, byte);
    pOut->insert(pOut->end(), {kIac, kSe});
}

std::string ValueText(CRfc2217Session::Setting setting, uint32_t value)
{
    switch (setting) {
    case CRfc2217Session::Parity: {
        static const char* const names[] = {"?", "none", "odd", "even", "mark", "space"};
        return value < 6 ? names[value] : std::to_string(value);
    }
    case CRfc2217Session::StopSize: return value == 3 ? "1.5" : std::to_string(value);
    default: return std::to_string(value);
    }
}

} // namespace

std::string CRfc2217Session::SettingName(Setting setting)
{
    switch (setting) {
    case Baud: return "baud rate";
    case DataSize: return "data bits";
    case Parity: return "parity";
    case StopSize: return "stop bits";
    case kSettings: break;
    }
    return "?";
}

std::vector<uint8_t> CRfc2217Session::OpeningBytes(int baud)
{
    std::vector<uint8_t> out;
    if (m_bRaw)
        return out;
    out.insert(out.end(), {kIac, kWill, kComPort, kIac, kDo, kBinary, kIac, kWill, kBinary});
    m_asked = {static_cast<uint32_t>(baud), 8, kParityEven, kStopOne};
    m_acked = {};
    const auto b = static_cast<uint32_t>(baud);
    PutCommand(&out, kSetBaud,
               {static_cast<uint8_t>(b >> 24), static_cast<uint8_t>(b >> 16), static_cast<uint8_t>(b >> 8),
                static_cast<uint8_t>(b)});
    PutCommand(&out, kSetDataSize, {8});
    PutCommand(&out, kSetParity, {kParityEven});
    PutCommand(&out, kSetStopSize, {kStopOne});
    PutCommand(&out, kSetControl, {kControlNoFlow});
    PutCommand(&out, kSetControl, {kControlDtrOn});
    PutCommand(&out, kSetControl, {kControlRtsOn});
    PutCommand(&out, kSetLineStateMask, {kLineOverrun | kLineParity | kLineFraming});
    PutCommand(&out, kSetModemStateMask, {0});
    PutCommand(&out, kPurgeData, {kPurgeBoth});
    return out;
}

void CRfc2217Session::Encode(uint8_t byte, std::vector<uint8_t>* pOut) const
{
    if (m_bRaw)
        pOut->push_back(byte);
    else
        PutEscaped(pOut, byte);
}

void CRfc2217Session::PutData(uint8_t byte)
{
    // The caller hands over no more than Room(); a byte past it would be a caller's slip, and
    // dropping it keeps the bound.
    if (m_data.size() < kMaxData)
        m_data.push_back(byte);
}

void CRfc2217Session::Receive(const uint8_t* pBytes, size_t nLen)
{
    for (size_t i = 0; i < nLen; ++i) {
        const uint8_t byte = pBytes[i];
        if (m_bRaw) {
            PutData(byte);
            continue;
        }
        switch (m_state) {
        case State::Data:
            if (byte == kIac)
                m_state = State::Iac;
            else
                PutData(byte);
            break;
        case State::Iac:
            if (byte == kIac) {
                PutData(kIac);
                m_state = State::Data;
            } else if (byte >= kWill) {
                m_verb = byte;
                m_state = State::Verb;
            } else if (byte == kSb) {
                m_nSb = 0;
                m_bSbCut = false;
                m_state = State::Sb;
            } else {
                // NOP, data mark, break, go ahead, a stray SE and the rest: nothing to do.
                m_state = State::Data;
            }
            break;
        case State::Verb:
            Command(m_verb, byte);
            m_state = State::Data;
            break;
        case State::Sb:
            if (byte == kIac) {
                m_state = State::SbIac;
            } else if (m_nSb < m_sb.size()) {
                m_sb[m_nSb++] = byte;
            } else {
                m_bSbCut = true;
            }
            break;
        case State::SbIac:
            if (byte == kIac) {
                if (m_nSb < m_sb.size())
                    m_sb[m_nSb++] = kIac;
                else
                    m_bSbCut = true;
                m_state = State::Sb;
            } else if (byte == kSe) {
                Subnegotiation();
                m_state = State::Data;
            } else {
                // IAC and a command inside a subnegotiation: the server never ended it. It is
                // dropped, and the command is taken as the command it is.
                Note("malformed subnegotiation from the server dropped");
                m_state = State::Iac;
                --i;
            }
            break;
        }
    }
}

void CRfc2217Session::Refuse(uint8_t verb, uint8_t option)
{
    bool& said = m_refused[verb == kWont ? 0 : 1][option];
    if (said || m_replies.size() + 3 > kMaxPendingOutput)
        return;
    said = true;
    m_replies.insert(m_replies.end(), {kIac, verb, option});
}

void CRfc2217Session::Command(uint8_t verb, uint8_t option)
{
    switch (verb) {
    case kWill:
        // The server will send binary (we asked for it) or suppress go-ahead: both are welcome
        // and need no answer beyond the DO we sent or owe once.
        if (option == kBinary || option == kSuppressGoAhead) {
            if (option == kSuppressGoAhead && !m_refused[1][option] && m_replies.size() + 3 <= kMaxPendingOutput) {
                m_refused[1][option] = true; // said once, like a refusal
                m_replies.insert(m_replies.end(), {kIac, kDo, option});
            }
        } else {
            Refuse(kDont, option);
        }
        break;
    case kWont:
        if (option == kBinary)
            Note("the server will not send in binary mode");
        break;
    case kDo:
        if (option == kComPort) {
            m_comPort = Answer::Yes;
        } else if (option == kBinary) {
            // Our WILL BINARY acknowledged.
        } else if (option == kSuppressGoAhead) {
            if (!m_refused[0][option] && m_replies.size() + 3 <= kMaxPendingOutput) {
                m_refused[0][option] = true;
                m_replies.insert(m_replies.end(), {kIac, kWill, option});
            }
        } else {
            Refuse(kWont, option);
        }
        break;
    case kDont:
        if (option == kComPort && m_comPort != Answer::Yes) {
            m_comPort = Answer::No;
            if (m_why.empty())
                m_why = "the server refused RFC 2217's COM port option (DONT COM-PORT-OPTION)";
        } else if (option == kBinary) {
            Note("the server will not receive in binary mode");
        }
        break;
    default: break;
    }
}

void CRfc2217Session::Subnegotiation()
{
    if (m_nSb < 2 || m_sb[0] != kComPort) {
        // Another option's subnegotiation: we never agreed to one, so there is nothing to say.
        return;
    }
    if (m_bSbCut) {
        Note("an over-long COM port command from the server dropped");
        return;
    }
    const uint8_t code = m_sb[1];
    const uint8_t* value = m_sb.data() + 2;
    const size_t nValue = m_nSb - 2;
    const auto check = [&](Setting setting, size_t nWidth) {
        if (nValue < nWidth) {
            Note("a short acknowledgement of the " + SettingName(setting) + " dropped");
            return;
        }
        uint32_t got = 0;
        for (size_t k = 0; k < nWidth; ++k)
            got = (got << 8) | value[k];
        if (got != m_asked[setting] && m_why.empty())
            m_why = "the server set the " + SettingName(setting) + " to " + ValueText(setting, got) + ", not "
                    + ValueText(setting, m_asked[setting]);
        m_acked[setting] = true;
    };
    switch (code) {
    case kServer + kSignature:
        // A server that asks for our signature (an empty value) gets it; its own is ignored.
        if (nValue == 0 && m_replies.size() + 16 <= kMaxPendingOutput) {
            static const char name[] = "kova_en";
            m_replies.insert(m_replies.end(), {kIac, kSb, kComPort, kSignature});
            m_replies.insert(m_replies.end(), name, name + sizeof name - 1);
            m_replies.insert(m_replies.end(), {kIac, kSe});
        }
        break;
    case kServer + kSetBaud: check(Baud, 4); break;
    case kServer + kSetDataSize: check(DataSize, 1); break;
    case kServer + kSetParity: check(Parity, 1); break;
    case kServer + kSetStopSize: check(StopSize, 1); break;
    case kServer + kSetControl: ++m_nControlAcks; break;
    case kServer + kNotifyLineState:
        if (nValue >= 1) {
            static const std::pair<uint8_t, const char*> errors[] = {
                {kLineOverrun, "overrun"}, {kLineParity, "parity"}, {kLineFraming, "framing"}};
            for (const auto& [bit, name] : errors)
                if ((value[0] & bit) != 0) {
                    ++m_nLineErrors;
                    Note(std::string("line error reported by the server: ") + name, true);
                }
        }
        break;
    case kFlowSuspend: // some servers send the client's codes
    case kServer + kFlowSuspend: m_bSuspended = true; break;
    case kFlowResume:
    case kServer + kFlowResume: m_bSuspended = false; break;
    default: break; // modem state, masks and purge acknowledged, and the unknown
    }
}

bool CRfc2217Session::TakeData(uint8_t* pByte)
{
    if (m_data.empty())
        return false;
    *pByte = m_data.front();
    m_data.pop_front();
    return true;
}

std::vector<uint8_t> CRfc2217Session::TakeReplies()
{
    std::vector<uint8_t> replies;
    replies.swap(m_replies);
    return replies;
}

bool CRfc2217Session::AllSettingsAcknowledged() const
{
    for (const bool acked : m_acked)
        if (!acked)
            return false;
    return true;
}

std::string CRfc2217Session::Unanswered() const
{
    if (m_comPort != Answer::Yes)
        return "RFC 2217's COM port option";
    std::string text;
    for (int s = 0; s < kSettings; ++s)
        if (!m_acked[s])
            text += (text.empty() ? "" : ", ") + SettingName(static_cast<Setting>(s));
    return text.empty() ? text : "the " + text;
}

void CRfc2217Session::Note(const std::string& text, bool bLineError)
{
    if (m_notes.size() < kMaxNotes)
        m_notes.push_back({bLineError, text});
    else
        ++m_nNotesDropped;
}

std::vector<CDeviceNote> CRfc2217Session::TakeNotes()
{
    std::vector<CDeviceNote> notes;
    notes.swap(m_notes);
    if (m_nNotesDropped > 0) {
        notes.push_back({false, std::to_string(m_nNotesDropped) + " more notes from the server dropped"});
        m_nNotesDropped = 0;
    }
    return notes;
}
