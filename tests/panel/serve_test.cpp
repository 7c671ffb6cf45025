// The machine interface, one line at a time against the virtual panel's engine in-process: what
// each command puts on the line, the reply it gets, every kind of refusal (with nothing sent),
// failed exchanges, reports as events and waits.
#include "engine_panel.h"
#include "serve.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

// A row telegram in hex: "l&", the given bytes, then blanks up to 24 bytes.
std::string Row(const std::string& hexBody)
{
    std::string hex = "6C 26 " + hexBody;
    int nBytes = static_cast<int>((hex.size() + 1) / 3);
    for (; nBytes < 24; ++nBytes)
        hex += " 20";
    return hex;
}
const std::string kEmptyRow = Row("23 00");

class ServeTest : public ::testing::Test {
protected:
    ServeTest()
    {
        m_hello = m_session.Start(QStringLiteral("9.9"));
        m_panel.ClearLog();
    }

    // The reply lines to one command line, as text.
    std::string Line(const std::string& line)
    {
        return m_session.HandleLine(QByteArray::fromStdString(line)).toStdString();
    }

    CFakeClock m_clock;
    CFakeSerialDevice m_device{m_clock};
    CEnginePanel m_panel{m_device, m_clock};
    CPanelDriver m_driver{&m_device, &m_clock};
    CServeSession m_session{m_driver, 1, 9600, [](int) { return std::string("/dev/fake"); }};
    QByteArray m_hello;
};

TEST_F(ServeTest, HelloTellsWhatTheConnectFound)
{
    EXPECT_EQ(m_hello.toStdString(),
              "{\"event\":\"hello\",\"protocol\":1,\"version\":\"9.9\",\"port\":\"COM1\","
              "\"device\":\"/dev/fake\",\"baud\":9600,\"found\":true,\"link\":true,\"variant\":1,"
              "\"selector1\":1,\"selector2\":1}\n");
    EXPECT_FALSE(m_session.PortError());
}

TEST_F(ServeTest, CommandsSendTheirTelegramsAndReply)
{
    const std::string kTextRows[] = {Row("A1 91 23 00"), Row("9F 23 00"), Row("80 80 23 00"),
                                     Row("A1 A1 A1 A1 A1 A1 A1 A1 A1 A1 A1 A1 A1 A1 A1 00")};
    struct Case {
        std::string line;
        Strings telegrams; // as the panel accepted them
        std::string reply;
    } const cases[] = {
        {R"({"cmd":"led","key":3,"state":"on","id":1})", {"33"}, R"({"id":1,"ok":true,"result":0,"tries":1})"},
        {R"({"cmd":"led","key":12,"state":"flash","id":"x"})", {"5C"}, R"({"id":"x","ok":true,"result":0,"tries":1})"},
        {R"({"cmd":"led","key":1,"state":"off"})", {"41"}, R"({"ok":true,"result":0,"tries":1})"},
        {R"({"cmd":"leds_off","id":2.5})", {"40"}, R"({"id":2.5,"ok":true,"result":0,"tries":1})"},
        {R"({"cmd":"text","rows":["A1","😀","é ","AAAAAAAAAAAAAAA"]})",
         {"6C 2B 25", kTextRows[0], kTextRows[1], kTextRows[2], kTextRows[3], kEmptyRow, kEmptyRow, kEmptyRow,
          kEmptyRow},
         R"({"ok":true,"result":0,"tries":1})"},
        {R"({"cmd":"cell","row":7,"column":14,"attr":"@B","code":200})",
         {"6C 27 37 3E 40 42 C8"},
         R"({"ok":true,"result":0,"tries":1})"},
        {R"({"cmd":"cell","row":0,"column":0,"attr":"AC","code":128})",
         {"6C 27 30 30 41 43 80"},
         R"({"ok":true,"result":0,"tries":1})"},
        {R"({"cmd":"send","hex":"6c2b","reply":true})", {"6C 2B"}, R"({"ok":true,"result":0,"tries":1,"reply":"30"})"},
        {R"({"cmd":"send","hex":"31 32"})", {"31 32"}, R"({"ok":true,"result":0,"tries":1})"},
        {R"({"cmd":"stats"})",
         {},
         R"({"ok":true,"link_losses":0,"not_sent_link_closed":0,"received":{"0":14,"255":0,"33":0,"34":0},)"
         R"("sent":{"0":20,"255":0,"33":0,"34":0},"connects":1})"},
        {R"({"cmd":"close","id":3})", {}, R"({"id":3,"ok":true})"},
        {R"({"cmd":"led","key":2,"state":"on"})",
         {},
         R"({"ok":false,"result":255,"tries":1,"error":"link closed, or the panel did not answer in time"})"},
        {R"({"cmd":"connect"})",
         {"23", "40", "6C 2B"},
         "{\"event\":\"link_up\",\"t_ms\":0}\n"
         R"({"ok":true,"found":true,"link":true,"variant":1,"selector1":1,"selector2":1})"},
        {R"({"cmd":"quit","id":4})", {}, R"({"id":4,"ok":true})"},
        {R"({"cmd":"state"})", {}, ""}, // after quit nothing more is served
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        m_panel.ClearLog();
        EXPECT_EQ(Line(c.line), c.reply.empty() ? "" : c.reply + "\n");
        EXPECT_EQ(m_panel.Telegrams(), c.telegrams);
    }
}

