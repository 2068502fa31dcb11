// The local journal on real SQLite files: what goes in comes out, in order;
// several writers at once lose nothing; a journal that cannot be written says
// which file and why, and keeps what it had.

#include "journal.h"
#include "journal_fixtures.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <thread>
#include <sstream>

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

// SQLite's own verdict on the file, through a connection of the test's.
std::string IntegrityCheck(const std::filesystem::path& file)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    std::string verdict = "no answer";
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        verdict = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return verdict;
}

// Runs statements on the file through a connection of the test's own.
void Sql(const std::filesystem::path& file, const std::string& sql)
{
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK)
        ADD_FAILURE() << sql << ": " << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

// The first column of the first row, as text.
std::string SqlText(const std::filesystem::path& file, const std::string& sql)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    std::string text = "no answer";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        text = value ? value : "";
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return text;
}

// Every file of a folder, with its size and a hash of its content (short to
// show when a comparison fails).
std::map<std::string, std::string> FolderContent(const std::filesystem::path& folder)
{
    std::map<std::string, std::string> content;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        content[entry.path().filename().string()] =
            std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>{}(bytes));
    }
    return content;
}

// The local table's columns in layout 1, before the refused parameter lines
// were counted.
const std::vector<std::string_view> kLayout1Fields = {
    "id", "started", "ended", "host", "program_version", "front_end", "com_number", "device_path",
    "adapter_serial", "identification", "loader_file", "loader_sha256", "loader_version", "version_before",
    "version_to_install", "image_path", "image_size", "image_sha256", "flash_start", "flash_end", "block_size",
    "blocks_examined", "blocks_sent", "blocks_skipped", "parameter_file", "parameter_sha256",
    "parameter_lines_sent", "outcome", "failure_kind", "message", "duration_ms"};

// A field of the record as the SQL of layout 1 has it: its column's type and
// its value as a literal.
std::pair<std::string, std::string> Layout1Column(const TJournalRecord& record, std::string_view name)
{
    const QJsonValue value = QJsonDocument::fromJson(QByteArray::fromStdString(FormatHistoryJson({record})))
                                 .object()[QString::fromUtf8(name.data(), qsizetype(name.size()))];
    if (!value.isString())
        return {"INTEGER NOT NULL", std::to_string(value.toInteger())};
    std::string text = value.toString().toStdString();
    for (std::size_t at = 0; (at = text.find('\'', at)) != std::string::npos; at += 2)
        text.insert(at, 1, '\'');
    return {"TEXT NOT NULL", "'" + text + "'"};
}

const std::string kAbandonedMessageText =
    "The programmer ended during the session (killed, crashed or powered off) and left it unfinished";

std::string Writer()
{
    return JOURNAL_WRITER_PATH;
}

std::vector<std::string> WriterCommand(const std::filesystem::path& file, std::vector<std::string> options)
{
    std::vector<std::string> command = {Writer(), file.string()};
    command.insert(command.end(), options.begin(), options.end());
    return command;
}

} // namespace

TEST(Journal, GivesBackEveryFieldOfEveryRecordInTheOrderOfAppending)
{
    ScratchDir dir;
    const auto file = dir / "journal.sqlite";
    std::vector<TJournalRecord> written;
    {
        TJournal journal(file);
        for (int number : {3, 1, 2}) {
            written.push_back(SampleRecord(number));
            journal.Append(written.back());
        }
        // Fields at their extremes: empty texts, a failure, numbers past 32 bits,
        // an identification decoded from Latin-1 bytes such as "QR740 \xB5\xE9\xFF".
        TJournalRecord odd = SampleRecord(4);
        odd.ComNumber = 0;
        odd.AdapterSerial.clear();
        odd.Identification = "QR740 \xC2\xB5\xC3\xA9\xC3\xBF";
        odd.VersionBefore.clear();
        odd.ParameterFile.clear();
        odd.ParameterSha256.clear();
        odd.ParameterLinesSent = 0;
        odd.Outcome = std::string(kOutcomeFailed);
        odd.FailureKind = "no-response";
        odd.Message = "No response from the controller.\nCheck the cable, \"COM3\", and try again.";
        odd.ImageSize = 5'000'000'000;
        odd.FlashEnd = 0xFFFFFFFF;
        written.push_back(odd);
        journal.Append(odd);
        EXPECT_EQ(journal.Records(), written);
    }
    // A new connection, as the next start of the program makes.
    TJournal reopened(file);
    const auto read = reopened.Records();
    ASSERT_EQ(read.size(), written.size());
    for (std::size_t i = 0; i < read.size(); ++i)
        EXPECT_EQ(read[i], written[i]) << "record " << i;
}

