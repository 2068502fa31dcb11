#include "journalhistory.h"

#include "journalfields.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The code point of the valid UTF-8 sequence at `text[i]`, and its length.
char32_t DecodeAt(std::string_view text, std::size_t i, std::size_t& length)
{
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
        length = 1;
        return byte;
    }
    length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
    char32_t point = byte & (0x3F >> (length - 1));
    for (std::size_t k = 1; k < length; ++k)
        point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    return point;
}

std::string Hex(char32_t point, int digits)
{
    char text[12];
    std::snprintf(text, sizeof text, "%0*X", digits, static_cast<unsigned>(point));
    return text;
}

// For a terminal: no control character, C0 or C1, reaches it as such.
std::string Printable(std::string_view raw)
{
    const std::string text = ValidUtf8(raw);
    std::string shown;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 1;
        const char32_t point = DecodeAt(text, i, length);
        if (point == '\n')
            shown += "\\n";
        else if (point == '\r')
            shown += "\\r";
        else if (point == '\t')
            shown += "\\t";
        else if (point < 0x20 || point == 0x7F)
            shown += "\\x" + Hex(point, 2);
        else if (point >= 0x80 && point <= 0x9F)
            shown += "\\u" + Hex(point, 4);
        else
            shown.append(text, i, length);
        i += length;
    }
    return shown;
}

std::size_t Characters(std::string_view text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string OrDash(const std::string& text)
{
    return text.empty() ? "-" : text;
}

std::string Duration(std::int64_t milliseconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%lld s", static_cast<long long>(milliseconds / 1000),
                  static_cast<long long>((milliseconds % 1000) / 100));
    return milliseconds < 0 ? "-" : text;
}

// Lines taken, and those refused when any were: "40", "38 (2 refused)".
std::string ParameterLines(const TJournalRecord& record)
{
    if (record.ParameterFile.empty())
        return "-";
    std::string text = std::to_string(record.ParameterLinesSent);
    if (record.ParameterLinesRefused > 0)
        text += " (" + std::to_string(record.ParameterLinesRefused) + " refused)";
    return text;
}

std::string FileName(const std::string& path)
{
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string JsonString(std::string_view raw)
{
    std::string json = "\"";
    for (const char c : ValidUtf8(raw)) {
        switch (c) {
        case '"':
            json += "\\\"";
            break;
        case '\\':
            json += "\\\\";
            break;
        case '\n':
            json += "\\n";
            break;
        case '\r':
            json += "\\r";
            break;
        case '\t':
            json += "\\t";
            break;
        case '\b':
            json += "\\b";
            break;
        case '\f':
            json += "\\f";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20)
                json += "\\u" + Hex(static_cast<unsigned char>(c), 4);
            else
                json += c;
        }
    }
    return json + "\"";
}

// Reads `digits` digits at `at` (a negative count: 1 to -digits of them).
bool Digits(std::string_view text, std::size_t& at, int digits, int& value)
{
    const std::size_t wanted = static_cast<std::size_t>(digits < 0 ? -digits : digits);
    std::size_t taken = 0;
    value = 0;
    while (taken < wanted && at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + (text[at] - '0');
        ++at;
        ++taken;
    }
    return digits < 0 ? taken >= 1 : taken == wanted;
}

} // namespace

std::optional<THistoryFormat> ParseHistoryFormat(std::string_view name)
{
    if (name == "text")
        return THistoryFormat::Text;
    if (name == "csv")
        return THistoryFormat::Csv;
    if (name == "json")
        return THistoryFormat::Json;
    return std::nullopt;
}

