#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class CPanelDriver;

// The three ends of the serve loop on this system: standard input read as it comes, standard
// output written as its reader takes it and never waited on, and the port watched for the
// panel's bytes. On Linux all three are descriptors the event loop watches; on Windows standard
// input and output have threads of their own and the port is polled at the link's pace.
class IServeIo {
public:
    struct CHandlers {
        // A piece of standard input; nothing (n == 0) at its end.
        std::function<void(const char* p, qsizetype n)> onInput;
        // Standard input can no longer be read, and why.
        std::function<void(const QString& strWhy)> onInputFailed;
        // The port may have something to read.
        std::function<void()> onPort;
        // Standard output's reader went away.
        std::function<void()> onOutputGone;
    };

    virtual ~IServeIo() = default;
    // Queues bytes for standard output and writes what its reader takes now.
    virtual void Write(const QByteArray& bytes) = 0;
    // Bytes queued and not yet taken by standard output's reader.
    virtual qsizetype Queued() const = 0;
    // Watches the port the driver has open now, or none; called after whatever may change it.
    virtual void FollowPort(CPanelDriver& driver) = 0;
    // Stops watching anything. What is queued is written only as far as the reader takes it
    // now: nothing waits for a reader that does not read.
    virtual void Stop() = 0;
};

std::unique_ptr<IServeIo> MakeServeIo(IServeIo::CHandlers handlers);