TEST_F(ServeTest, StateMirrorsWhatWasSent)
{
    Line(R"({"cmd":"led","key":2,"state":"flash"})");
    Line(R"({"cmd":"text","rows":["one","two"]})");
    EXPECT_EQ(Line(R"({"cmd":"state","id":9})"),
              R"({"id":9,"ok":true,"link":true,"variant":1,"port":"COM1","device":"/dev/fake","baud":9600,)"
              R"("leds":["off","flash","off","off","off","off","off","off","off","off","off","off"],"key":0,)"
              R"("selector1":1,"selector2":1,"rows":["one","two","","","","","",""]})"
              "\n");
}

TEST_F(ServeTest, BadLinesAreRefusedAndNothingIsSent)
{
    const std::string kHexRefused =
        R"j({"id":1,"ok":false,"error":"\"hex\" takes 1 to 256 bytes as pairs of hex digits (\"6C 2B\")"})j";
    struct Case {
        std::string line;
        std::string reply;
    } const cases[] = {
        {"", R"({"ok":false,"error":"not JSON: illegal value at byte 0"})"},
        {"led 3 on", R"({"ok":false,"error":"not JSON: illegal value at byte 1"})"},
        {R"({"cmd":"led")", R"({"ok":false,"error":"not JSON: unterminated string at byte 12"})"},
        {std::string("\x00\x01\x02", 3), R"({"ok":false,"error":"not JSON: illegal value at byte 1"})"},
        {"{\"cmd\":\"\xff\"}", R"({"ok":false,"error":"not valid UTF-8; a command is one JSON object per line"})"},
        {"[1,2]", R"({"ok":false,"error":"not a JSON object; a command is one object per line"})"},
        {R"({"id":true,"cmd":"state"})", R"({"ok":false,"error":"\"id\" takes a number or a string"})"},
        {R"({"id":1})", R"({"id":1,"ok":false,"error":"missing field \"cmd\""})"},
        {R"({"id":1,"cmd":5})", R"({"id":1,"ok":false,"error":"\"cmd\" takes a string"})"},
        {R"({"id":1,"cmd":"blink"})",
         R"({"id":1,"ok":false,"error":"unknown command \"blink\"; known: led, leds_off, text, cell, send, state, wait, stats, connect, close, quit"})"},
        {R"({"id":1,"cmd":"state","verbose":1})",
         R"({"id":1,"ok":false,"error":"unknown field \"verbose\" for \"state\""})"},
        {R"({"id":1,"cmd":"led","state":"on"})", R"({"id":1,"ok":false,"error":"missing field \"key\""})"},
        {R"({"id":1,"cmd":"led","key":13,"state":"on"})",
         R"({"id":1,"ok":false,"error":"\"key\" takes a whole number from 1 to 12"})"},
        {R"({"id":1,"cmd":"led","key":2.5,"state":"on"})",
         R"({"id":1,"ok":false,"error":"\"key\" takes a whole number from 1 to 12"})"},
        {R"({"id":1,"cmd":"led","key":"3","state":"on"})",
         R"({"id":1,"ok":false,"error":"\"key\" takes a whole number from 1 to 12"})"},
        {R"({"id":1,"cmd":"led","key":3,"state":"blink"})",
         R"({"id":1,"ok":false,"error":"\"state\" takes \"off\", \"on\", \"flash\""})"},
        {R"({"id":1,"cmd":"text","rows":"hello"})",
         R"({"id":1,"ok":false,"error":"\"rows\" takes up to 8 strings of up to 15 characters"})"},
        {R"({"id":1,"cmd":"text","rows":["1","2","3","4","5","6","7","8","9"]})",
         R"({"id":1,"ok":false,"error":"\"rows\" takes up to 8 strings of up to 15 characters"})"},
        {R"({"id":1,"cmd":"text","rows":[7]})",
         R"({"id":1,"ok":false,"error":"\"rows\" takes up to 8 strings of up to 15 characters"})"},
        {R"({"id":1,"cmd":"text","rows":["","0123456789abcdef"]})",
         R"({"id":1,"ok":false,"error":"row 2 has 16 characters; the LCD shows 15"})"},
        {R"({"id":1,"cmd":"cell","row":8,"column":0,"attr":"AC","code":128})",
         R"({"id":1,"ok":false,"error":"\"row\" takes a whole number from 0 to 7"})"},
        {R"({"id":1,"cmd":"cell","row":0,"column":15,"attr":"AC","code":128})",
         R"({"id":1,"ok":false,"error":"\"column\" takes a whole number from 0 to 14"})"},
        {R"({"id":1,"cmd":"cell","row":0,"column":0,"attr":"ac","code":128})",
         R"({"id":1,"ok":false,"error":"\"attr\" takes \"AC\", \"@C\", \"AB\", \"@B\""})"},
        {R"({"id":1,"cmd":"cell","row":0,"column":0,"attr":"AC","code":127})",
         R"({"id":1,"ok":false,"error":"\"code\" takes a whole number from 128 to 255"})"},
        {R"({"id":1,"cmd":"send","hex":"6C 2"})", kHexRefused},
        {R"({"id":1,"cmd":"send","hex":""})", kHexRefused},
        {R"({"id":1,"cmd":"send","hex":"6C 2B","reply":"yes"})",
         R"({"id":1,"ok":false,"error":"\"reply\" takes true or false"})"},
        {R"({"id":1,"cmd":"send","hex":")" + std::string(257 * 2, 'A') + "\"}", kHexRefused},
        {R"({"id":1,"cmd":"wait","for":"press","timeout_ms":5})",
         R"({"id":1,"ok":false,"error":"\"for\" takes \"key\", \"release\", \"selector1\", \"selector2\""})"},
        {R"({"id":1,"cmd":"wait","for":"release","value":1,"timeout_ms":5})",
         R"({"id":1,"ok":false,"error":"a wait for \"release\" takes no \"value\""})"},
        {R"({"id":1,"cmd":"wait","for":"key"})", R"({"id":1,"ok":false,"error":"missing field \"timeout_ms\""})"},
        {R"({"id":1,"cmd":"wait","for":"key","timeout_ms":-1})",
         R"({"id":1,"ok":false,"error":"\"timeout_ms\" takes a whole number from 0 to 86400000"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(Line(c.line), c.reply + "\n");
    }
    EXPECT_TRUE(m_panel.Telegrams().empty());
    EXPECT_EQ(m_session.PendingWaits(), 0U);
    EXPECT_EQ(m_session.TooLongLine().toStdString(),
              "{\"ok\":false,\"error\":\"line longer than 65536 bytes; skipped up to its newline\"}\n");
}