std::string FormatHistoryText(const std::vector<TJournalRecord>& records)
{
    static constexpr std::array<std::string_view, 14> kHeader = {
        "Started (UTC)", "Host", "Port", "Identification", "Before", "Installed", "Image",
        "Sent", "Skipped", "Params", "Outcome", "Failure", "Duration", "Message"};
    std::vector<std::array<std::string, kHeader.size()>> rows;
    rows.push_back({});
    std::copy(kHeader.begin(), kHeader.end(), rows.back().begin());
    for (const TJournalRecord& record : records) {
        // "2026-12-10T14:03:22.123Z" -> "2026-12-10 14:03:22"
        std::string started = record.Started.substr(0, 19);
        if (started.size() > 10 && started[10] == 'T')
            started[10] = ' ';
        const bool named = record.ComNumber > 0;
        rows.push_back({started,
                        record.Host,
                        named ? "COM" + std::to_string(record.ComNumber) : record.DevicePath,
                        record.Identification,
                        OrDash(record.VersionBefore),
                        OrDash(record.VersionToInstall),
                        OrDash(FileName(record.ImagePath)),
                        std::to_string(record.BlocksSent),
                        std::to_string(record.BlocksSkipped),
                        ParameterLines(record),
                        record.Outcome,
                        OrDash(record.FailureKind),
                        Duration(record.DurationMs),
                        record.Message});
        for (std::string& cell : rows.back())
            cell = Printable(cell);
    }
    std::array<std::size_t, kHeader.size()> widths{};
    for (const auto& row : rows)
        for (std::size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], Characters(row[column]));

    std::string table;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size())
                line.append(widths[column] - Characters(row[column]) + 2, ' ');
        }
        line.erase(line.find_last_not_of(' ') + 1);
        table += line + "\n";
    }
    return table;
}

std::string FormatHistoryCsv(const std::vector<TJournalRecord>& records)
{
    std::string csv(kByteOrderMark);
    for (std::size_t i = 0; i < kJournalFieldCount; ++i) {
        csv += i == 0 ? "" : ",";
        csv += kJournalFields[i].Name;
    }
    csv += "\r\n";
    for (const TJournalRecord& record : records) {
        for (std::size_t i = 0; i < kJournalFieldCount; ++i) {
            csv += i == 0 ? "" : ",";
            csv += CsvField(ValidUtf8(FieldText(record, kJournalFields[i])));
        }
        csv += "\r\n";
    }
    return csv;
}

std::string FormatHistoryJson(const std::vector<TJournalRecord>& records)
{
    std::string json;
    for (const TJournalRecord& record : records) {
        json += "{";
        for (std::size_t i = 0; i < kJournalFieldCount; ++i) {
            const TJournalField& field = kJournalFields[i];
            json += i == 0 ? "\"" : ",\"";
            json += field.Name;
            json += "\":";
            json += field.Kind == TFieldKind::Integer ? FieldText(record, field) : JsonString(FieldText(record, field));
        }
        json += "}\n";
    }
    return json;
}

std::string FormatHistory(const std::vector<TJournalRecord>& records, THistoryFormat format)
{
    switch (format) {
    case THistoryFormat::Csv:
        return FormatHistoryCsv(records);
    case THistoryFormat::Json:
        return FormatHistoryJson(records);
    case THistoryFormat::Text:
        break;
    }
    return FormatHistoryText(records);
}

std::optional<std::string> ParseHistorySince(std::string_view text)
{
    std::size_t at = 0;
    int year, month, day, hour = 0, minute = 0, second = 0, millisecond = 0;
    const auto expect = [&](char c) {
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    };
    if (!Digits(text, at, 4, year) || !expect('-') || !Digits(text, at, 2, month) || !expect('-') ||
        !Digits(text, at, 2, day))
        return std::nullopt;
    if (expect('T') || expect(' ')) {
        if (!Digits(text, at, 2, hour) || !expect(':') || !Digits(text, at, 2, minute))
            return std::nullopt;
        if (expect(':')) {
            if (!Digits(text, at, 2, second))
                return std::nullopt;
            if (expect('.')) {
                const std::size_t from = at;
                if (!Digits(text, at, -3, millisecond))
                    return std::nullopt;
                for (std::size_t i = at - from; i < 3; ++i)
                    millisecond *= 10; // ".25" is 250 ms
            }
        }
    }
    int offsetMinutes = 0;
    if (!expect('Z') && at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at] == '-' ? -1 : 1;
        ++at;
        int offsetHours, offsetMinute;
        if (!Digits(text, at, 2, offsetHours))
            return std::nullopt;
        expect(':');
        if (!Digits(text, at, 2, offsetMinute) || offsetHours > 23 || offsetMinute > 59)
            return std::nullopt;
        offsetMinutes = sign * (offsetHours * 60 + offsetMinute);
    }
    if (at != text.size())
        return std::nullopt;

    using namespace std::chrono;
    const year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                              std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok() || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    const auto moment = sys_days(date) + hours(hour) + minutes(minute) + seconds(second) +
                        milliseconds(millisecond) - minutes(offsetMinutes);
    return JournalTime(system_clock::time_point(moment));
}

