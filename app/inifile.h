#pragma once

// The settings file: a private-profile (INI) text file, read afresh on every call
// so that a hand edit between two reads is seen, and written back line by line so
// that everything the operator wrote survives a write of one key.
//
// Names and values are byte strings, never decoded here: the window decodes the
// values it shows, and a write keeps every byte it does not rewrite. A leading
// UTF-8 byte-order mark, as some editors write, is skipped and kept.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

class EIniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Longest value a read returns; longer values are cut to this many characters.
inline constexpr std::size_t kIniValueMax = 2047;

// The value of `key` in `section` of the file content `content`: the text after the
// first "=" of the key's line, without surrounding blanks and without one pair of
// matching quotes (single or double) around it, cut to kIniValueMax characters.
// Section and key names match without regard to letter case. nullopt when the
// section or the key is absent.
std::optional<std::string> FindProfileValue(std::string_view content, std::string_view section,
                                            std::string_view key);

// The integer a profile value starts with: optional blanks, an optional sign, then
// decimal digits, or hexadecimal digits after "$", "0x" or "0X"; whatever follows
// the digits is ignored. nullopt when there is no digit at all or the value lies
// outside 32 bits.
std::optional<std::int32_t> ParseProfileInteger(std::string_view text);

// `content` with `key` of `section` set to `value`. The key's line is rewritten in
// place; a missing key is added at the end of its section, a missing section at
// the end of the file. Every other byte stays as it was. New lines end the way the
// file's first line ends (CR LF or LF); an empty file gets LF.
// Throws EIniFileError for a name or value that cannot be stored in the form
// (a line break anywhere, "]" in a section name, "=" in a key, an empty key).
std::string SetProfileValue(std::string_view content, std::string_view section,
                            std::string_view key, std::string_view value);

class TIniFile {
public:
    // Nothing is read or created until the first call.
    explicit TIniFile(std::string fileName);

    const std::string& FileName() const { return fileName_; }

    // The key's value, or `defaultValue` when the file, the section or the key is
    // missing or the file cannot be read. A present but empty value is returned
    // as it stands (empty), as the profile functions do.
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view defaultValue) const;
    // The key's value as an integer, or `defaultValue` when it is missing, empty
    // or does not parse.
    std::int32_t ReadInteger(std::string_view section, std::string_view key,
                             std::int32_t defaultValue) const;

    // Changes this key and keeps every other byte. Only a file that its own
    // permissions let this user write is changed (a missing one is created). The
    // new content is written to a copy beside the file and renamed over it, so the
    // file is never left truncated; where the folder takes no new file, the file is
    // rewritten in place instead. Throws EIniFileError "Unable to write to <path>"
    // on failure, with the file as it was.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);

private:
    // The file's bytes; nullopt when it does not exist. Throws when it exists but
    // cannot be read, because a write must not replace what it could not read.
    std::optional<std::string> Load() const;
    [[noreturn]] void FailWrite() const;

    std::string fileName_;
};