TEST_F(ServeTest, FailedExchangesSayTheirResult)
{
    m_panel.AcceptVariants(true, false); // the panel now refuses what the connect settled on
    EXPECT_EQ(Line(R"({"cmd":"led","key":1,"state":"on"})"),
              R"({"ok":false,"result":34,"tries":3,"error":"refused by the panel, or not a block"})"
              "\n");
    m_panel.AcceptVariants(true, true);
    m_panel.SetSilent(true);
    EXPECT_EQ(Line(R"({"id":5,"cmd":"send","hex":"23","reply":true})").substr(0, 22), "{\"event\":\"link_lost\",\"");
    EXPECT_NE(Line(R"({"cmd":"state"})").find("\"link\":false"), std::string::npos);
    // A panel that never answers was not lost: the connect's reply alone says so.
    EXPECT_EQ(Line(R"({"cmd":"connect"})"), R"({"ok":false,"found":false,"link":false,"variant":0,)"
                                            R"("selector1":0,"selector2":0,"error":"KOVA not found"})"
                                            "\n");
}

TEST_F(ServeTest, ReportsBecomeEventsAndAnswerWaits)
{
    EXPECT_EQ(Line(R"({"id":"k","cmd":"wait","for":"key","value":4,"timeout_ms":1000})"), "");
    EXPECT_EQ(Line(R"({"id":"s","cmd":"wait","for":"selector2","timeout_ms":1000})"), "");
    EXPECT_EQ(Line(R"({"id":"r","cmd":"wait","for":"release","timeout_ms":50})"), "");
    // Other commands are served while the waits are pending.
    EXPECT_EQ(Line(R"({"id":1,"cmd":"led","key":4,"state":"on"})"),
              "{\"id\":1,\"ok\":true,\"result\":0,\"tries\":1}\n");
    m_clock.Advance(10);
    m_panel.SendReport({'3'}); // key 3: not the one waited for
    m_panel.SendReport({'4'});
    m_panel.SendReport({'R'});                                // selector 2 at 2
    EXPECT_EQ(m_session.NextDeadline(), m_clock.Peek() + 40); // the release wait ends first
    EXPECT_EQ(m_session.Poll().toStdString(),
              "{\"event\":\"key\",\"key\":3,\"t_ms\":10}\n"
              "{\"event\":\"key\",\"key\":4,\"t_ms\":10}\n"
              "{\"id\":\"k\",\"ok\":true,\"for\":\"key\",\"key\":4,\"t_ms\":10}\n"
              "{\"event\":\"selector\",\"which\":2,\"position\":2,\"t_ms\":10}\n"
              "{\"id\":\"s\",\"ok\":true,\"for\":\"selector2\",\"position\":2,\"t_ms\":10}\n");
    ASSERT_EQ(m_session.PendingWaits(), 1U);
    m_clock.Advance(100);
    EXPECT_EQ(m_session.ExpireWaits().toStdString(), "{\"id\":\"r\",\"ok\":false,\"error\":\"timeout\"}\n");
    EXPECT_FALSE(m_session.NextDeadline());
}

