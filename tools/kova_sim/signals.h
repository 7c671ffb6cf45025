#pragma once

// Signals reach the loop through a pipe, so poll() wakes for them like for any other input.

#include <csignal>

namespace kova_sim {

extern int g_sigPipe[2];
extern volatile std::sig_atomic_t g_signal;

// Creates the pipe and routes SIGINT, SIGTERM and SIGHUP into it; SIGPIPE is ignored.
bool installSignalHandlers();

} // namespace kova_sim
