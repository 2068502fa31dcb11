// The history as a terminal table, CSV and JSON, with fields that break naive
// formatting: commas, quotes, line breaks, non-ASCII, control characters, bytes
// that are not UTF-8, empty texts. CSV is read back by a strict RFC 4180 reader
// of the test's own, JSON by Qt's parser.

#include "journal_fixtures.h"
#include "journalhistory.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cstdlib>
#include <ctime>
#include <sstream>

namespace {

const std::vector<std::string> kFieldNames = {
    "id", "started", "ended", "host", "program_version", "front_end", "com_number", "device_path",
    "adapter_serial", "identification", "unit", "loader_file", "loader_sha256", "loader_version", "version_before",
    "version_to_install", "image_path", "image_size", "image_sha256", "flash_sha256", "flash_start", "flash_end", "block_size",
    "blocks_examined", "blocks_sent", "blocks_skipped", "parameter_file", "parameter_sha256",
    "parameter_lines_sent", "parameter_lines_refused", "outcome", "failure_kind", "message", "duration_ms"};

const std::string kReplacement = "\xEF\xBF\xBD";

struct Awkward {
    const char* name;
    std::string text;
    std::string csvCell; // as it must stand in the CSV
    std::string kept;    // what a reader gets back
};

const std::vector<Awkward> kAwkward = {
    {"plain", "FW00303.bin", "FW00303.bin", "FW00303.bin"},
    {"empty", "", "", ""},
    {"a comma", "a,b", "\"a,b\"", "a,b"},
    {"quotes", "say \"hi\"", "\"say \"\"hi\"\"\"", "say \"hi\""},
    {"only a quote", "\"", "\"\"\"\"", "\""},
    {"a line break", "two\nlines", "\"two\nlines\"", "two\nlines"},
    {"CR LF", "two\r\nlines", "\"two\r\nlines\"", "two\r\nlines"},
    {"spaces kept", "  padded ", "  padded ", "  padded "},
    {"non-ASCII", "Gr\xC3\xBC\xC3\x9F" "e \xC2\xB5 \xE2\x82\xAC \xE6\xB8\xAC", "Gr\xC3\xBC\xC3\x9F" "e \xC2\xB5 \xE2\x82\xAC \xE6\xB8\xAC",
     "Gr\xC3\xBC\xC3\x9F" "e \xC2\xB5 \xE2\x82\xAC \xE6\xB8\xAC"},
    {"a tab and an escape", "a\tb\x1b[2J", "a\tb\x1b[2J", "a\tb\x1b[2J"},
    {"a byte that is not UTF-8", "QR\xB5", "QR" + kReplacement, "QR" + kReplacement},
};

TJournalRecord AwkwardRecord(const Awkward& awkward, int number)
{
    TJournalRecord record = SampleRecord(number);
    record.Identification = awkward.text;
    record.ImagePath = awkward.text;
    record.Message = awkward.text;
    record.VersionBefore = awkward.text;
    return record;
}

// RFC 4180, strictly: a CR or LF outside quotes ends nothing but a record, and
// then only as CR LF; a quote may only open a field or be doubled inside one.
std::vector<std::vector<std::string>> ReadCsv(const std::string& text)
{
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false;
    bool wasQuoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
            }
        } else if (c == '"') {
            EXPECT_TRUE(field.empty() && !wasQuoted) << "a quote inside an unquoted field at " << i;
            quoted = wasQuoted = true;
        } else if (c == ',') {
            row.push_back(field);
            field.clear();
            wasQuoted = false;
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            row.push_back(field);
            rows.push_back(row);
            row.clear();
            field.clear();
            wasQuoted = false;
            ++i;
        } else {
            EXPECT_TRUE(c != '\r' && c != '\n') << "a bare line break outside quotes at " << i;
            EXPECT_FALSE(wasQuoted) << "text after a closing quote at " << i;
            field += c;
        }
    }
    EXPECT_FALSE(quoted) << "a quoted field runs to the end";
    EXPECT_TRUE(row.empty() && field.empty()) << "the last record has no CR LF";
    return rows;
}