TEST(Journal, StoresTextsAsValidUtf8WithoutNul)
{
    struct Case {
        const char* name;
        std::string given;
        std::string stored;
    };
    const std::vector<Case> cases = {
        {"UTF-8 unchanged", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x94\xA7", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x94\xA7"},
        {"a Latin-1 byte not decoded", std::string("QR\xB5" "740"), "QR\xEF\xBF\xBD" "740"},
        {"a NUL", std::string("QR\0" "740", 6), "QR\xEF\xBF\xBD" "740"},
        {"a sequence cut short", "ab\xE2\x82", "ab\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"an overlong slash", "\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"a surrogate", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    ScratchDir dir;
    TJournal journal(dir / "journal.sqlite");
    for (const Case& c : cases) {
        TJournalRecord record = SampleRecord(1);
        record.Identification = c.given;
        record.ImagePath = c.given;
        journal.Append(record);
        const TJournalRecord back = journal.Records().back();
        EXPECT_EQ(back.Identification, c.stored) << c.name;
        EXPECT_EQ(back.ImagePath, c.stored) << c.name;
    }
}

TEST(Journal, SinceKeepsTheRecordsStartedAtOrAfterTheMomentInTheOrderOfAppending)
{
    ScratchDir dir;
    TJournal journal(dir / "journal.sqlite");
    // Appended out of time order: a bench whose sessions overlapped.
    const std::vector<int> seconds = {20, 10, 30, 10};
    std::vector<TJournalRecord> records;
    for (int second : seconds) {
        records.push_back(SampleRecord(second));
        journal.Append(records.back());
    }
    const auto ids = [&](std::vector<int> which) {
        std::vector<std::string> chosen;
        for (int i : which)
            chosen.push_back(records[static_cast<std::size_t>(i)].Id);
        return chosen;
    };
    struct Case {
        std::string since;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"", ids({0, 1, 2, 3})},
        {"2026-12-10T07:00:00.000Z", ids({0, 1, 2, 3})},
        {"2026-12-10T08:00:10.000Z", ids({0, 1, 2, 3})}, // exactly the earliest start
        {"2026-12-10T08:00:10.001Z", ids({0, 2})},
        {"2026-12-10T08:00:20.000Z", ids({0, 2})},
        {"2026-12-10T08:00:30.000Z", ids({2})},
        {"2026-12-10T08:00:30.001Z", {}},
        {"2026-12-11T00:00:00.000Z", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Ids(journal.Records(c.since)), c.expected) << "since " << c.since;

    EXPECT_THROW(journal.Records("2026-12-10"), TJournalError);
}

// The filters of --history, alone and together, against records that differ
// in one field at a time; a unit's label full of SQL is only ever a value. A
// record under way of a program that has died is found as interrupted, as
// every reader shows it.
TEST(Journal, FiltersKeepTheRecordsThatMatchEveryFieldGiven)
{
    ScratchDir dir;
    const auto file = dir / "journal.sqlite";
    ChildProcess doomed(WriterCommand(file, {"--writer", "doomed", "--count", "1", "--under-way"}),
                        (dir / "out").string(), (dir / "err").string());
    ASSERT_TRUE(WaitFor([&] { return dir.ReadFile("out").find("ready") != std::string::npos; })) << dir.ReadFile("err");
    const std::string doomedId = Lines(dir.ReadFile("out"))[0];
    doomed.Kill();
    // Read before any writer has closed it: still under way in the file.
    TJournalFilter interrupted;
    interrupted.Outcome = "interrupted";
    EXPECT_EQ(Ids(ReadJournal(file, interrupted)), std::vector<std::string>{doomedId});
    interrupted.Outcome = "under way";
    EXPECT_EQ(Ids(ReadJournal(file, interrupted)), std::vector<std::string>{});

    TJournal journal(file);
    const auto add = [&](int number, std::int64_t com, const std::string& device, const std::string& outcome,
                         const std::string& unit, const std::string& identification) {
        TJournalRecord record = SampleRecord(number);
        record.ComNumber = com;
        record.DevicePath = device;
        record.Outcome = outcome;
        record.Unit = unit;
        record.Identification = identification;
        journal.Append(record);
        return record.Id;
    };
    const std::string injection = "x' OR '1'='1";
    const std::string a = add(10, 3, "/dev/ttyS2", "programmed", "QR000101", "QR740");
    const std::string b = add(11, 3, "/dev/ttyS2", "programmed with parameters", "QR000102", "QR740");
    const std::string c = add(12, 4, "/dev/ttyS3", "failed", "QR000101", "QR740");
    const std::string d = add(13, 0, "/dev/ttyUSB0", "failed", injection, "QR741");
    const std::string e = add(14, 0, "/dev/ttyUSB0", "interrupted", "", "QR740");

    struct Case {
        const char* what;
        TJournalFilter filter;
        std::vector<std::string> expected;
    };
    const auto filter = [](std::string port, std::string outcome, std::string unit, std::string identification,
                           std::string since = {}) {
        TJournalFilter f;
        f.Port = std::move(port);
        f.Outcome = std::move(outcome);
        f.Unit = std::move(unit);
        f.Identification = std::move(identification);
        f.Since = std::move(since);
        return f;
    };
    const std::vector<Case> cases = {
        {"none", filter("", "", "", ""), {doomedId, a, b, c, d, e}},
        {"a COM number", filter("COM3", "", "", ""), {a, b}},
        {"a COM number in lower case", filter("com4", "", "", ""), {c}},
        {"a device path", filter("/dev/ttyUSB0", "", "", ""), {d, e}},
        {"a device path, whatever COM number it had", filter("/dev/ttyS2", "", "", ""), {a, b}},
        {"a COM number nothing used", filter("COM9", "", "", ""), {}},
        {"programmed takes both", filter("", "programmed", "", ""), {a, b}},
        {"with parameters only", filter("", "programmed with parameters", "", ""), {b}},
        {"failed", filter("", "failed", "", ""), {c, d}},
        {"interrupted, the dead program's too", filter("", "interrupted", "", ""), {doomedId, e}},
        {"under way: none left", filter("", "under way", "", ""), {}},
        {"a unit's whole history", filter("", "", "QR000101", ""), {a, c}},
        {"a unit that is SQL", filter("", "", injection, ""), {d}},
        {"a unit's prefix is no match", filter("", "", "QR0001", ""), {}},
        {"an identification", filter("", "", "", "QR741"), {d}},
        {"all together", filter("COM4", "failed", "QR000101", "QR740"), {c}},
        {"together, one not matching", filter("COM3", "failed", "QR000101", "QR740"), {}},
        {"with since", filter("", "programmed", "", "", "2026-12-10T08:00:11.000Z"), {b}},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(Ids(ReadJournal(file, test.filter)), test.expected) << test.what;
        EXPECT_EQ(Ids(journal.Records(test.filter)), test.expected) << test.what << ", while writing";
    }
    EXPECT_EQ(SqlText(file, "SELECT count(*) FROM sessions"), "6") << "the injection touched nothing";
}

TEST(Journal, IdsAreDistinctVersion4Uuids)
{
    const std::regex uuid4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 100000; ++i) {
        const std::string id = NewJournalId();
        ASSERT_TRUE(std::regex_match(id, uuid4)) << id;
        ASSERT_TRUE(seen.insert(id).second) << "repeated " << id;
    }
}

TEST(Journal, TimesAreUtcWithMillisecondsAndZ)
{
    using namespace std::chrono;
    const auto day = sys_days(year(2026) / 2 / 28);
    EXPECT_EQ(JournalTime(system_clock::time_point(day + hours(23) + minutes(59) + seconds(59) + milliseconds(999))),
              "2026-02-28T23:59:59.999Z");
    EXPECT_EQ(JournalTime(system_clock::time_point(day + microseconds(1500))), "2026-02-28T00:00:00.001Z");
    EXPECT_TRUE(IsJournalTime(JournalTimeNow()));
    for (const char* bad : {"2026-02-29T00:00:00.000Z", "2026-12-10T24:00:00.000Z", "2026-12-10T14:03:22Z",
                            "2026-12-10 14:03:22.123Z", "2026-12-10T14:03:22.123", ""})
        EXPECT_FALSE(IsJournalTime(bad)) << bad;
}

TEST(Journal, RefusesAnUnfitRecordAndStoresNothing)
{
    ScratchDir dir;
    const auto file = dir / "journal.sqlite";
    TJournal journal(file);
    const TJournalRecord first = SampleRecord(1);
    journal.Append(first);

    struct Case {
        const char* name;
        std::function<void(TJournalRecord&)> spoil;
        std::string cause;
    };
    const std::vector<Case> cases = {
        {"no id", [](TJournalRecord& r) { r.Id.clear(); }, "the record has no id"},
        {"an id already there", [&](TJournalRecord& r) { r.Id = first.Id; }, "UNIQUE constraint failed: sessions.id"},
        {"a local time", [](TJournalRecord& r) { r.Started = "2026-12-10 09:00:00"; },
         "the record's started time \"2026-12-10 09:00:00\" is not in the form 2026-12-10T14:03:22.123Z"},
        {"no end", [](TJournalRecord& r) { r.Ended.clear(); },
         "the record's ended time \"\" is not in the form 2026-12-10T14:03:22.123Z"},
    };
    for (const Case& c : cases) {
        TJournalRecord record = SampleRecord(2);
        c.spoil(record);
        try {
            journal.Append(record);
            ADD_FAILURE() << c.name << ": appended";
        } catch (const TJournalError& error) {
            EXPECT_EQ(error.Step(), TJournalError::TStep::Write) << c.name;
            EXPECT_EQ(error.File(), file) << c.name;
            EXPECT_EQ(std::string(error.what()), "Unable to write to journal " + file.string() + ": " + c.cause)
                << c.name;
        }
    }
    EXPECT_EQ(Ids(journal.Records()), std::vector<std::string>{first.Id});
}

// What another program leaves in a folder: files it made itself, an SQLite
// database of its own.
struct TForeignFile {
    const char* name;
    std::function<void(const std::filesystem::path&)> make;
    std::string cause; // after "not a journal", for a writer and a reader alike
};

const std::vector<TForeignFile> kForeignFiles = {
    {"text", [](const auto& file) { std::ofstream(file) << std::string(4096, 'x'); }, " (file is not a database)"},
    {"another program's database",
     [](const auto& file) { Sql(file, "CREATE TABLE parts (number TEXT); INSERT INTO parts VALUES ('A-1');"); },
     " (an SQLite database without the journal's table)"},
    {"another program's table named sessions",
     [](const auto& file) { Sql(file, "CREATE TABLE sessions (who TEXT); INSERT INTO sessions VALUES ('me');"); },
     " (its table sessions is another program's)"},
};

// A journal is made in a folder that is there, never in one made for it, and a
// file that is no journal is refused as it is, not made one.
TEST(Journal, RefusesAMissingFolderAndAFileThatIsNoJournalLeavingThemAsTheyWere)
{
    ScratchDir dir;
    const auto nested = dir / "new" / "journal.sqlite";
    try {
        TJournal journal(nested);
        ADD_FAILURE() << "opened";
    } catch (const TJournalError& error) {
        EXPECT_EQ(error.Cause(), "unable to open database file (folder " + (dir / "new").string() +
                                     ": errno 2, No such file or directory)");
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "new"));

    for (const TForeignFile& foreign : kForeignFiles) {
        SCOPED_TRACE(foreign.name);
        const auto file = dir / "other.db";
        std::filesystem::remove(file);
        foreign.make(file);
        const std::string before = dir.ReadFile("other.db");
        try {
            TJournal journal(file);
            ADD_FAILURE() << "opened";
        } catch (const TJournalError& error) {
            EXPECT_EQ(std::string(error.what()), "Unable to open journal " + file.string() + ": not a journal" +
                                                     foreign.cause);
        }
        EXPECT_EQ(dir.ReadFile("other.db"), before);
    }

    // An empty file, as `touch` leaves it, is where a journal was meant to be.
    dir.WriteFile("touched.sqlite", "");
    TJournal(dir / "touched.sqlite").Append(SampleRecord(1));
    EXPECT_EQ(ReadJournal(dir / "touched.sqlite").size(), 1u);
}

