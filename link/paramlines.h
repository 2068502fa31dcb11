#pragma once

// A parameter file as the download reads and sends it: lines of a three-character
// code and a value, each turned into one AT text command. Pure functions of their
// input, with no port and no file.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The four-letter name of a line's code ("000" gives "ACCW"); "PIL" followed by
// the whole line for a line that begins with an upper-case 'T' and has no known
// code; "ZZZZ" for everything else, blank and short lines included. Codes compare
// exactly, case and length included.
std::string ParameterCommandName(std::string_view line);

// The text command for one line, without its CR LF: "AT" + the name, then the
// line from its fourth character on when the name has four letters ("000=25"
// gives "ATACCW=25", "T12" gives "ATPILT12").
std::string ParameterCommand(std::string_view line);

// Stands in a line's value for the unit's serial number (or scanned label), so
// that one file serves every unit: "SER={serial}" is sent as "ATxxxx=QR000123".
// Braces are no part of any value the controller takes.
inline constexpr std::string_view kUnitPlaceholder = "{serial}";

// Whether the line holds the placeholder after its code.
bool HasUnitPlaceholder(std::string_view line);

// The line with every placeholder after its code replaced by `unit`.
std::string WithUnit(std::string_view line, std::string_view unit);

// Whether any line of a parameter file of these bytes holds the placeholder.
bool AnyLineHasUnitPlaceholder(std::string_view content);

// Splits the file's bytes into lines as the download reads them: a line ends at
// LF, every CR is dropped wherever it stands, and a last line without LF counts
// only when it has three or more characters.
class TParameterLineSplitter {
public:
    // One byte of the file; the finished line when the byte is LF.
    std::optional<std::string> Feed(std::uint8_t b);
    // The end of the file: the unfinished last line, when it is long enough to send.
    std::optional<std::string> Finish();

private:
    std::string line_;
};

// Whether one of the controller's answer lines refuses the command it answers:
// "ERROR" in any letter case, with blanks and control characters around it
// trimmed, as AT commands are refused.
bool IsRefusal(std::string_view answer);

// Reads the controller's answers as they arrive, in pieces that may split a line
// anywhere: a line ends at LF, and every CR is dropped. Only what can still
// decide whether a line is a refusal is kept, so a line of any length costs a
// few bytes.
class TAnswerLineReader {
public:
    // One byte from the controller; at LF, whether the line it ends is a refusal.
    std::optional<bool> Feed(std::uint8_t b);
    // Forgets the line begun so far.
    void Reset();

private:
    std::string kept_;    // the line from its first non-blank byte, cut short
    bool longer_ = false; // something other than blanks came after the cut
};

// Every line the download sends for a file of these bytes, in order, as the
// splitter gives them (CR dropped, no LF): ParameterCommand turns each into its
// command. An empty file gives no line at all.
std::vector<std::string> ParameterLines(std::string_view content);
