#pragma once

// An independent reading of settings-file content, as profile.h documents it,
// for the settings-file fuzzers to hold the profile functions to.

#include "profile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace inimodel {

inline void Require(bool holds, const char* invariant)
{
    if (!holds) {
        std::fprintf(stderr, "settings-file invariant broken: %s\n", invariant);
        std::abort();
    }
}

inline constexpr std::string_view kBom = "\xEF\xBB\xBF";

inline bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

inline std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Names compare without their surrounding blanks and with ASCII letters folded.
inline std::string NameKey(std::string_view name)
{
    std::string folded(Trim(name));
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z')
            c = char(c + 0x20);
    }
    return folded;
}

inline bool SameName(std::string_view a, std::string_view b)
{
    return NameKey(a) == NameKey(b);
}

// The lines after a leading byte-order mark, cut at LF, each without one CR
// before its LF (or at the end of the content).
inline std::vector<std::string_view> Lines(std::string_view content)
{
    if (content.starts_with(kBom))
        content.remove_prefix(kBom.size());
    std::vector<std::string_view> lines;
    while (!content.empty()) {
        const std::size_t newline = content.find('\n');
        std::string_view line = content.substr(0, newline);
        content.remove_prefix(newline == std::string_view::npos ? content.size() : newline + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        lines.push_back(line);
    }
    return lines;
}

struct TEntry {
    std::string section;
    std::string key;
    std::string raw; // everything after the first "="
};

// Every key=value line that stands in a section, in file order. A header is a
// line whose first non-blank is "["; its name runs to the first "]" or the end.
inline std::vector<TEntry> Entries(std::string_view content)
{
    std::vector<TEntry> entries;
    std::optional<std::string> section;
    for (const std::string_view line : Lines(content)) {
        const std::string_view trimmed = Trim(line);
        if (trimmed.starts_with('[')) {
            const std::string_view inner = trimmed.substr(1);
            section = std::string(Trim(inner.substr(0, inner.find(']'))));
            continue;
        }
        const std::size_t equals = line.find('=');
        if (trimmed.empty() || trimmed.front() == ';' || equals == std::string_view::npos ||
            !section)
            continue;
        entries.push_back({*section, std::string(Trim(line.substr(0, equals))),
                           std::string(line.substr(equals + 1))});
    }
    return entries;
}

// What a read gives for the text after the "=": without surrounding blanks, without
// one pair of matching quotes, cut to the longest value a read returns.
inline std::string Reading(std::string_view raw)
{
    std::string_view value = Trim(raw);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value.substr(0, kIniValueMax));
}

inline std::optional<std::string> Find(const std::vector<TEntry>& entries, std::string_view section,
                                       std::string_view key)
{
    const auto found = std::find_if(entries.begin(), entries.end(), [&](const TEntry& e) {
        return SameName(e.section, section) && SameName(e.key, key);
    });
    if (found == entries.end())
        return std::nullopt;
    return Reading(found->raw);
}

} // namespace inimodel