// Reading opens read-only and leaves the folder as it found it: no file made,
// not beside the journal either, and a file that is no journal says so.
TEST(Journal, ReadingWritesNothingAndNamesWhatItCannotRead)
{
    ScratchDir dir;
    const auto journalFile = dir / "journal.sqlite";
    std::vector<TJournalRecord> written;
    {
        TJournal journal(journalFile);
        written = {SampleRecord(1), SampleRecord(2)};
        for (const TJournalRecord& record : written)
            journal.Append(record);
    }
    std::vector<TForeignFile> cases = kForeignFiles;
    cases.push_back({"an empty file", [](const auto& file) { std::ofstream{file}; }, " (the file is empty)"});
    for (const TForeignFile& foreign : cases)
        foreign.make(dir / (std::string(foreign.name) + ".db"));
    const std::map<std::string, std::string> before = FolderContent(dir.Path());

    EXPECT_EQ(ReadJournal(journalFile), written);
    EXPECT_EQ(ReadJournal(journalFile, written[1].Started), std::vector<TJournalRecord>{written[1]});
    for (const TForeignFile& foreign : cases) {
        const auto file = dir / (std::string(foreign.name) + ".db");
        try {
            ReadJournal(file);
            ADD_FAILURE() << foreign.name << ": read";
        } catch (const TJournalError& error) {
            EXPECT_EQ(error.Step(), TJournalError::TStep::Read);
            EXPECT_EQ(std::string(error.what()), "Unable to read journal " + file.string() + ": not a journal" +
                                                     foreign.cause);
        }
    }
    try {
        ReadJournal(dir / "misspelt.sqlite");
        ADD_FAILURE() << "read a journal that is not there";
    } catch (const TJournalError& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to read journal " + (dir / "misspelt.sqlite").string() +
                                                 ": the file does not exist (errno 2, No such file or directory)");
    }
    EXPECT_EQ(FolderContent(dir.Path()), before);
}

