#pragma once

// The journal's records for people and for other programs, as pure functions of
// the records: `qr740-flash --history [--since DATE] [--format text|csv|json]`
// prints one of these.
//
//     const auto since = ParseHistorySince(argument);      // nullopt: refuse the argument
//     std::cout << FormatHistory(journal.Records(*since), THistoryFormat::Csv);

#include "journalrecord.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class THistoryFormat { Text, Csv, Json };

// "text", "csv" or "json"; nullopt for anything else.
std::optional<THistoryFormat> ParseHistoryFormat(std::string_view name);

// A table for a terminal, one line per session and a header line: the start (UTC,
// to the second), host, port, identification, version before and installed,
// image file name, blocks sent and skipped, parameter lines (and those refused),
// outcome, failure kind, duration and the message, which is not padded. Control
// characters are shown escaped ("\n", "\x1b", "\u0085"), so that no text can
// move the cursor or break a line; columns are aligned by characters, not bytes.
std::string FormatHistoryText(const std::vector<TJournalRecord>& records);

// RFC 4180: a header row of the field names (those of the JSON objects and the
// tables' columns), every field of every record, CRLF line ends, a field quoted
// when it holds a comma, a quote, CR or LF, and quotes doubled. UTF-8 with a
// byte-order mark, without which a spreadsheet program on Windows reads the
// texts as its own code page.
std::string FormatHistoryCsv(const std::vector<TJournalRecord>& records);

// One JSON object per line (JSON Lines), every field named, integers as numbers.
std::string FormatHistoryJson(const std::vector<TJournalRecord>& records);

std::string FormatHistory(const std::vector<TJournalRecord>& records, THistoryFormat format);

// The --since argument as a moment in JournalTime's form, for
// TJournal::Records: a date ("2026-12-01", the start of that day) or a date and
// time ("2026-12-01T14:30", "2026-12-01 14:30:15", "...:15.250"), read as UTC
// unless it ends in an offset ("+01:00", "-0500"); a final "Z" is allowed.
// nullopt when the text is none of these or names no real moment.
std::optional<std::string> ParseHistorySince(std::string_view text);

// The start of the local day that holds `now`, in JournalTime's form: what
// `--summary` counts from unless told otherwise.
std::string StartOfLocalDay(std::chrono::system_clock::time_point now);

// Programmed and failed controllers. Failed counts the interrupted too: each
// is a controller that was not programmed.
struct TJournalCounts {
    int Programmed = 0;
    int Failed = 0;
    friend bool operator==(const TJournalCounts&, const TJournalCounts&) = default;
};

// A span of the journal counted: `qr740-flash --summary`, and the window's
// line under the gauge.
struct TJournalSummary {
    TJournalCounts All;
    // "COM3", or the device path of a port that had no COM number; COM ports
    // first, by number, then paths in order.
    std::vector<std::pair<std::string, TJournalCounts>> Ports;
    // The failed records by their kind ("interrupted" for those), most first.
    std::vector<std::pair<std::string, int>> FailureKinds;
    int UnderWay = 0; // not counted anywhere else: their end is not known yet
    // First-pass yield: of the units seen (a record without a unit is a unit
    // of its own), those whose first record in the span says programmed.
    int Units = 0;
    int FirstPassUnits = 0;
    friend bool operator==(const TJournalSummary&, const TJournalSummary&) = default;
};

// Counts `records`, in the order the journal keeps them (that of their start).
TJournalSummary SummarizeJournal(const std::vector<TJournalRecord>& records);

// The summary for a terminal, as CSV (RFC 4180, one measure a row: section,
// name, measure, value), or as one JSON object on one line. `since` is the
// start of the span, in JournalTime's form.
std::string FormatSummary(const TJournalSummary& summary, std::string_view since, THistoryFormat format);
