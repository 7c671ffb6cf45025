#pragma once

#include <QString>

#include <csignal>
#include <functional>

class QObject;

// SIGINT, SIGTERM and SIGHUP for the runs that must leave a report behind: the handler records
// the request (PendingStopSignal) and writes one byte into a pipe, which wakes the runs' wait and
// the window's event loop, so the report is written between two exchanges and never in the
// middle of one. On Windows the console's control events stand for them (Ctrl+C SIGINT,
// Ctrl+Break SIGTERM, the console closing SIGHUP), and an event object takes the pipe's place.

// SIGHUP's number, which Windows lacks and a closing console borrows there.
#ifdef SIGHUP
inline constexpr int kSigHup = SIGHUP;
#else
inline constexpr int kSigHup = 1;
#endif

// One request to stop often arrives as two signals: GNU timeout sends SIGTERM to the program
// and then to its process group, a terminal that closes sends SIGHUP to the session and the
// shell passes it on, `kill -TERM -PGID` reaches a program through more than one path. The same
// signal again within this time of the first is therefore the same request, not a second one.
inline constexpr int kStopRepeatWindowMs = 2000;

// Installs the handlers; false when they could not be installed. A signal that was ignored
// when the program started stays ignored, and SIGPIPE is ignored from now on (a closed pipe
// fails the write instead). A second request (another stop signal, or the same one after
// kStopRepeatWindowMs) ends the program at once, so that it still dies when its loop no longer
// runs.
bool CatchStopSignals();

// What a wait blocks on to wake at the request to stop, beside its other ends: it stays
// signalled from the first request on. Linux: a descriptor that polls readable; Windows: an event
// handle. -1 / nullptr before CatchStopSignals.
#ifdef _WIN32
void* StopEvent();
#else
int StopDescriptor();
#endif

// Calls onSignal with the signal's number from the event loop of parent's thread, once per
// request to stop (a repeat within kStopRepeatWindowMs is not told again).
void OnStopSignal(QObject* pParent, std::function<void(int)> onSignal);

// The signal caught last, or 0.
int PendingStopSignal();

// "SIGINT", "SIGTERM" or "SIGHUP", as the reports name how a run ended.
QString StopSignalName(int nSignal);

// Ends the program as the signal would have ended it without a handler.
[[noreturn]] void DieOfSignal(int nSignal);