// Root may write anywhere, so the reader runs as nobody when the test runs as
// root: the journal is then another user's and read-only for it, closed, and
// then open in a program that has a record under way.
TEST(Journal, AnotherUsersReadOnlyJournalIsReadWithoutWriting)
{
    ScratchDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    const auto folder = dir / "bench";
    std::filesystem::create_directory(folder);
    const auto file = folder / "journal.sqlite";
    const std::vector<std::string> command = Unprivileged(dir.Path(), WriterCommand(file, {"--read"}));
    const auto read = [&] {
        ChildProcess child(command, (dir / "out").string(), (dir / "err").string());
        EXPECT_EQ(child.Wait(), 0) << dir.ReadFile("err");
        std::vector<std::string> outcomes;
        for (const std::string& line : Lines(dir.ReadFile("out")))
            outcomes.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line))
                                   .object()["outcome"].toString().toStdString());
        return outcomes;
    };

    TJournalRecord finished = SampleRecord(1);
    TJournal(file).Append(finished);
    ::chmod(file.c_str(), 0444);
    ::chmod(folder.c_str(), 0555);
    const std::map<std::string, std::string> closed = FolderContent(folder);
    EXPECT_EQ(read(), std::vector<std::string>{"programmed with parameters"});
    EXPECT_EQ(FolderContent(folder), closed);

    ::chmod(folder.c_str(), 0755);
    ::chmod(file.c_str(), 0644);
    TJournal running(file);
    running.Begin(SampleRecord(2));
    ::chmod(folder.c_str(), 0555);
    EXPECT_EQ(read(), (std::vector<std::string>{"programmed with parameters", "under way"}));
    ::chmod(folder.c_str(), 0755);
}

