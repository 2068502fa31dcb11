#pragma once

// The record's fields in one list, in the order in which the local table, the
// server's table, the CSV columns and the JSON objects give them, so that the four
// can never disagree about a name or an order. Internal to the library.

#include "journalrecord.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

enum class TFieldKind {
    Text,
    Time, // text in JournalTime's form; a timestamp on the server
    Integer,
};

struct TJournalField {
    std::string_view Name; // snake_case: column, CSV header and JSON key
    TFieldKind Kind;
    std::string TJournalRecord::*TextMember;   // Text and Time
    std::int64_t TJournalRecord::*IntegerMember; // Integer
    // The layout of the local table that brought the field. A table of an
    // earlier layout gains it as a column whose rows hold 0 or "", on the server
    // too, so that their records keep every other field as it was.
    int Layout = 1;
};

inline constexpr std::size_t kJournalFieldCount = 34;
extern const std::array<TJournalField, kJournalFieldCount> kJournalFields;

// The field's value as text; integers in decimal.
std::string FieldText(const TJournalRecord& record, const TJournalField& field);

// `text` with every byte that is not part of valid UTF-8 (overlong forms and
// surrogates included), and every NUL, replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);
