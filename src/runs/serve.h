#pragma once

#include "command_line.h"
#include "serve_session.h"

#include <QtGlobal>

#include <cstdio>

// kova_en --serve: the panel driven by another program through JSON Lines, one command per line
// on standard input, one reply or event per line on standard output. The rooms: serve_command.h
// reads a line into a command (pure), serve_session.h carries it out on the driver, and the loop
// here puts the session on standard input, standard output's queue and the port.

// How far standard output may fall behind before its reader is taken as gone for good: many
// times what a script that reads its replies at all ever leaves unread (about 35,000 "state"
// replies), and little memory for a program that runs for days.
inline constexpr qsizetype kServeMaxQueued = 8 * 1024 * 1024;

// kova_en --serve: 0 at the end of the input, a stop signal or "quit"; 2 when the port would not
// open at the start or standard output went away.
int RunServe(const CCommandLine& commandLine, std::FILE* pErr);
