// The RFC 2217 client's protocol without a socket, against hand-worked byte sequences, and the
// port URLs. Runs wherever the link builds, Windows included.
#include "net_port_name.h"
#include "rfc2217_session.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Data(CRfc2217Session& session)
{
    Bytes out;
    uint8_t byte = 0;
    while (session.TakeData(&byte))
        out.push_back(byte);
    return out;
}

void Feed(CRfc2217Session& session, const Bytes& bytes)
{
    session.Receive(bytes.data(), bytes.size());
}

// DO COM-PORT-OPTION and the four acknowledgements of 9600 8E1, as ser2net sends them.
const Bytes kAccept = {255, 253, 44,                                    // IAC DO COM-PORT
                       255, 250, 44, 101, 0, 0,   0x25, 0x80, 255, 240, // baud 9600
                       255, 250, 44, 102, 8, 255, 240,                  // 8 data bits
                       255, 250, 44, 103, 3, 255, 240,                  // even parity
                       255, 250, 44, 104, 1, 255, 240};                 // one stop bit

TEST(Rfc2217Session, OpeningAsksForTheLineAndDoublesIacInValues)
{
    CRfc2217Session session;
    const Bytes opening = session.OpeningBytes(9600);
    const Bytes head = {255, 251, 44,  255, 253, 0,   255, 251, 0,   255, 250, 44,  1,   0,   0,   0x25, 0x80,
                        255, 240, 255, 250, 44,  2,   8,   255, 240, 255, 250, 44,  3,   3,   255, 240,  255,
                        250, 44,  4,   1,   255, 240, 255, 250, 44,  5,   1,   255, 240, 255, 250, 44,   5,
                        8,   255, 240, 255, 250, 44,  5,   11,  255, 240, 255, 250, 44,  10,  14,  255,  240,
                        255, 250, 44,  11,  0,   255, 240, 255, 250, 44,  12,  3,   255, 240};
    EXPECT_EQ(opening, head);
    Bytes wire;
    for (const uint8_t b : Bytes{0x02, 0xFF, 0x10})
        session.Encode(b, &wire);
    EXPECT_EQ(wire, (Bytes{0x02, 0xFF, 0xFF, 0x10}));
    CRfc2217Session raw(true);
    EXPECT_TRUE(raw.OpeningBytes(9600).empty());
    wire.clear();
    raw.Encode(0xFF, &wire);
    EXPECT_EQ(wire, Bytes{0xFF});
}

TEST(Rfc2217Session, AcknowledgementsOpenTheLineOrSayWhichSettingIsWrong)
{
    CRfc2217Session ok;
    ok.OpeningBytes(9600);
    EXPECT_EQ(ok.Unanswered(), "RFC 2217's COM port option");
    Feed(ok, Bytes(kAccept.begin(), kAccept.begin() + 3 + 10));
    EXPECT_TRUE(ok.ComPortAccepted());
    EXPECT_EQ(ok.Unanswered(), "the data bits, parity, stop bits");
    Feed(ok, Bytes(kAccept.begin() + 13, kAccept.end()));
    EXPECT_TRUE(ok.AllSettingsAcknowledged());
    EXPECT_FALSE(ok.Failed());

    CRfc2217Session odd;
    odd.OpeningBytes(9600);
    Feed(odd, {255, 253, 44, 255, 250, 44, 103, 2, 255, 240});
    EXPECT_EQ(odd.Why(), "the server set the parity to odd, not even");

    // A value with 0xFF in it arrives doubled and is read undoubled: 0x0000FFFF.
    CRfc2217Session baud;
    baud.OpeningBytes(19200);
    Feed(baud, {255, 250, 44, 101, 0, 0, 255, 255, 255, 255, 255, 240});
    EXPECT_EQ(baud.Why(), "the server set the baud rate to 65535, not 19200");

    CRfc2217Session refused;
    refused.OpeningBytes(9600);
    Feed(refused, {255, 254, 44});
    EXPECT_TRUE(refused.Failed());
    EXPECT_NE(refused.Why().find("refused"), std::string::npos);
}

