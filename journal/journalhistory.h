#pragma once

// The journal's records for people and for other programs, as pure functions of
// the records: `qr740-flash --history [--since DATE] [--format text|csv|json]`
// prints one of these.
//
//     const auto since = ParseHistorySince(argument);      // nullopt: refuse the argument
//     std::cout << FormatHistory(journal.Records(*since), THistoryFormat::Csv);

#include "journalrecord.h"

#include <optional>
#include <string>
#include <string_view>
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