// A wait keeps its word: its time-out wins over a report that came after it, and a lost link
// answers it at once instead of leaving it to its time-out.
TEST_F(ServeTest, WaitsEndByTheirDeadlineOrTheLostLink)
{
    EXPECT_EQ(Line(R"({"id":"late","cmd":"wait","for":"key","timeout_ms":50})"), "");
    m_clock.Advance(100); // the deadline passes while nothing polls
    m_panel.SendReport({'3'});
    EXPECT_EQ(m_session.Poll().toStdString(), "{\"id\":\"late\",\"ok\":false,\"error\":\"timeout\"}\n"
                                              "{\"event\":\"key\",\"key\":3,\"t_ms\":100}\n");

    EXPECT_EQ(Line(R"({"id":"w","cmd":"wait","for":"release","timeout_ms":86400000})"), "");
    m_panel.SetSilent(true);
    const std::string lost = Line(R"({"id":1,"cmd":"led","key":1,"state":"on"})");
    EXPECT_NE(lost.find("{\"id\":\"w\",\"ok\":false,\"error\":\"link lost"), std::string::npos) << lost;
    EXPECT_EQ(m_session.PendingWaits(), 0U);
}

// Waits are bounded: the one past kServeMaxWaits is refused and says why, the others still stand
// and are answered, and a freed place takes a wait again.
TEST_F(ServeTest, PendingWaitsAreBounded)
{
    for (size_t i = 0; i < kServeMaxWaits; ++i)
        ASSERT_EQ(Line(R"({"id":1,"cmd":"wait","for":"key","value":3,"timeout_ms":1000})"), "");
    EXPECT_EQ(Line(R"({"id":"over","cmd":"wait","for":"release","timeout_ms":1000})"),
              R"({"id":"over","ok":false,"error":"too many pending waits: at most 256 at once; this one is refused, )"
              R"(the others still stand"})"
              "\n");
    EXPECT_EQ(m_session.PendingWaits(), kServeMaxWaits);
    m_panel.SendReport({'3'});
    const std::string answered = m_session.Poll().toStdString();
    EXPECT_EQ(std::count(answered.begin(), answered.end(), '\n'), 1 + static_cast<long>(kServeMaxWaits));
    EXPECT_EQ(Line(R"({"id":"again","cmd":"wait","for":"release","timeout_ms":1000})"), "");
}

