// Fuzzes the receiving side of a network port: whatever a serial device server sends through
// CRfc2217Session, the RFC 2217 client's state machine (Telnet commands, subnegotiations, IAC
// doubling, COM port acknowledgements and notifications). The first byte chooses where the
// stream is cut into reads, so an IAC falls on every boundary; the same stream is also fed whole
// and byte by byte, and all three must end the same: a cut between two reads changes nothing (but for how many
// notes a single take may keep).
// Every buffer must stay within its bound whatever comes.
#include "fuzz_invariant.h"
#include "rfc2217_session.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct COutcome {
    std::vector<uint8_t> data;
    std::vector<uint8_t> replies;
    // The notes kept, and whether some were dropped: the bound is per take, so how many are
    // kept depends on how often they are taken, and they are compared apart (NotesAgree).
    std::vector<std::string> notes;
    bool bNotesDropped = false;
    bool bFailed = false;
    bool bAccepted = false;
    bool bAllAcked = false;
    bool bSuspended = false;
    uint64_t nLineErrors = 0;
    bool SameButNotes(const COutcome& other) const
    {
        return data == other.data && replies == other.replies && bFailed == other.bFailed
               && bAccepted == other.bAccepted && bAllAcked == other.bAllAcked && bSuspended == other.bSuspended
               && nLineErrors == other.nLineErrors;
    }
};

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// However the notes were taken, they are said in the same order; only a run that dropped some
// may have fewer, and then what it kept is where the other's begin.
bool NotesAgree(const COutcome& a, const COutcome& b)
{
    const COutcome& shorter = a.notes.size() <= b.notes.size() ? a : b;
    const COutcome& longer = a.notes.size() <= b.notes.size() ? b : a;
    if (shorter.notes.size() < longer.notes.size() && !shorter.bNotesDropped)
        return false;
    return std::equal(shorter.notes.begin(), shorter.notes.end(), longer.notes.begin());
}

// Feeds the stream in pieces of the sizes the cutter gives (at least 1), taking the data as a
// reader would between reads, and never more than the session has room for.
template <typename Cutter>
COutcome Run(const uint8_t* pData, size_t nSize, Cutter cut)
{
    CRfc2217Session session;
    (void)session.OpeningBytes(9600);
    COutcome out;
    size_t at = 0;
    while (at < nSize) {
        size_t n = std::min(cut(at), nSize - at);
        n = std::min(n, session.Room());
        FUZZ_CHECK(n > 0);
        session.Receive(pData + at, n);
        at += n;
        FUZZ_CHECK(session.DataQueued() <= CRfc2217Session::kMaxData);
        const std::vector<uint8_t> replies = session.TakeReplies();
        FUZZ_CHECK(replies.size() <= CRfc2217Session::kMaxPendingOutput);
        out.replies.insert(out.replies.end(), replies.begin(), replies.end());
        for (const CDeviceNote& note : session.TakeNotes()) {
            if (!note.bLineError && EndsWith(note.strText, " more notes from the server dropped"))
                out.bNotesDropped = true;
            else
                out.notes.push_back(note.strText);
        }
        uint8_t byte = 0;
        while (session.TakeData(&byte))
            out.data.push_back(byte);
    }
    out.bFailed = session.Failed();
    out.bAccepted = session.ComPortAccepted();
    out.bAllAcked = session.AllSettingsAcknowledged();
    out.bSuspended = session.Suspended();
    out.nLineErrors = session.LineErrors();
    // Every data byte came from the stream: there can be no more of them than bytes received.
    FUZZ_CHECK(out.data.size() <= nSize);
    // Each refusal is said once per option and verb; acceptances of SGA once each way.
    FUZZ_CHECK(out.replies.size() <= 3 * (2 * 256 + 2) + 16 * nSize);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t seed = data[0];
    const uint8_t* stream = data + 1;
    const size_t n = size - 1;
    const COutcome whole = Run(stream, n, [](size_t) { return SIZE_MAX; });
    const COutcome bytewise = Run(stream, n, [](size_t) { return size_t{1}; });
    const COutcome cut = Run(stream, n, [seed](size_t at) { return size_t{1} + (at * 7 + seed) % (seed % 13 + 1); });
    FUZZ_CHECK(whole.SameButNotes(bytewise) && NotesAgree(whole, bytewise));
    FUZZ_CHECK(whole.SameButNotes(cut) && NotesAgree(whole, cut));

    // What we send: 0xFF doubled and nothing else touched, so the server's undoing gives it back.
    CRfc2217Session session;
    std::vector<uint8_t> wire;
    for (size_t i = 0; i < n; ++i)
        session.Encode(stream[i], &wire);
    CRfc2217Session echo;
    echo.Receive(wire.data(), std::min(wire.size(), echo.Room()));
    if (wire.size() <= echo.Room()) {
        std::vector<uint8_t> back;
        uint8_t byte = 0;
        while (echo.TakeData(&byte))
            back.push_back(byte);
        FUZZ_CHECK(back == std::vector<uint8_t>(stream, stream + n));
    }
    return 0;
}
