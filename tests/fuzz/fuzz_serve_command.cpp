// Fuzzes the machine interface's command reader: the input is cut into lines as standard input
// would be, and each line is served against the virtual panel's engine in-process. Whatever the
// bytes, nothing may crash, every output line must be one JSON object, and every input line must
// get exactly one reply (a wait's at the latest when its time is up, or when the session ends).
#include "engine_panel.h"
#include "fuzz_check.h"
#include "serve.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstddef>
#include <cstdint>

namespace {

// Counts the replies among the lines and checks that each line is a JSON object.
int Replies(const QByteArray& out)
{
    int nReplies = 0;
    for (const QByteArray& line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        FUZZ_CHECK(error.error == QJsonParseError::NoError && document.isObject());
        const QJsonObject object = document.object();
        FUZZ_CHECK(object.contains(QLatin1String("ok")) != object.contains(QLatin1String("event")));
        nReplies += object.contains(QLatin1String("ok")) ? 1 : 0;
    }
    return nReplies;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CFakeClock clock;
    CFakeSerialDevice device(clock);
    CEnginePanel panel(device, clock);
    CPanelDriver driver(&device, &clock);
    CServeSession session(driver, 1, 9600, [](int) { return std::string("/dev/fake"); });
    FUZZ_CHECK(Replies(session.Start(QStringLiteral("0"))) == 0);

    int nLines = 0;
    int nReplies = 0;
    CLineSplitter splitter;
    const auto sink = [&](const QByteArray& line, bool bTooLong) {
        if (session.QuitAsked())
            return;
        ++nLines;
        nReplies += Replies(bTooLong ? session.TooLongLine() : session.HandleLine(line));
        // Now and then the panel has something to say between two commands.
        if (nLines % 3 == 0)
            panel.SendReport({static_cast<uint8_t>('0' + nLines % 13)});
        clock.Advance(nLines % 7);
        nReplies += Replies(session.Poll());
        nReplies += Replies(session.ExpireWaits());
    };
    splitter.Feed(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size), sink);
    splitter.Finish(sink);
    nReplies += Replies(session.EndWaits(QStringLiteral("end")));
    FUZZ_CHECK(session.PendingWaits() == 0);
    FUZZ_CHECK(nReplies == nLines);
    return 0;
}
