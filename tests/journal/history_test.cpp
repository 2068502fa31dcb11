// The history as a terminal table, CSV and JSON, with fields that break naive
// formatting: commas, quotes, line breaks, non-ASCII, control characters, bytes
// that are not UTF-8, empty texts. CSV is read back by a strict RFC 4180 reader
// of the test's own, JSON by Qt's parser.

#include "journal_fixtures.h"
#include "journalhistory.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

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
