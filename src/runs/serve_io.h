#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class CWaitSet;

// Standard input and output of the serve loop on this system: input read as it comes, output
// written as its reader takes it and never waited on. Both are ends of the runs' one wait
// (wait_set.h), beside the port and the stop: on Linux descriptors, on Windows threads of their
// own that set an event when they have news.
class IServeIo {
public:
    struct CHandlers {
        // A piece of standard input; nothing (n == 0) at its end.
        std::function<void(const char* p, qsizetype n)> onInput;
        // Standard input can no longer be read, and why.
        std::function<void(const QString& strWhy)> onInputFailed;
        // Standard output's reader went away.
        std::function<void()> onOutputGone;
    };

    virtual ~IServeIo() = default;
    // Queues bytes for standard output and writes what its reader takes now.
    virtual void Write(const QByteArray& bytes) = 0;
    // Bytes queued and not yet taken by standard output's reader.
    virtual qsizetype Queued() const = 0;
    // Adds what the loop waits on for standard input and output now.
    virtual void AddEnds(CWaitSet& wait) = 0;
    // After the wait: takes standard input and writes standard output as far as their ends were
    // ready, and tells the handlers.
    virtual void Serve(const CWaitSet& wait) = 0;
    // The loop has ended: nothing more is read, and what is queued is written while the reader
    // keeps taking it (a reader that takes nothing for kServeLastWordsIdleMs, or the whole taking
    // longer than kServeLastWordsMs, is left with what it has). Never called inside the loop.
    virtual void Finish() = 0;
};

inline constexpr int kServeLastWordsIdleMs = 100;
inline constexpr int kServeLastWordsMs = 1000;

std::unique_ptr<IServeIo> MakeServeIo(IServeIo::CHandlers handlers);