std::vector<std::string> CsvRow(const TJournalRecord& record)
{
    return {record.Id, record.Started, record.Ended, record.Host, record.ProgramVersion, record.FrontEnd,
            std::to_string(record.ComNumber), record.DevicePath, record.AdapterSerial, record.Identification, record.Unit,
            record.LoaderFile, record.LoaderSha256, record.LoaderVersion, record.VersionBefore,
            record.VersionToInstall, record.ImagePath, std::to_string(record.ImageSize), record.ImageSha256, record.FlashSha256,
            std::to_string(record.FlashStart), std::to_string(record.FlashEnd), std::to_string(record.BlockSize),
            std::to_string(record.BlocksExamined), std::to_string(record.BlocksSent),
            std::to_string(record.BlocksSkipped), record.ParameterFile, record.ParameterSha256,
            std::to_string(record.ParameterLinesSent), std::to_string(record.ParameterLinesRefused),
            record.Outcome, record.FailureKind, record.Message,
            std::to_string(record.DurationMs)};
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

TEST(History, CsvHasAHeaderAndQuotesExactlyWhatRfc4180Requires)
{
    std::vector<TJournalRecord> records;
    for (std::size_t i = 0; i < kAwkward.size(); ++i)
        records.push_back(AwkwardRecord(kAwkward[i], static_cast<int>(i)));
    const std::string csv = FormatHistoryCsv(records);

    // The byte-order mark tells a spreadsheet program the texts are UTF-8.
    ASSERT_EQ(csv.substr(0, 3), "\xEF\xBB\xBF");
    const auto rows = ReadCsv(csv.substr(3));
    ASSERT_EQ(rows.size(), records.size() + 1);
    EXPECT_EQ(rows[0], kFieldNames);
    for (std::size_t i = 0; i < kAwkward.size(); ++i) {
        const Awkward& awkward = kAwkward[i];
        SCOPED_TRACE(awkward.name);
        TJournalRecord expected = records[i];
        expected.Identification = expected.ImagePath = expected.Message = expected.VersionBefore = awkward.kept;
        EXPECT_EQ(rows[i + 1], CsvRow(expected));
        // Quoted only where needed: the message stands just before the duration.
        const std::string tail = "," + awkward.csvCell + "," + std::to_string(records[i].DurationMs) + "\r\n";
        const std::size_t end = i + 1 < records.size() ? csv.find(records[i + 1].Id) : csv.size();
        EXPECT_EQ(csv.substr(end - tail.size(), tail.size()), tail);
    }
    EXPECT_EQ(FormatHistoryCsv({}), "\xEF\xBB\xBF" + csv.substr(3, csv.find("\r\n") - 1));
}

TEST(History, JsonIsOneObjectPerLineWithEveryFieldNamed)
{
    std::vector<TJournalRecord> records;
    for (std::size_t i = 0; i < kAwkward.size(); ++i)
        records.push_back(AwkwardRecord(kAwkward[i], static_cast<int>(i)));
    records.back().ImageSize = 5'000'000'000; // past 32 bits
    records.back().FlashStart = 0;

    const std::string json = FormatHistoryJson(records);
    ASSERT_EQ(json.back(), '\n');
    const auto lines = Lines(json);
    ASSERT_EQ(lines.size(), records.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Awkward& awkward = kAwkward[i];
        SCOPED_TRACE(awkward.name);
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(lines[i]), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n" << lines[i];
        const QJsonObject object = document.object();
        EXPECT_EQ(object.keys().size(), static_cast<int>(kFieldNames.size()));
        const std::vector<std::string> values = CsvRow(records[i]);
        for (std::size_t f = 0; f < kFieldNames.size(); ++f) {
            const QJsonValue value = object.value(QString::fromStdString(kFieldNames[f]));
            const bool integer = kFieldNames[f] == "com_number" || kFieldNames[f] == "image_size" ||
                                 kFieldNames[f] == "flash_start" || kFieldNames[f] == "flash_end" || kFieldNames[f].find("block") == 0 ||
                                 kFieldNames[f].find("parameter_lines_") == 0 || kFieldNames[f] == "duration_ms";
            if (integer) {
                ASSERT_TRUE(value.isDouble()) << kFieldNames[f];
                EXPECT_EQ(std::to_string(value.toInteger()), values[f]) << kFieldNames[f];
            } else {
                ASSERT_TRUE(value.isString()) << kFieldNames[f];
                const bool awkwardField = kFieldNames[f] == "identification" || kFieldNames[f] == "image_path" ||
                                          kFieldNames[f] == "message" || kFieldNames[f] == "version_before";
                EXPECT_EQ(value.toString().toStdString(), awkwardField ? awkward.kept : values[f]) << kFieldNames[f];
            }
        }
    }
    EXPECT_EQ(FormatHistoryJson({}), "");
}

TEST(History, TextTableAlignsByCharactersAndShowsControlCharactersEscaped)
{
    TJournalRecord plain = SampleRecord(1);
    plain.Identification = "QR740-A";
    plain.Message = "Parameter Load Complete";
    TJournalRecord awkward = SampleRecord(2);
    awkward.Identification = "QR740 \xC2\xB5\xC3\xA9"; // two characters of two bytes each
    awkward.ComNumber = 0;
    awkward.DevicePath = "/dev/ttyUSB0";
    awkward.VersionBefore.clear();
    awkward.ParameterFile.clear();
    awkward.Outcome = std::string(kOutcomeFailed);
    awkward.FailureKind = "no-response";
    awkward.Message = "No response.\nCheck \x1b[31mthe cable\r\xC2\x85"; // U+0085, a C1 line break

    const auto lines = Lines(FormatHistoryText({plain, awkward}));
    ASSERT_EQ(lines.size(), 3u) << "a header and one line per record";
    EXPECT_EQ(lines[0].substr(0, 13), "Started (UTC)");
    EXPECT_EQ(lines[1].substr(0, 21), "2026-12-10 08:00:01  ");

    // Each column starts at the same character on every line.
    const auto column = [](const std::string& line, const std::string& text) {
        const std::size_t at = line.find(text);
        if (at == std::string::npos)
            return std::size_t(-1);
        std::size_t characters = 0;
        for (std::size_t i = 0; i < at; ++i)
            characters += (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80;
        return characters;
    };
    EXPECT_EQ(column(lines[1], "COM1"), column(lines[2], "/dev/ttyUSB0"));
    EXPECT_EQ(column(lines[1], "3.02"), column(lines[2], "-  "));
    EXPECT_EQ(column(lines[1], "FW00303.bin"), column(lines[2], "FW00303.bin"));
    EXPECT_EQ(column(lines[1], "programmed with parameters"), column(lines[2], "failed"));
    EXPECT_EQ(column(lines[0], "Message"), column(lines[2], "No response."));

    EXPECT_NE(lines[2].find("No response.\\nCheck \\x1B[31mthe cable\\r\\u0085"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find("no-response"), std::string::npos);
    EXPECT_NE(lines[2].find("13.0 s"), std::string::npos);
    EXPECT_NE(lines[1].find("  41 (1 refused)  programmed with parameters"), std::string::npos) << lines[1];
}

TEST(History, SinceTakesADateOrADateAndTime)
{
    struct Case {
        const char* given;
        std::optional<std::string> moment;
    };
    const std::vector<Case> cases = {
        {"2026-12-01", "2026-12-01T00:00:00.000Z"},
        {"2026-12-01T14:30", "2026-12-01T14:30:00.000Z"},
        {"2026-12-01 14:30:15", "2026-12-01T14:30:15.000Z"},
        {"2026-12-01T14:30:15.25", "2026-12-01T14:30:15.250Z"},
        {"2026-12-01T14:30:15.123Z", "2026-12-01T14:30:15.123Z"},
        {"2026-12-01T00:30+01:00", "2026-11-30T23:30:00.000Z"},
        {"2026-12-31T23:30-0100", "2027-01-01T00:30:00.000Z"},
        {"2028-02-29", "2028-02-29T00:00:00.000Z"},
        {"2026-02-29", std::nullopt},
        {"2026-13-01", std::nullopt},
        {"2026-12-01T24:00", std::nullopt},
        {"2026-12-01T14", std::nullopt},
        {"2026-12-01T14:30:15.1234", std::nullopt},
        {"2026-12-1", std::nullopt},
        {"01.12.2026", std::nullopt},
        {"2026-12-01 ", std::nullopt},
        {"yesterday", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseHistorySince(c.given), c.moment) << c.given;

    EXPECT_EQ(ParseHistoryFormat("csv"), THistoryFormat::Csv);
    EXPECT_EQ(ParseHistoryFormat("json"), THistoryFormat::Json);
    EXPECT_EQ(ParseHistoryFormat("text"), THistoryFormat::Text);
    EXPECT_EQ(ParseHistoryFormat("CSV"), std::nullopt);
}

// gtest shows a summary as its JSON line.
inline void PrintTo(const TJournalSummary& summary, std::ostream* out)
{
    *out << FormatSummary(summary, "", THistoryFormat::Json);
}

namespace {

// A record for the summary: which port, how it ended, and which unit.
TJournalRecord Counted(int number, std::int64_t com, const std::string& outcome, const std::string& kind,
                       const std::string& unit, const std::string& device = "/dev/ttyUSB0")
{
    TJournalRecord record = SampleRecord(number);
    record.ComNumber = com;
    record.DevicePath = device;
    record.Outcome = outcome;
    record.FailureKind = kind;
    record.Unit = unit;
    return record;
}

TJournalSummary Summary(TJournalCounts all, std::vector<std::pair<std::string, TJournalCounts>> ports,
                        std::vector<std::pair<std::string, int>> kinds, int units, int firstPass, int underWay = 0)
{
    TJournalSummary summary;
    summary.All = all;
    summary.Ports = std::move(ports);
    summary.FailureKinds = std::move(kinds);
    summary.Units = units;
    summary.FirstPassUnits = firstPass;
    summary.UnderWay = underWay;
    return summary;
}

} // namespace

TEST(Summary, CountsControllersPortsFailureKindsAndTheFirstPassYield)
{
    const std::string p = "programmed", pp = "programmed with parameters", f = "failed", i = "interrupted",
                      u = "under way";
    struct Case {
        const char* what;
        std::vector<TJournalRecord> records;
        TJournalSummary expected;
    };
    const std::vector<Case> cases = {
        {"an empty span", {}, Summary({0, 0}, {}, {}, 0, 0)},
        {"both programmed outcomes count as programmed",
         {Counted(1, 1, p, "", "A"), Counted(2, 1, pp, "", "B")},
         Summary({2, 0}, {{"COM1", {2, 0}}}, {}, 2, 2)},
        {"a unit that failed, then passed, is no first pass",
         {Counted(1, 1, f, "no-response", "A"), Counted(2, 1, p, "", "A"), Counted(3, 1, p, "", "B")},
         Summary({2, 1}, {{"COM1", {2, 1}}}, {{"no-response", 1}}, 2, 1)},
        {"a unit that passed, then failed on a second try, passed the first time",
         {Counted(1, 2, p, "", "A"), Counted(2, 2, f, "erase-refused", "A")},
         Summary({1, 1}, {{"COM2", {1, 1}}}, {{"erase-refused", 1}}, 1, 1)},
        {"records without a unit count each as a unit",
         {Counted(1, 1, p, "", ""), Counted(2, 1, f, "no-response", ""), Counted(3, 1, p, "", "")},
         Summary({2, 1}, {{"COM1", {2, 1}}}, {{"no-response", 1}}, 3, 2)},
        {"the interrupted fail, as their own kind; under way is counted apart",
         {Counted(1, 1, i, "", "A"), Counted(2, 1, u, "", "B"), Counted(3, 1, f, "", "C")},
         Summary({0, 2}, {{"COM1", {0, 2}}}, {{"interrupted", 1}, {"unknown", 1}}, 2, 0, 1)},
        {"ports: COM by number, then device paths; kinds: most first, then by name",
         {Counted(1, 10, f, "no-response", "A"), Counted(2, 0, p, "", "B", "/dev/ttyUSB1"),
          Counted(3, 2, f, "block-refused", "C"), Counted(4, 0, f, "no-response", "D", "/dev/ttyACM0"),
          Counted(5, 2, p, "", "E"), Counted(6, 10, f, "block-refused", "F"), Counted(7, 2, f, "image-unusable", "G"),
          Counted(8, 0, f, "block-refused", "H", "/dev/ttyUSB1")},
         Summary({2, 6},
                 {{"COM2", {1, 2}}, {"COM10", {0, 2}}, {"/dev/ttyACM0", {0, 1}}, {"/dev/ttyUSB1", {1, 1}}},
                 {{"block-refused", 3}, {"no-response", 2}, {"image-unusable", 1}}, 8, 2)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SummarizeJournal(c.records), c.expected) << c.what;
}

TEST(Summary, TextCsvAndJsonSayTheSameCounts)
{
    const TJournalSummary summary =
        Summary({7, 3}, {{"COM2", {5, 1}}, {"/dev/ttyUSB0", {2, 2}}}, {{"no-response", 2}, {"a,\"b\"", 1}}, 8, 6, 1);
    const std::string since = "2026-12-10T00:00:00.000Z";

    EXPECT_EQ(FormatSummary(summary, since, THistoryFormat::Text),
              "Since 2026-12-10T00:00:00.000Z\n"
              "\n"
              "              Programmed  Failed\n"
              "All                    7       3\n"
              "COM2                   5       1\n"
              "/dev/ttyUSB0           2       2\n"
              "\n"
              "Failures by kind\n"
              "  no-response  2\n"
              "  a,\"b\"        1\n"
              "\n"
              "First-pass yield: 75.0 % (6 of 8 units)\n"
              "Under way: 1\n");
    EXPECT_EQ(FormatSummary(TJournalSummary{}, since, THistoryFormat::Text),
              "Since 2026-12-10T00:00:00.000Z\n\n     Programmed  Failed\nAll           0       0\n\n"
              "First-pass yield: - (no units)\n");

    const std::string csv = FormatSummary(summary, since, THistoryFormat::Csv);
    ASSERT_TRUE(csv.starts_with("\xEF\xBB\xBF"));
    EXPECT_EQ(ReadCsv(csv.substr(3)), (std::vector<std::vector<std::string>>{
                                          {"section", "name", "measure", "value"},
                                          {"span", "", "since", since},
                                          {"all", "", "programmed", "7"},
                                          {"all", "", "failed", "3"},
                                          {"all", "", "under way", "1"},
                                          {"port", "COM2", "programmed", "5"},
                                          {"port", "COM2", "failed", "1"},
                                          {"port", "/dev/ttyUSB0", "programmed", "2"},
                                          {"port", "/dev/ttyUSB0", "failed", "2"},
                                          {"failure", "no-response", "failed", "2"},
                                          {"failure", "a,\"b\"", "failed", "1"},
                                          {"yield", "", "units", "8"},
                                          {"yield", "", "first pass", "6"},
                                          {"yield", "", "percent", "75.0"},
                                      }));

    const std::string json = FormatSummary(summary, since, THistoryFormat::Json);
    ASSERT_EQ(Lines(json).size(), 1u);
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json;
    EXPECT_EQ(object["since"].toString().toStdString(), since);
    EXPECT_EQ(object["programmed"].toInt(), 7);
    EXPECT_EQ(object["failed"].toInt(), 3);
    EXPECT_EQ(object["under_way"].toInt(), 1);
    EXPECT_EQ(object["ports"].toArray().size(), 2);
    EXPECT_EQ(object["ports"].toArray()[1].toObject()["port"].toString(), "/dev/ttyUSB0");
    EXPECT_EQ(object["ports"].toArray()[1].toObject()["failed"].toInt(), 2);
    EXPECT_EQ(object["failure_kinds"].toArray()[1].toObject()["kind"].toString(), "a,\"b\"");
    EXPECT_EQ(object["units"].toInt(), 8);
    EXPECT_EQ(object["first_pass_units"].toInt(), 6);
    EXPECT_DOUBLE_EQ(object["first_pass_percent"].toDouble(), 75.0);
    EXPECT_TRUE(QJsonDocument::fromJson(QByteArray::fromStdString(
                                            FormatSummary(TJournalSummary{}, since, THistoryFormat::Json)))
                    .object()["first_pass_percent"]
                    .isNull());
}

TEST(Summary, StartOfLocalDayIsLocalMidnight)
{
    // Europe/Berlin: UTC+1 in December, UTC+2 in July.
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    using namespace std::chrono;
    const auto at = [](int y, unsigned m, unsigned d, int h) {
        return system_clock::time_point(sys_days(year(y) / m / d) + hours(h));
    };
    EXPECT_EQ(StartOfLocalDay(at(2026, 12, 10, 14)), "2026-12-09T23:00:00.000Z");
    EXPECT_EQ(StartOfLocalDay(at(2026, 12, 10, 23)), "2026-12-10T23:00:00.000Z"); // already the 11th in Berlin
    EXPECT_EQ(StartOfLocalDay(at(2026, 7, 1, 12)), "2026-06-30T22:00:00.000Z");
    if (saved)
        ::setenv("TZ", before.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}
