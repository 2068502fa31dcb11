#pragma once

// The settings file: a private-profile (INI) text file, read afresh on every call
// so that a hand edit between two reads is seen, and written back line by line so
// that everything the operator wrote survives a write of one key.
//
// The profile functions that read and change the text are in profile.h.

#include "profile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
    // The keys of a section, in the file's order; none when the file or the
    // section is missing or the file cannot be read.
    std::vector<std::string> ReadKeys(std::string_view section) const;
    // The key's value as an integer, or `defaultValue` when it is missing, empty
    // or does not parse.
    std::int32_t ReadInteger(std::string_view section, std::string_view key,
                             std::int32_t defaultValue) const;

    // Changes this key and keeps every other byte. Only a file that its own
    // permissions let this user write is changed (a missing one is created). The
    // new content is written to a copy beside the file and renamed over it, so the
    // file is never left truncated. Where the folder takes no new file, or the copy
    // could not be given the file's owner and group, the file is rewritten in
    // place instead, and keeps them. Throws EIniFileError "Unable to write to <path>"
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