// A journal written by the programs before this one: read as it stands, and
// brought up to date by the first program that writes it, every record kept.
TEST(Journal, AnEarlierLayoutIsReadAsItStandsAndMigratedByTheFirstWriter)
{
    ScratchDir dir;
    const auto file = dir / "journal.sqlite";
    // Layout 1 as those programs made it, with a record they wrote.
    std::string columns = "seq INTEGER PRIMARY KEY AUTOINCREMENT";
    std::string names;
    std::string values;
    const TJournalRecord old = [] {
        TJournalRecord record = SampleRecord(7);
        record.ParameterLinesRefused = 0;
        record.FlashSha256.clear();
        record.Unit.clear();
        return record;
    }();
    for (const std::string_view name : kLayout1Fields) {
        const auto [type, literal] = Layout1Column(old, name);
        columns += ", " + std::string(name) + " " + type + (name == "id" ? " UNIQUE" : "");
        names += (names.empty() ? "" : ", ") + std::string(name);
        values += (values.empty() ? "" : ", ") + literal;
    }
    Sql(file, "PRAGMA journal_mode=WAL; CREATE TABLE sessions (" + columns +
                  ", forwarded TEXT); CREATE INDEX sessions_started ON sessions (started); "
                  "CREATE INDEX sessions_unforwarded ON sessions (seq) WHERE forwarded IS NULL; "
                  "INSERT INTO sessions (" + names + ") VALUES (" + values + "); PRAGMA user_version=1;");
    const std::string before = dir.ReadFile("journal.sqlite");

    EXPECT_EQ(ReadJournal(file), std::vector<TJournalRecord>{old});
    EXPECT_EQ(dir.ReadFile("journal.sqlite"), before) << "reading migrated it";

    TJournal journal(file);
    const TJournalRecord next = SampleRecord(8);
    journal.Append(next);
    EXPECT_EQ(journal.Records(), (std::vector<TJournalRecord>{old, next}));
    EXPECT_EQ(SqlText(file, "PRAGMA user_version"), "3");
    EXPECT_EQ(IntegrityCheck(file), "ok");
}

