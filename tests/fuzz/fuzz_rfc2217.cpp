// Fuzzes the receiving side of a network port: whatever a serial device server sends through
// CRfc2217Session, the RFC 2217 client's state machine (Telnet commands, subnegotiations, IAC
// doubling, COM port acknowledgements and notifications). The first byte chooses where the
// stream is cut into reads, so an IAC falls on every boundary; the same stream is also fed whole
// and byte by byte, and all three must end the same: a cut between two reads changes nothing.
// Every buffer must stay within its bound whatever comes.
#include "fuzz_invariant.h"
#include "rfc2217_session.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct COutcome {
    std::vector<uint8_t> data;
    std::vector<uint8_t> replies;
    std::vector<std::string> notes;
    bool bFailed = false;
    bool bAccepted = false;
    bool bAllAcked = false;
    bool bSuspended = false;
    uint64_t nLineErrors = 0;
    bool operator==(const COutcome&) const = default;
};

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
        for (const CDeviceNote& note : session.TakeNotes())
            out.notes.push_back(note.strText);
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
    FUZZ_CHECK(whole == bytewise);
    FUZZ_CHECK(whole == cut);

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
