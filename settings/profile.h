#pragma once

// The settings file's text form: private-profile (INI) content held in memory, read
// and changed without touching any file, so that it needs no Qt and can be fuzzed
// on its own.
//
// Names and values are byte strings, never decoded here: the window decodes the
// values it shows, and a write keeps every byte it does not rewrite. A leading
// UTF-8 byte-order mark, as some editors write, is skipped and kept.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class EIniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Longest value a read returns; longer values are cut to this many characters.
inline constexpr std::size_t kIniValueMax = 2047;

// The value of `key` in `section` of the file content `content`: the text after the
// first "=" of the key's line, without surrounding blanks and without one pair of
// matching quotes (single or double) around it, cut to kIniValueMax characters.
// Section and key names match without regard to letter case or surrounding blanks.
// nullopt when the section or the key is absent.
std::optional<std::string> FindProfileValue(std::string_view content, std::string_view section,
                                            std::string_view key);

// The keys of `section`, in the order of the file, each once (as
// FindProfileValue finds it: the first line of that name, in any section of
// that name, wins). Names are as written, without their surrounding blanks.
std::vector<std::string> ProfileKeys(std::string_view content, std::string_view section);

// The integer a profile value starts with: optional blanks, an optional sign, then
// decimal digits, or hexadecimal digits after "$", "0x" or "0X"; whatever follows
// the digits is ignored. nullopt when there is no digit at all or the value lies
// outside 32 bits.
std::optional<std::int32_t> ParseProfileInteger(std::string_view text);

// `content` with `key` of `section` set to `value`, the names matched as
// FindProfileValue matches them. The key's line is rewritten in place; a missing
// key is added at the end of its section, a missing section at the end of the
// file, their names written without surrounding blanks. Every other byte stays as
// it was. New lines end the way the file's first line ends (CR LF or LF); an
// empty file gets LF.
// Throws EIniFileError for a name or value that cannot be stored in the form
// (CR or LF anywhere, "]" in a section name, "=" in a key, a key that is blank
// or starts with ";" or "[" after its blanks).
std::string SetProfileValue(std::string_view content, std::string_view section,
                            std::string_view key, std::string_view value);