// Two programs on one journal: one dies with records under way, the other
// runs on. Every reader shows the dead one's records interrupted as soon as it
// is gone, without writing; the live one closes them at its next write, after
// which they are forwarded. A record of a program still running is never
// touched, nor one of a program that ended normally before it was closed,
// until it has ended.
TEST(Journal, RecordsUnderWayAreClosedOnlyOnceTheirProgramHasEnded)
{
    ScratchDir dir;
    const auto file = dir / "journal.sqlite";
    TJournal survivor(file);
    ChildProcess doomed(WriterCommand(file, {"--writer", "doomed", "--count", "2", "--under-way"}),
                        (dir / "out").string(), (dir / "err").string());
    ASSERT_TRUE(WaitFor([&] { return dir.ReadFile("out").find("ready") != std::string::npos; })) << dir.ReadFile("err");
    const std::vector<std::string> doomedIds = {Lines(dir.ReadFile("out"))[0], Lines(dir.ReadFile("out"))[1]};
    const auto outcomes = [&](const std::vector<TJournalRecord>& records) {
        std::vector<std::string> found;
        for (const TJournalRecord& record : records)
            found.push_back(record.Outcome);
        return found;
    };
    const auto ownerFiles = [&] {
        std::size_t count = 0;
        for (const auto& [name, content] : FolderContent(dir.Path()))
            count += name.find("journal.sqlite-owner-") == 0;
        return count;
    };
    EXPECT_EQ(ownerFiles(), 2u);

    survivor.Append(SampleRecord(1));
    EXPECT_EQ(survivor.CloseAbandoned(), 0u);
    EXPECT_EQ(outcomes(ReadJournal(file)), (std::vector<std::string>{"under way", "under way", "programmed with parameters"}));

    doomed.Kill();
    const std::string withOwners = dir.ReadFile("journal.sqlite") + dir.ReadFile("journal.sqlite-wal");
    const auto read = ReadJournal(file);
    EXPECT_EQ(outcomes(read), (std::vector<std::string>{"interrupted", "interrupted", "programmed with parameters"}));
    EXPECT_EQ(read[0].Message, kAbandonedMessageText);
    EXPECT_EQ(dir.ReadFile("journal.sqlite") + dir.ReadFile("journal.sqlite-wal"), withOwners) << "reading wrote";
    EXPECT_EQ(SqlText(file, "SELECT count(*) FROM sessions WHERE owner IS NOT NULL"), "2");

    // A program that ends normally with a record it never finished.
    {
        TJournal quitter(file);
        TJournalRecord unfinished = SampleRecord(3);
        unfinished.Host = LocalHostName();
        quitter.Begin(unfinished);
        // Its first write closed the dead program's records; its own stays.
        EXPECT_EQ(SqlText(file, "SELECT count(*) FROM sessions WHERE owner IS NOT NULL"), "1");
        EXPECT_EQ(survivor.CloseAbandoned(), 0u);
        EXPECT_EQ(outcomes(survivor.Records()).back(), "under way");
    }
    survivor.Append(SampleRecord(4));
    EXPECT_EQ(outcomes(ReadJournal(file)), (std::vector<std::string>{"interrupted", "interrupted",
                                                                     "programmed with parameters", "interrupted",
                                                                     "programmed with parameters"}));
    EXPECT_EQ(SqlText(file, "SELECT count(*) FROM sessions WHERE owner IS NOT NULL"), "0");
    EXPECT_EQ(SqlText(file, "SELECT group_concat(id) FROM sessions WHERE outcome = 'interrupted' AND seq < 3 "
                            "AND forwarded IS NULL"),
              doomedIds[0] + "," + doomedIds[1]);
    EXPECT_EQ(ownerFiles(), 1u) << "only the survivor's is left";
}

// Three programs append at once, as a window, a command-line programmer and a
// gang of ports would: every record is there once, each program's in its order.
TEST(Journal, ThreeProcessesAppendingAtOnceLoseNothing)
{
    ScratchDir dir;
    const auto file = dir / "journal.sqlite";
    constexpr int kEach = 150;
    const std::vector<std::string> writers = {"window", "cli", "gang"};
    std::vector<std::unique_ptr<ChildProcess>> children;
    // Each creates the file at the same moment, too.
    for (const std::string& writer : writers)
        children.push_back(std::make_unique<ChildProcess>(
            WriterCommand(file, {"--writer", writer, "--count", std::to_string(kEach)}),
            (dir / (writer + ".out")).string(), (dir / (writer + ".err")).string()));
    for (std::size_t i = 0; i < children.size(); ++i)
        EXPECT_EQ(children[i]->Wait(), 0) << writers[i] << ": " << dir.ReadFile(writers[i] + ".err");

    const auto records = TJournal(file).Records();
    EXPECT_EQ(records.size(), writers.size() * kEach);
    std::set<std::string> ids;
    std::map<std::string, std::vector<std::string>> byWriter;
    for (const TJournalRecord& record : records) {
        EXPECT_TRUE(ids.insert(record.Id).second) << "twice: " << record.Id;
        byWriter[record.Host].push_back(record.Id);
    }
    for (const std::string& writer : writers)
        EXPECT_EQ(byWriter["bench-" + writer], Lines(dir.ReadFile(writer + ".out")))
            << writer << "'s records, in the order it appended them";
    EXPECT_EQ(IntegrityCheck(file), "ok");
}

TEST(UnitSeries, WritesEachNumberAsItsFormatSaysAndRefusesWhatItCannotWrite)
{
    struct TCase {
        TUnitSeries Series;
        std::int64_t Number;
        std::string Text;  // when sound
        std::string Fault; // part of the fault, when not
    };
    const TCase cases[] = {
        {{"QR%06d", 1, 999999}, 42, "QR000042", ""},
        {{"%d", 0, 10}, 7, "7", ""},
        {{"LINE4-%4d-%%", 1, 9999}, 12, "LINE4-  12-%", ""},
        {{"QR%06d", 1, 999999}, 1234567, "QR1234567", ""}, // wider than its width: never cut
        {{"QR", 1, 9}, 0, "", "has no %d"},
        {{"%d-%d", 1, 9}, 0, "", "twice"},
        {{"%s", 1, 9}, 0, "", "only %d"},
        {{"%n%d", 1, 9}, 0, "", "only %d"},
        {{"%-6d", 1, 9}, 0, "", "only %d"},
        {{"%099d", 1, 9}, 0, "", "width"},
        {{"QR%d", 9, 1}, 0, "", "Last no less than First"},
        {{"QR%d", -1, 1}, 0, "", "0 or more"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Series.Format);
        const auto fault = UnitSeriesFault(c.Series);
        if (c.Fault.empty()) {
            EXPECT_FALSE(fault) << *fault;
            EXPECT_EQ(UnitText(c.Series, c.Number), c.Text);
        } else {
            ASSERT_TRUE(fault);
            EXPECT_NE(fault->find(c.Fault), std::string::npos) << *fault;
        }
    }
}

