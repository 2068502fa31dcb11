// The parameter file's lines and their text commands, without a port or a file.

#include "paramlines.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

// The splitter fed one byte at a time, as the download reads the file.
Lines SplitByteByByte(std::string_view content)
{
    TParameterLineSplitter splitter;
    Lines lines;
    for (char c : content)
        if (auto line = splitter.Feed(static_cast<std::uint8_t>(c)))
            lines.push_back(*line);
    if (auto line = splitter.Finish())
        lines.push_back(*line);
    return lines;
}

TEST(ParameterCommand, TranslatesEachLine)
{
    struct TCase {
        std::string Line;
        std::string Name;
        std::string Command;
    };
    const TCase cases[] = {
        {"000=25", "ACCW", "ATACCW=25"},
        {"102 7", "SPNS", "ATSPNS 7"},
        {"T12", "PILT12", "ATPILT12"},
        {"999=1", "ZZZZ", "ATZZZZ=1"},
        {"000", "ACCW", "ATACCW"},
        {"", "ZZZZ", "ATZZZZ"},
        {"222", "PITC", "ATPITC"},           // a known code with nothing after it
        {"12", "ZZZZ", "ATZZZZ"},            // too short for any code
        {"1", "ZZZZ", "ATZZZZ"},
        {"00", "ZZZZ", "ATZZZZ"},            // a code's prefix is no code
        {"0000", "ACCW", "ATACCW0"},         // no separator needed after the code
        {" 000=1", "ZZZZ", "ATZZZZ0=1"},     // the code is the first three characters
        {"t12=5", "ZZZZ", "ATZZZZ=5"},       // a lower-case 't' is no table line
        {"T", "PILT", "ATPILT"},             // six characters, yet nothing appended
        {"TA", "PILTA", "ATPILTA"},
        {"T00=1", "PILT00=1", "ATPILT00=1"}, // the whole line, not from its fourth character
        {"Tab\tle\x01", "PILTab\tle\x01", "ATPILTab\tle\x01"},
        {"000\xFF\x80", "ACCW", "ATACCW\xFF\x80"},
        {"000\0=1"s, "ACCW", "ATACCW\0=1"s}, // a NUL is line content like any byte
        {"\0T1"s, "ZZZZ", "ATZZZZ"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.Line << '"');
        EXPECT_EQ(ParameterCommandName(c.Line), c.Name);
        EXPECT_EQ(ParameterCommand(c.Line), c.Command);
    }
}

TEST(ParameterCommand, KnowsEveryCodeOfTheTable)
{
    struct TCode {
        const char* Code;
        const char* Name;
    };
    const TCode codes[] = {
        {"000", "ACCW"}, {"001", "SINP"}, {"002", "FRTL"}, {"010", "SFMG"}, {"011", "FCMG"}, {"020", "SFIG"},
        {"021", "FCIG"}, {"030", "MMAX"}, {"031", "MMIN"}, {"040", "MCLM"}, {"100", "EMAX"}, {"101", "EMIN"},
        {"102", "SPNS"}, {"110", "SPTO"}, {"111", "SPCL"}, {"112", "SPCR"}, {"120", "HMAX"}, {"121", "HMIN"},
        {"200", "PIMD"}, {"201", "PIDB"}, {"210", "TBEQ"}, {"211", "TBDV"}, {"212", "TBLG"}, {"213", "TBAG"},
        {"220", "PIGN"}, {"221", "PIDG"}, {"222", "PITC"},
    };
    for (const auto& c : codes) {
        SCOPED_TRACE(c.Code);
        EXPECT_EQ(ParameterCommand(std::string(c.Code) + "=-1.5"), "AT" + std::string(c.Name) + "=-1.5");
    }
    // Neighbours of the codes that are not in the table.
    for (const char* unknown : {"003", "012", "022", "032", "041", "050", "103", "113", "122", "130", "202",
                                "214", "223", "230", "300"}) {
        SCOPED_TRACE(unknown);
        EXPECT_EQ(ParameterCommandName(unknown), "ZZZZ");
    }
}

