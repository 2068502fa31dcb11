// Feeds arbitrary bytes as settings-file content, then sets a few keys, some named
// after what the content holds and some cut from its raw bytes. A write is refused
// exactly for the names and values documented as unstorable; otherwise every key
// written reads back as written, every other key keeps its value, the change
// stays within one line, a second write of the same value changes nothing, and a
// leading byte-order mark is kept and changes nothing else.

#include "ini_model.h"
#include "profile.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using inimodel::Require;

struct TWrite {
    std::string section;
    std::string key;
    std::string value;
};

bool HasLineBreak(std::string_view s)
{
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// The names and values that profile.h says cannot be stored in the form.
bool Unstorable(const TWrite& w)
{
    const std::string_view key = inimodel::Trim(w.key);
    return HasLineBreak(w.section) || w.section.find(']') != std::string::npos ||
           HasLineBreak(w.key) || w.key.find('=') != std::string::npos || key.empty() ||
           key.front() == ';' || key.front() == '[' || HasLineBreak(w.value);
}

bool SameKey(const TWrite& a, const TWrite& b)
{
    return inimodel::SameName(a.section, b.section) && inimodel::SameName(a.key, b.key);
}

std::string Without(std::string_view s, std::string_view unwanted)
{
    std::string out;
    for (const char c : s) {
        if (unwanted.find(c) == std::string_view::npos)
            out.push_back(c);
    }
    return out;
}

std::string FlipCase(std::string_view s)
{
    std::string out(s);
    for (char& c : out) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            c = char(c ^ 0x20);
    }
    return out;
}

// The only bytes a write changed lie within one line: no line break was taken out.
void CheckOneLineChanged(std::string_view before, std::string_view after)
{
    const std::size_t prefix = std::size_t(
        std::mismatch(before.begin(), before.end(), after.begin(), after.end()).first -
        before.begin());
    std::size_t suffix = 0;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const std::string_view removed = before.substr(prefix, before.size() - prefix - suffix);
    Require(removed.find('\n') == std::string_view::npos, "a write changes bytes of one line only");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::vector<inimodel::TEntry> entries = inimodel::Entries(input);
    const std::vector<std::string_view> lines = inimodel::Lines(input);
    const auto line = [&](std::size_t i) {
        return lines.empty() ? std::string() : std::string(lines[i % lines.size()]);
    };

    std::vector<TWrite> writes;
    if (!entries.empty()) {
        const inimodel::TEntry& first = entries.front();
        const inimodel::TEntry& last = entries.back();
        // A key the file holds, named as the file spells it and then otherwise.
        writes.push_back({first.section, first.key, line(lines.size() - 1)});
        writes.push_back({" " + FlipCase(first.section), FlipCase(first.key) + "\t", line(0)});
        // A new key in a section the file holds, and a new section.
        writes.push_back({last.section, last.key + "2", line(1)});
        writes.push_back({"New " + first.section, first.key, line(2)});
    }
    // Names cut from the raw bytes: stored where the form can hold them, refused
    // where it cannot.
    writes.push_back({line(0), line(1), line(2)});
    writes.push_back({Without(line(1), "]\r\n"), Without(line(2), "=\r\n"), line(3)});
    writes.push_back({"Communications", "Port", Without(line(3), "\r\n")});

    std::string content(input);
    for (const TWrite& w : writes) {
        std::string next;
        try {
            next = SetProfileValue(content, w.section, w.key, w.value);
        } catch (const EIniFileError&) {
            Require(Unstorable(w), "only what the form cannot hold is refused");
            continue;
        }
        Require(!Unstorable(w), "what the form cannot hold is refused");

        Require(FindProfileValue(next, w.section, w.key) == inimodel::Reading(w.value),
                "a key reads back as written");
        CheckOneLineChanged(content, next);
        Require(SetProfileValue(next, w.section, w.key, w.value) == next,
                "writing the same value again changes nothing");
        if (!content.starts_with(inimodel::kBom)) {
            const std::string mark(inimodel::kBom);
            Require(SetProfileValue(mark + content, w.section, w.key, w.value) == mark + next,
                    "a leading byte-order mark is kept and changes nothing else");
        }
        content = std::move(next);
    }

    // After all the writes, the last value written to each key is there, and
    // a few of the keys the file held and no write named, spread over the file,
    // keep the values they had (every one would slow a run down for little).
    const auto stored = [&](const TWrite& w) { return !Unstorable(w); };
    for (auto w = writes.rbegin(); w != writes.rend(); ++w) {
        if (!stored(*w) || std::any_of(writes.rbegin(), w, [&](const TWrite& later) {
                return stored(later) && SameKey(later, *w);
            }))
            continue;
        Require(FindProfileValue(content, w->section, w->key) == inimodel::Reading(w->value),
                "every key written reads back after later writes");
    }
    constexpr std::size_t kKept = 4;
    const std::size_t kept = std::min(entries.size(), kKept);
    for (std::size_t i = 0; i < kept; ++i) {
        const inimodel::TEntry& entry = entries[i * entries.size() / kept];
        const TWrite old{entry.section, entry.key, {}};
        if (std::none_of(writes.begin(), writes.end(),
                         [&](const TWrite& w) { return stored(w) && SameKey(w, old); }))
            Require(FindProfileValue(content, entry.section, entry.key) ==
                        FindProfileValue(input, entry.section, entry.key),
                    "a write keeps every other key's value");
    }
    return 0;
}
