#pragma once

// What a run of ports is asked to do: read from qr740-flash's command line
// (flashcommandline.h), or filled in by the window's gang view.

#include <QString>

#include <optional>
#include <string>
#include <vector>

enum class TFlashAction { Run, History, Summary, ListPorts, Help, Version, Error };

struct TFlashOptions {
    TFlashAction Action = TFlashAction::Run;
    QString Error; // for TFlashAction::Error: what was wrong, without the program's name

    QString Folder;             // --folder; empty: the window's rules
    std::vector<QString> Ports; // --port / --ports, in order; empty: [Communications] Port
    QString Image;              // --image; empty: [Binary] in the program's folder
    QString Params;             // --params; empty: [Load Parameters]
    bool NoParams = false;      // --no-params
    int Count = 1;              // controllers per port; 0: until interrupted (or, with --units, its labels end)
    std::optional<double> WaitSeconds; // for a handshake; none: no limit
    bool Json = false;
    bool Quiet = false;

    QString Journal;       // --journal; empty: [Journal] File=, or journal.sqlite in the folder
    QString JournalServer; // --journal-server; empty: [Journal] Server=
    bool NoJournal = false;
    // Scanned labels: --unit's one (the run's only controller), or --units's
    // source of one a line ("-": standard input). At most one of the two.
    // With --history or --summary, --unit is the unit looked for instead.
    QString Unit;
    QString Units;
    // --history: print the journal's records; --since and --format refine it.
    QString Since;
    QString Format = QStringLiteral("text");
    // --summary: count the journal's records; --since (default: today) and
    // --format refine it. With --history or --summary, --port (once),
    // --outcome, --unit and --identification keep only the matching records.
    QString Outcome;
    QString Identification;

    // --image-sha256: the image must be this file, lower-case hex; empty:
    // [Binary] SHA256=, or any file.
    QString ImageSha256;
};