TEST(ParameterFile, SplitsIntoTheLinesTheDownloadSends)
{
    struct TCase {
        const char* What;
        std::string Content;
        Lines Expected;
    };
    const TCase cases[] = {
        {"an empty file", "", {}},
        {"LF endings", "000=25\n102 7\n", {"000=25", "102 7"}},
        {"CR LF endings", "000=25\r\n102 7\r\n", {"000=25", "102 7"}},
        {"blank lines", "000=1\r\n\r\n\n222\n", {"000=1", "", "", "222"}},
        {"a single LF", "\n", {""}},
        {"a short line with its LF", "12\n", {"12"}},
        {"a short last line without LF", "000=25\n12", {"000=25"}},
        {"a one-character last line", "000=25\nT", {"000=25"}},
        {"a three-character last line without LF", "000=25\n222", {"000=25", "222"}},
        {"a CR alone ends nothing", "000=1\r102 7\n", {"000=1102 7"}},
        {"CRs inside a line", "0\r0\r0=1\n", {"000=1"}},
        {"CRs do not lengthen a last line", "12\r\r\r", {}},
        {"a last line with a trailing CR", "123\r", {"123"}},
        {"only CRs", "\r\r\r", {}},
        {"NUL and 8-bit bytes", "0\0"s "0=1\nT\xFF\x80\n"s, {"0\0"s "0=1"s, "T\xFF\x80"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        EXPECT_EQ(ParameterLines(c.Content), c.Expected);
        EXPECT_EQ(SplitByteByByte(c.Content), c.Expected);
    }
}

TEST(ParameterFile, TurnsAWholeFileIntoItsCommands)
{
    const std::string file = "000=25\r\n102 7\r\nT12\r\n999=1\r\n000\r\n\r\nt12=5\n12\n221=3";
    const Lines expected = {"ATACCW=25", "ATSPNS 7", "ATPILT12", "ATZZZZ=1", "ATACCW",
                            "ATZZZZ",    "ATZZZZ=5", "ATZZZZ",   "ATPIDG=3"};
    Lines commands;
    for (const auto& line : ParameterLines(file))
        commands.push_back(ParameterCommand(line));
    EXPECT_EQ(commands, expected);
}

TEST(ParameterLineSplitter, ReportsEachLineAtItsLineFeedAndStartsAfreshAfterFinish)
{
    TParameterLineSplitter splitter;
    for (char c : std::string_view("000=2"))
        EXPECT_EQ(splitter.Feed(static_cast<std::uint8_t>(c)), std::nullopt);
    EXPECT_EQ(splitter.Feed('\r'), std::nullopt);
    EXPECT_EQ(splitter.Feed('\n'), "000=2");
    EXPECT_EQ(splitter.Feed('\n'), "");

    // A dropped short tail must not reappear at the front of the next file's line.
    splitter.Feed('1');
    splitter.Feed('2');
    EXPECT_EQ(splitter.Finish(), std::nullopt);
    splitter.Feed('3');
    EXPECT_EQ(splitter.Feed('\n'), "3");

    splitter.Feed('2');
    splitter.Feed('2');
    splitter.Feed('2');
    EXPECT_EQ(splitter.Finish(), "222");
    EXPECT_EQ(splitter.Finish(), std::nullopt);
}

// The controller's answers, fed byte by byte as they may arrive: each LF ends a
// line, and only "ERROR" (trimmed, any letter case) refuses.
TEST(AnswerLineReader, TellsARefusalAtEachLineFeed)
{
    struct TCase {
        const char* What;
        std::string Answers;
        std::vector<bool> Expected; // one for each LF
    };
    const std::string longBlanks(40, ' ');
    const TCase cases[] = {
        {"OK", "OK\r\n", {false}},
        {"ERROR", "ERROR\r\n", {true}},
        {"any letter case", "error\nErRoR\r\n", {true, true}},
        {"blanks and controls around it", " \tERROR \r\n\0ERROR\x01\n"s, {true, true}},
        {"LF alone ends a line", "ERROR\n", {true}},
        {"CR inside the word is dropped", "ERR\rOR\n", {true}},
        {"the modem's blank line first", "\r\nERROR\r\n", {false, true}},
        {"more than the word", "ERRORS\nERROR 5\n+CME ERROR: 3\nNO ERROR\n", {false, false, false, false}},
        {"the word cut short", "ERRO\n", {false}},
        {"many blanks behind it", "ERROR" + longBlanks + "\n", {true}},
        {"something long behind the blanks", "ERROR" + longBlanks + "X\n", {false}},
        {"many blanks before it", longBlanks + "ERROR\n", {true}},
        {"a long line", std::string(10000, 'E') + "\nERROR\n", {false, true}},
        {"8-bit bytes are no letters", "\xC5RROR\nERROR\xA0\n", {false, false}},
        {"no LF, no answer", "ERROR", {}},
        {"an empty line", "\n", {false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TAnswerLineReader reader;
        std::vector<bool> told;
        for (const char b : c.Answers) {
            if (const auto refusal = reader.Feed(static_cast<std::uint8_t>(b)))
                told.push_back(*refusal);
        }
        EXPECT_EQ(told, c.Expected);
    }

    // A line begun before a reset is forgotten.
    TAnswerLineReader reader;
    for (const char b : std::string_view("ERR"))
        reader.Feed(static_cast<std::uint8_t>(b));
    reader.Reset();
    for (const char b : std::string_view("OR"))
        reader.Feed(static_cast<std::uint8_t>(b));
    EXPECT_EQ(reader.Feed('\n'), false);
}

} // namespace
