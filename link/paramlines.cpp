#include "paramlines.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

constexpr char kLineFeed = 0x0A;
constexpr char kCarriageReturn = 0x0D;
constexpr char kTableLineMark = 'T';
constexpr std::string_view kTableLinePrefix = "PIL";
constexpr std::string_view kUnknownName = "ZZZZ";
constexpr std::string_view kCommandPrefix = "AT";
constexpr std::size_t kCodeLength = 3;
// A name of four letters makes a command of exactly this length; only then does
// the line's value part follow the name.
constexpr std::size_t kShortCommandLength = 6;
// A last line without LF is sent only from this length on; one or two stray
// characters at the end of a file are dropped.
constexpr std::size_t kShortestUnterminatedLine = 3;
constexpr std::string_view kRefusal = "ERROR";
// Enough of an answer line to hold the refusal with some blanks behind it;
// whatever else follows only tells that the line is something longer.
constexpr std::size_t kAnswerKept = 16;

bool IsBlank(std::uint8_t b)
{
    return b <= 0x20;
}

constexpr std::array<std::pair<std::string_view, std::string_view>, 27> kCommandNames = {{
    {"000", "ACCW"}, {"001", "SINP"}, {"002", "FRTL"}, {"010", "SFMG"}, {"011", "FCMG"},
    {"020", "SFIG"}, {"021", "FCIG"}, {"030", "MMAX"}, {"031", "MMIN"}, {"040", "MCLM"},
    {"100", "EMAX"}, {"101", "EMIN"}, {"102", "SPNS"}, {"110", "SPTO"}, {"111", "SPCL"},
    {"112", "SPCR"}, {"120", "HMAX"}, {"121", "HMIN"}, {"200", "PIMD"}, {"201", "PIDB"},
    {"210", "TBEQ"}, {"211", "TBDV"}, {"212", "TBLG"}, {"213", "TBAG"}, {"220", "PIGN"},
    {"221", "PIDG"}, {"222", "PITC"},
}};

} // namespace

std::string ParameterCommandName(std::string_view line)
{
    // A line shorter than a code gives a shorter key, which no code equals.
    const auto code = line.substr(0, kCodeLength);
    const auto known = std::find_if(kCommandNames.begin(), kCommandNames.end(),
                                    [code](const auto& entry) { return entry.first == code; });
    if (known != kCommandNames.end())
        return std::string(known->second);
    if (!line.empty() && line.front() == kTableLineMark)
        return std::string(kTableLinePrefix) + std::string(line);
    return std::string(kUnknownName);
}

std::string ParameterCommand(std::string_view line)
{
    auto command = std::string(kCommandPrefix) + ParameterCommandName(line);
    // Decided by the command's length, not by the kind of name: the single-letter
    // table line "T" also gives six characters, and has nothing after its code.
    if (command.size() == kShortCommandLength && line.size() > kCodeLength)
        command += line.substr(kCodeLength);
    return command;
}

std::optional<std::string> TParameterLineSplitter::Feed(std::uint8_t b)
{
    const auto c = static_cast<char>(b);
    if (c == kCarriageReturn)
        return std::nullopt;
    if (c != kLineFeed) {
        line_.push_back(c);
        return std::nullopt;
    }
    return std::exchange(line_, {});
}

std::optional<std::string> TParameterLineSplitter::Finish()
{
    auto rest = std::exchange(line_, {});
    if (rest.size() < kShortestUnterminatedLine)
        return std::nullopt;
    return rest;
}

bool IsRefusal(std::string_view answer)
{
    while (!answer.empty() && IsBlank(std::uint8_t(answer.front())))
        answer.remove_prefix(1);
    while (!answer.empty() && IsBlank(std::uint8_t(answer.back())))
        answer.remove_suffix(1);
    // ASCII letters only: a byte past 0x7F is never part of the word.
    return std::equal(answer.begin(), answer.end(), kRefusal.begin(), kRefusal.end(), [](char a, char b) {
        return (a >= 'a' && a <= 'z' ? char(a - 'a' + 'A') : a) == b;
    });
}

std::optional<bool> TAnswerLineReader::Feed(std::uint8_t b)
{
    if (b == std::uint8_t(kLineFeed)) {
        const bool refusal = !longer_ && IsRefusal(kept_);
        Reset();
        return refusal;
    }
    if (b == std::uint8_t(kCarriageReturn) || (kept_.empty() && IsBlank(b)))
        return std::nullopt;
    if (kept_.size() < kAnswerKept)
        kept_.push_back(char(b));
    else if (!IsBlank(b))
        longer_ = true;
    return std::nullopt;
}

void TAnswerLineReader::Reset()
{
    kept_.clear();
    longer_ = false;
}

std::vector<std::string> ParameterLines(std::string_view content)
{
    std::vector<std::string> lines;
    TParameterLineSplitter splitter;
    for (const char c : content) {
        if (auto line = splitter.Feed(static_cast<std::uint8_t>(c)))
            lines.push_back(std::move(*line));
    }
    if (auto line = splitter.Finish())
        lines.push_back(std::move(*line));
    return lines;
}

bool HasUnitPlaceholder(std::string_view line)
{
    return line.size() > kCodeLength && line.substr(kCodeLength).find(kUnitPlaceholder) != std::string_view::npos;
}

std::string WithUnit(std::string_view line, std::string_view unit)
{
    if (line.size() <= kCodeLength)
        return std::string(line);
    std::string out(line.substr(0, kCodeLength));
    std::string_view value = line.substr(kCodeLength);
    for (std::size_t at; (at = value.find(kUnitPlaceholder)) != std::string_view::npos;) {
        out += value.substr(0, at);
        out += unit;
        value.remove_prefix(at + kUnitPlaceholder.size());
    }
    out += value;
    return out;
}

bool AnyLineHasUnitPlaceholder(std::string_view content)
{
    TParameterLineSplitter splitter;
    for (const char c : content) {
        if (const auto line = splitter.Feed(static_cast<std::uint8_t>(c)); line && HasUnitPlaceholder(*line))
            return true;
    }
    const auto last = splitter.Finish();
    return last && HasUnitPlaceholder(*last);
}