// Three programs and a gang's two threads take numbers from one series at once:
// every number is given once, none is skipped, and once the series is used up
// nothing more is given or stored.
TEST(UnitSeries, NoNumberIsGivenTwiceAcrossProgramsAndThreads)
{
    ScratchDir dir;
    const auto file = dir / "journal.sqlite";
    constexpr int kEach = 60;
    const TUnitSeries series{"QR%04d", 11, 11 + 5 * kEach - 1};
    const std::string units = series.Format + "," + std::to_string(series.First) + "," + std::to_string(series.Last);
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (const std::string writer : {"a", "b", "c"})
        children.push_back(std::make_unique<ChildProcess>(
            WriterCommand(file, {"--writer", writer, "--count", std::to_string(kEach), "--units", units}),
            (dir / (writer + ".out")).string(), (dir / (writer + ".err")).string()));
    TJournal gang(file);
    std::vector<std::thread> ports;
    std::vector<std::string> failures(2);
    for (int t = 0; t < 2; ++t)
        ports.emplace_back([&, t] {
            try {
                for (int i = 0; i < kEach; ++i) {
                    TJournalRecord record = SampleRecord(i, "gang" + std::to_string(t));
                    record.Unit = gang.BeginWithUnit(record, series);
                    gang.Append(record);
                }
            } catch (const std::exception& e) {
                failures[t] = e.what();
            }
        });
    for (std::thread& port : ports)
        port.join();
    for (std::size_t i = 0; i < children.size(); ++i)
        EXPECT_EQ(children[i]->Wait(), 0) << dir.ReadFile(std::string(1, char('a' + i)) + ".err");
    EXPECT_EQ(failures, std::vector<std::string>(2));

    std::set<std::string> given;
    for (const TJournalRecord& record : gang.Records())
        EXPECT_TRUE(given.insert(record.Unit).second) << "twice: " << record.Unit;
    std::set<std::string> expected;
    for (std::int64_t n = series.First; n <= series.Last; ++n)
        expected.insert(UnitText(series, n));
    EXPECT_EQ(given, expected);

    EXPECT_EQ(gang.UnitsLeft(series), 0);
    EXPECT_THROW(gang.BeginWithUnit(SampleRecord(99), series), TUnitSeriesUsedUp);
    EXPECT_EQ(gang.Records().size(), expected.size()) << "a refused number stores nothing";
    // A later Last goes on where the series stopped.
    TUnitSeries longer = series;
    longer.Last += 1;
    EXPECT_EQ(gang.BeginWithUnit(SampleRecord(100), longer), UnitText(series, series.Last + 1));
}

// A program killed between taking numbers and finishing its controllers: the
// numbers stay given, with the interrupted records that name them.
TEST(UnitSeries, ANumberTakenByAProgramThatDiesStaysGiven)
{
    ScratchDir dir;
    const auto file = dir / "journal.sqlite";
    const TUnitSeries series{"QR%06d", 1, 100};
    ChildProcess doomed(WriterCommand(file, {"--writer", "doomed", "--count", "2", "--under-way", "--units",
                                             "QR%06d,1,100"}),
                        (dir / "out").string(), (dir / "err").string());
    ASSERT_TRUE(WaitFor([&] { return dir.ReadFile("out").find("ready") != std::string::npos; })) << dir.ReadFile("err");
    doomed.Kill();

    const auto read = ReadJournal(file);
    ASSERT_EQ(read.size(), 2u);
    for (std::size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].Outcome, "interrupted");
        EXPECT_EQ(read[i].Unit, UnitText(series, std::int64_t(i) + 1));
    }
    EXPECT_EQ(UnitsLeftIn(file, series), 98);
    TJournal next(file);
    EXPECT_EQ(next.BeginWithUnit(SampleRecord(3), series), "QR000003");
}