std::string StartOfLocalDay(std::chrono::system_clock::time_point now)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    local.tm_hour = 0;
    local.tm_min = 0;
    local.tm_sec = 0;
    // The day's offset may differ from now's (a change to summer time in the
    // night): mktime works it out again.
    local.tm_isdst = -1;
    return JournalTime(std::chrono::system_clock::from_time_t(std::mktime(&local)));
}

namespace {

bool Programmed(std::string_view outcome)
{
    return outcome == kOutcomeProgrammed || outcome == kOutcomeProgrammedWithParameters;
}

std::string PortName(const TJournalRecord& record)
{
    if (record.ComNumber > 0)
        return "COM" + std::to_string(record.ComNumber);
    return record.DevicePath.empty() ? "-" : record.DevicePath;
}

std::string Percent(int part, int whole)
{
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", 100.0 * part / whole);
    return text;
}

} // namespace

TJournalSummary SummarizeJournal(const std::vector<TJournalRecord>& records)
{
    TJournalSummary summary;
    // COM ports by number, then the paths: the order a bench labels them.
    std::map<std::pair<std::int64_t, std::string>, TJournalCounts> ports;
    std::map<std::string, int> kinds;
    std::map<std::string, bool> units; // whether the unit's first record says programmed
    int unnamedUnits = 0;
    int unnamedFirstPass = 0;
    for (const TJournalRecord& record : records) {
        if (record.Outcome == kOutcomeUnderWay) {
            ++summary.UnderWay;
            continue;
        }
        const bool programmed = Programmed(record.Outcome);
        TJournalCounts& port = ports[{record.ComNumber > 0 ? record.ComNumber : std::numeric_limits<std::int64_t>::max(), PortName(record)}];
        if (programmed) {
            ++summary.All.Programmed;
            ++port.Programmed;
        } else {
            ++summary.All.Failed;
            ++port.Failed;
            const std::string kind = record.Outcome == kOutcomeInterrupted ? std::string(kOutcomeInterrupted)
                                     : record.FailureKind.empty()          ? std::string("unknown")
                                                                           : record.FailureKind;
            ++kinds[kind];
        }
        if (record.Unit.empty()) {
            ++unnamedUnits;
            unnamedFirstPass += programmed ? 1 : 0;
        } else {
            units.try_emplace(record.Unit, programmed);
        }
    }
    for (const auto& [key, counts] : ports)
        summary.Ports.emplace_back(key.second, counts);
    summary.FailureKinds.assign(kinds.begin(), kinds.end());
    std::stable_sort(summary.FailureKinds.begin(), summary.FailureKinds.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    summary.Units = unnamedUnits + static_cast<int>(units.size());
    summary.FirstPassUnits = unnamedFirstPass + static_cast<int>(std::count_if(
                                                    units.begin(), units.end(), [](const auto& u) { return u.second; }));
    return summary;
}

namespace {

std::string SummaryText(const TJournalSummary& summary, std::string_view since)
{
    std::string text = "Since " + Printable(since) + "\n\n";
    std::vector<std::array<std::string, 3>> rows{{"", "Programmed", "Failed"},
                                                 {"All", std::to_string(summary.All.Programmed),
                                                  std::to_string(summary.All.Failed)}};
    for (const auto& [port, counts] : summary.Ports)
        rows.push_back({Printable(port), std::to_string(counts.Programmed), std::to_string(counts.Failed)});
    std::array<std::size_t, 3> widths{};
    for (const auto& row : rows)
        for (std::size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], Characters(row[column]));
    for (const auto& row : rows) {
        // The names to the left, the numbers to the right of their columns.
        std::string line = row[0] + std::string(widths[0] - Characters(row[0]) + 2, ' ');
        for (std::size_t column = 1; column < row.size(); ++column)
            line += std::string(widths[column] - row[column].size() + (column > 1 ? 2 : 0), ' ') + row[column];
        text += line + "\n";
    }
    if (!summary.FailureKinds.empty()) {
        text += "\nFailures by kind\n";
        std::size_t width = 0;
        for (const auto& kind : summary.FailureKinds)
            width = std::max(width, Characters(Printable(kind.first)));
        for (const auto& [kind, count] : summary.FailureKinds) {
            const std::string shown = Printable(kind);
            text += "  " + shown + std::string(width - Characters(shown) + 2, ' ') + std::to_string(count) + "\n";
        }
    }
    text += "\nFirst-pass yield: ";
    if (summary.Units == 0)
        text += "- (no units)\n";
    else
        text += Percent(summary.FirstPassUnits, summary.Units) + " % (" + std::to_string(summary.FirstPassUnits) +
                " of " + std::to_string(summary.Units) + " units)\n";
    if (summary.UnderWay > 0)
        text += "Under way: " + std::to_string(summary.UnderWay) + "\n";
    return text;
}

std::string SummaryCsv(const TJournalSummary& summary, std::string_view since)
{
    std::string csv(kByteOrderMark);
    csv += "section,name,measure,value\r\n";
    const auto row = [&](std::string_view section, const std::string& name, std::string_view measure,
                         const std::string& value) {
        csv += std::string(section) + "," + CsvField(ValidUtf8(name)) + "," + std::string(measure) + "," +
               CsvField(ValidUtf8(value)) + "\r\n";
    };
    row("span", "", "since", std::string(since));
    row("all", "", "programmed", std::to_string(summary.All.Programmed));
    row("all", "", "failed", std::to_string(summary.All.Failed));
    row("all", "", "under way", std::to_string(summary.UnderWay));
    for (const auto& [port, counts] : summary.Ports) {
        row("port", port, "programmed", std::to_string(counts.Programmed));
        row("port", port, "failed", std::to_string(counts.Failed));
    }
    for (const auto& [kind, count] : summary.FailureKinds)
        row("failure", kind, "failed", std::to_string(count));
    row("yield", "", "units", std::to_string(summary.Units));
    row("yield", "", "first pass", std::to_string(summary.FirstPassUnits));
    row("yield", "", "percent", summary.Units == 0 ? "" : Percent(summary.FirstPassUnits, summary.Units));
    return csv;
}

std::string SummaryJson(const TJournalSummary& summary, std::string_view since)
{
    const auto counts = [](const TJournalCounts& c) {
        return "\"programmed\":" + std::to_string(c.Programmed) + ",\"failed\":" + std::to_string(c.Failed);
    };
    std::string json = "{\"since\":" + JsonString(since) + "," + counts(summary.All) +
                       ",\"under_way\":" + std::to_string(summary.UnderWay) + ",\"ports\":[";
    for (std::size_t i = 0; i < summary.Ports.size(); ++i)
        json += std::string(i ? "," : "") + "{\"port\":" + JsonString(summary.Ports[i].first) + "," +
                counts(summary.Ports[i].second) + "}";
    json += "],\"failure_kinds\":[";
    for (std::size_t i = 0; i < summary.FailureKinds.size(); ++i)
        json += std::string(i ? "," : "") + "{\"kind\":" + JsonString(summary.FailureKinds[i].first) +
                ",\"failed\":" + std::to_string(summary.FailureKinds[i].second) + "}";
    json += "],\"units\":" + std::to_string(summary.Units) +
            ",\"first_pass_units\":" + std::to_string(summary.FirstPassUnits) + ",\"first_pass_percent\":" +
            (summary.Units == 0 ? std::string("null") : Percent(summary.FirstPassUnits, summary.Units)) + "}\n";
    return json;
}

} // namespace

std::string FormatSummary(const TJournalSummary& summary, std::string_view since, THistoryFormat format)
{
    switch (format) {
    case THistoryFormat::Csv:
        return SummaryCsv(summary, since);
    case THistoryFormat::Json:
        return SummaryJson(summary, since);
    case THistoryFormat::Text:
        break;
    }
    return SummaryText(summary, since);
}
