#pragma once

// The whole of qr740-flash as a function: the program's main() calls it, and
// the tests call it in their own process with their own streams and shorter
// pauses, through the same path as the program.

#include "sessionevents.h"
#include "sessionjournal.h"

#include <cstdio>
#include <string>
#include <vector>

class TQuitOnSignal;

struct TFlashIo {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    int in = 0;                      // standard input, for --units -
    bool terminal = false;           // standard output is a terminal
    const TQuitOnSignal* quit = nullptr; // ends the run with 128 + its signal
    const TSessionTiming* timing = nullptr; // the conversation's durations; null: the program's own
    const TSessionJournalTiming* journalTiming = nullptr; // the journal's; null: the program's own
};

// Runs the command line (program name first) to its end and returns the exit
// status. Needs the application object; runs an event loop of its own.
int RunFlashCommand(const std::vector<std::string>& arguments, const TFlashIo& io);