TEST(Rfc2217Session, DataUndoublesIacAcrossReadsAndCommandsNeverReachIt)
{
    CRfc2217Session session;
    session.OpeningBytes(9600);
    // 0xFF data split between two reads, an option request and a NOP in between.
    Feed(session, {0x02, 0x4B, 255});
    Feed(session, {255, 255, 253, 1, 255, 241, 0x10, 0x03});
    EXPECT_EQ(Data(session), (Bytes{0x02, 0x4B, 0xFF, 0x10, 0x03}));
    // Options we do not do are refused once each, however often asked; SGA is welcome.
    Feed(session, {255, 253, 1, 255, 251, 24, 255, 251, 24, 255, 251, 3});
    EXPECT_EQ(session.TakeReplies(), (Bytes{255, 252, 1, 255, 254, 24, 255, 253, 3}));
    // A subnegotiation the server never ends is dropped at the next command, and the data
    // after it is data again.
    Feed(session, {255, 250, 44, 106, 255, 253, 200, 0x41});
    EXPECT_EQ(Data(session), Bytes{0x41});
    EXPECT_EQ(session.TakeReplies(), (Bytes{255, 252, 200}));
    // An over-long one is cut at its bound and dropped whole.
    Bytes longSb = {255, 250, 44, 106};
    longSb.insert(longSb.end(), 1000, 14);
    longSb.insert(longSb.end(), {255, 240, 0x42});
    Feed(session, longSb);
    EXPECT_EQ(Data(session), Bytes{0x42});
    EXPECT_EQ(session.LineErrors(), 0u);
}

TEST(NetPortName, UrlsAndWhatIsWrongWithThem)
{
    CNetPortName name;
    std::string why;
    ASSERT_TRUE(ParseNetPortName("rfc2217://127.0.0.1:4001", &name, &why));
    EXPECT_EQ(name.kind, CNetPortName::Kind::Rfc2217);
    EXPECT_EQ(name.strHost, "127.0.0.1");
    EXPECT_EQ(name.nPort, 4001);
    ASSERT_TRUE(ParseNetPortName("socket://[::1]:4002", &name, &why));
    EXPECT_EQ(name.kind, CNetPortName::Kind::Raw);
    EXPECT_EQ(name.strHost, "::1");
    ASSERT_TRUE(ParseNetPortName("RFC2217://exporter-3.lab:4001?ign_set_control&timeout=3", &name, &why));
    EXPECT_EQ(name.strHost, "exporter-3.lab");
    EXPECT_FALSE(IsNetPortName("/dev/ttyUSB0"));
    EXPECT_FALSE(IsNetPortName("\\\\.\\COM3"));

    const std::pair<const char*, const char*> bad[] = {
        {"rfc2217://127.0.0.1", "no port number after the host (HOST:PORT)"},
        {"rfc2217://127.0.0.1:", "no port number after the host (HOST:PORT)"},
        {"rfc2217://:4001", "no host"},
        {"rfc2217://h:0", "port '0' is not a number from 1 to 65535"},
        {"rfc2217://h:65536", "port '65536' is not a number from 1 to 65535"},
        {"rfc2217://h:40x1", "port '40x1' is not a number from 1 to 65535"},
        {"rfc2217://::1:4001", "an IPv6 address goes in brackets ([::1]:PORT)"},
        {"rfc2217://[::1:4001", "'[' without ']' around the IPv6 address"},
        {"rfc2217://[::1]4001", "no port number after the host (HOST:PORT)"},
        {"rfc2217://h:4001?baudrate=9600", "unknown option 'baudrate=9600'"},
        {"telnet://h:23", "unknown scheme 'telnet' (rfc2217:// or socket://)"},
        {"rfc2217://a b:1", "'a b' is no host name"},
    };
    for (const auto& [url, expected] : bad) {
        EXPECT_FALSE(ParseNetPortName(url, &name, &why)) << url;
        EXPECT_EQ(why, expected) << url;
    }
}

} // namespace
