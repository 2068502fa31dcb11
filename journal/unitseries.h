#pragma once

// Serial numbers a bench writes into its units, from a series of its own:
// "QR%06d" from 1 to 999999 gives QR000001, QR000002, ... Each number is taken
// from the journal (TJournal::BeginWithUnit) in the same transaction as the
// record of the unit it is given to, so that no number is given twice, across
// the ports of a gang and the programs sharing a journal, and none is lost to a
// crash without a record that names it.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct TUnitSeries {
    // Text with one conversion of the number: %d, with an optional 0 flag and a
    // width (%06d). "%%" is a percent sign. Nothing else is taken: the text
    // comes from a settings file, and printf's other conversions would read
    // arguments that are not there.
    std::string Format;
    std::int64_t First = 1;
    std::int64_t Last = 0;

    bool operator==(const TUnitSeries&) const = default;
};

// Why `series` cannot be used, or nothing when it can.
std::optional<std::string> UnitSeriesFault(const TUnitSeries& series);

// The number `number` as the series writes it. The series must be sound.
std::string UnitText(const TUnitSeries& series, std::int64_t number);

// Every number of the series has been given.
class TUnitSeriesUsedUp : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