// The panel's own report crossing a telegram costs the script nothing: the telegram goes again
// and the reply says how often; a report carried in a reply is an event like any other, once.
TEST_F(ServeTest, CrossedTelegramsAreSentAgainAndRepliesTellTheirReports)
{
    m_panel.SendReport({'5'});
    const std::string crossed = Line(R"({"id":1,"cmd":"led","key":1,"state":"on"})");
    EXPECT_EQ(crossed, "{\"id\":1,\"ok\":true,\"result\":0,\"tries\":2}\n");
    EXPECT_GE(m_panel.Collisions(), 1);
    // The report that crossed it is not lost: the panel sends it again, and it is told.
    EXPECT_TRUE(m_session.Poll().contains("\"event\":\"key\",\"key\":5"));

    m_panel.SendReport({'0'});
    m_session.Poll();
    // The panel's replies now say key 7 is held: one key event, the state knows it.
    m_panel.SetReplyHook([](const CEnginePanel::Bytes&, std::optional<CEnginePanel::Bytes> reply) {
        return reply ? std::optional<CEnginePanel::Bytes>(CEnginePanel::Bytes{'7'}) : reply;
    });
    const std::string text = Line(R"({"cmd":"text","rows":["A"]})");
    EXPECT_EQ(text.substr(0, text.find('\n')), "{\"event\":\"key\",\"key\":7,\"t_ms\":0}");
    EXPECT_EQ(text.find("\"event\"", text.find('\n')), std::string::npos) << text;
    EXPECT_NE(Line(R"({"cmd":"state"})").find("\"key\":7,"), std::string::npos);
    m_panel.SendReport({'7'}); // the same report, coming alone as well: not told twice
    EXPECT_EQ(m_session.Poll().toStdString(), "");
}

TEST(LineSplitterTest, SplitsCapsAndSkipsOverlongLines)
{
    CLineSplitter splitter;
    std::vector<std::string> lines;
    const auto sink = [&lines](const QByteArray& line, bool bTooLong) {
        lines.push_back(bTooLong ? "<too long>" : line.toStdString());
    };
    const std::string big(kServeMaxLine + 1, 'x');
    const std::string input = "a\r\nb" + std::string("\n") + big.substr(0, 1000);
    splitter.Feed(input.data(), static_cast<qsizetype>(input.size()), sink);
    splitter.Feed(big.data(), static_cast<qsizetype>(big.size()), sink); // passes the cap mid-chunk
    const std::string tail = "still skipped\nc\n" + std::string(kServeMaxLine, 'y') + "\nlast";
    splitter.Feed(tail.data(), static_cast<qsizetype>(tail.size()), sink);
    splitter.Finish(sink);
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", "<too long>", "c", std::string(kServeMaxLine, 'y'), "last"}));
}

} // namespace