// Three threads of one process, each with its own connection, and a fourth
// sharing one TJournal with the third: the gang of ports in one program.
TEST(Journal, ThreadsAppendingAtOnceLoseNothing)
{
    ScratchDir dir;
    const auto file = dir / "journal.sqlite";
    constexpr int kEach = 100;
    TJournal shared(file);
    std::vector<std::thread> threads;
    std::vector<std::string> failures(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            try {
                std::optional<TJournal> own;
                if (t < 3)
                    own.emplace(file);
                TJournal& journal = own ? *own : shared;
                for (int i = 0; i < kEach; ++i)
                    journal.Append(SampleRecord(i, "port" + std::to_string(t)));
            } catch (const std::exception& error) {
                failures[static_cast<std::size_t>(t)] = error.what();
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (const std::string& failure : failures)
        EXPECT_EQ(failure, "");
    const auto records = shared.Records();
    EXPECT_EQ(records.size(), 4u * kEach);
    const std::vector<std::string> list = Ids(records);
    const std::set<std::string> ids(list.begin(), list.end());
    EXPECT_EQ(ids.size(), records.size());
}

// Root may write anywhere, so the writer runs as nobody when the test runs as
// root; the journal's folder and file are made unwritable for it.
TEST(Journal, AnUnwritableJournalNamesTheFileAndTheCauseAndKeepsItsRecords)
{
    struct Case {
        const char* name;
        bool existing;         // the journal holds records before the writer comes
        mode_t folderMode;     // of the journal's folder
        mode_t fileMode;       // of the journal, when it exists
        std::string cause;     // what the writer is told; FOLDER stands for the folder
    };
    const std::string denied = "errno 13, Permission denied";
    const std::vector<Case> cases = {
        {"a new journal in a read-only folder", false, 0555, 0,
         "unable to open database file (folder FOLDER: " + denied + ")"},
        // The write-ahead log and its index are files beside the journal.
        {"a journal in a folder made read-only", true, 0555, 0666,
         "attempt to write a readonly database (folder FOLDER: " + denied + ")"},
        {"a read-only journal file", true, 0755, 0444, "attempt to write a readonly database (" + denied + ")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        ::chmod(dir.Path().c_str(), 0755);
        const auto folder = dir / "bench";
        std::filesystem::create_directory(folder);
        const auto file = folder / "journal.sqlite";
        std::vector<std::string> before;
        if (c.existing) {
            TJournal journal(file);
            for (int i = 0; i < 3; ++i) {
                journal.Append(SampleRecord(i));
                before.push_back(journal.Records().back().Id);
            }
        }
        if (c.existing)
            ::chmod(file.c_str(), c.fileMode);
        ::chmod(folder.c_str(), c.folderMode);

        ChildProcess writer(Unprivileged(dir.Path(), WriterCommand(file, {"--count", "1"})), (dir / "out").string(),
                            (dir / "err").string());
        EXPECT_EQ(writer.Wait(), 3);
        const std::string cause = std::regex_replace(c.cause, std::regex("FOLDER"), folder.string());
        EXPECT_EQ(dir.ReadFile("err"), "Unable to open journal " + file.string() + ": " + cause + "\n");

        ::chmod(folder.c_str(), 0755);
        if (c.existing) {
            EXPECT_EQ(Ids(TJournal(file).Records()), before);
            EXPECT_EQ(IntegrityCheck(file), "ok");
        } else {
            EXPECT_FALSE(std::filesystem::exists(file));
        }
    }
}

// A writer under a file-size limit fills its "disk": the failing Append names
// the file and the cause, every record appended before it is there, the file is
// sound, and the next program appends again.
TEST(Journal, AFullDiskNamesTheFileAndTheCauseAndKeepsEveryEarlierRecord)
{
    ScratchDir dir;
    const auto file = dir / "journal.sqlite";
    std::vector<std::string> ids;
    {
        TJournal journal(file);
        for (int i = 0; i < 5; ++i) {
            journal.Append(SampleRecord(i));
            ids.push_back(journal.Records().back().Id);
        }
    }
    // Larger than the files are now (the shared-memory index is 32 KiB), far
    // smaller than what the writer tries to add.
    const std::uintmax_t limit = std::max<std::uintmax_t>(std::filesystem::file_size(file), 32768) + 200 * 1024;
    ChildProcess writer(WriterCommand(file, {"--writer", "full", "--count", "100000", "--message-bytes", "3000",
                                             "--file-size-limit", std::to_string(limit)}),
                        (dir / "out").string(), (dir / "err").string());
    EXPECT_EQ(writer.Wait(), 4);
    const std::string error = dir.ReadFile("err");
    EXPECT_EQ(error.rfind("Unable to write to journal " + file.string() + ": database or disk is full", 0), 0u)
        << error;

    const std::vector<std::string> appended = Lines(dir.ReadFile("out"));
    EXPECT_GT(appended.size(), 0u);
    ids.insert(ids.end(), appended.begin(), appended.end());
    TJournal journal(file);
    EXPECT_EQ(Ids(journal.Records()), ids);
    EXPECT_EQ(IntegrityCheck(file), "ok");

    const TJournalRecord next = SampleRecord(99);
    journal.Append(next);
    EXPECT_EQ(journal.Records().back(), next);
}
