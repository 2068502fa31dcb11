#include "inifile.h"

#include <file_size_limit.h>
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Runs the rest of a scope as a user that file permissions apply to. Root passes
// every permission check, so a root test process takes the identity of "nobody"
// (effective ids only, so that it can return); anyone else is already bound by
// the permissions.
class TUnprivileged {
public:
    static constexpr uid_t kNobody = 65534;

    TUnprivileged()
    {
        if (::geteuid() != 0)
            return;
        groups_.resize(std::size_t(::getgroups(0, nullptr)));
        if (::getgroups(int(groups_.size()), groups_.data()) < 0 || ::setgroups(0, nullptr) != 0)
            return;
        gid_ = ::getegid();
        if (::setegid(kNobody) != 0) {
            Restore();
            return;
        }
        if (::seteuid(kNobody) != 0) {
            Restore();
            return;
        }
        dropped_ = true;
    }
    ~TUnprivileged() { Restore(); }
    TUnprivileged(const TUnprivileged&) = delete;
    TUnprivileged& operator=(const TUnprivileged&) = delete;

    // False when the process is root and could not give up its rights.
    bool Bound() const { return ::geteuid() != 0; }

private:
    void Restore()
    {
        if (!gid_)
            return;
        if (dropped_ && ::seteuid(0) != 0)
            std::abort(); // carrying on as nobody would fail every later test obscurely
        if (::setegid(*gid_) != 0 || ::setgroups(groups_.size(), groups_.data()) != 0)
            std::abort();
        gid_.reset();
        dropped_ = false;
    }

    std::vector<gid_t> groups_;
    std::optional<gid_t> gid_;
    bool dropped_ = false;
};

struct FindCase {
    const char* what;
    std::string content;
    const char* section;
    const char* key;
    std::optional<std::string> expected;
};

TEST(FindProfileValue, ReadsValuesAsTheProfileFunctionsDo)
{
    const std::string longValue(3000, 'x');
    const FindCase cases[] = {
        {"plain", "[Communications]\nPort=3\n", "Communications", "Port", "3"},
        {"names in any case", "[COMMUNICATIONS]\nport=3\n", "Communications", "Port", "3"},
        {"UTF-8 names fold their ASCII letters", "[Loader]\nQR740-\xC3\xA9=l.bin\n", "LOADER",
         "qr740-\xC3\xA9", "l.bin"},
        // Folding E3 to C3 as Latin-1 capitals would make these bytes spell "é".
        {"other bytes must match exactly", "[Loader]\nQR740-\xC3\xA9=l.bin\n", "Loader",
         "QR740-\xE3\xA9", std::nullopt},
        {"UTF-8 value bytes as they stand", "[Binary]\nQR 740=Firmw\xC3\xA4re\n", "Binary",
         "QR 740", "Firmw\xC3\xA4re"},
        {"byte-order mark before the first section", "\xEF\xBB\xBF[Communications]\r\nPort=2\r\n",
         "Communications", "Port", "2"},
        {"a mark inside the file is part of its line", "[S]\n\xEF\xBB\xBFK=1\n", "S", "K",
         std::nullopt},
        {"blanks around key and value", "[S]\n  Key \t=   a value  \r\n", "S", "Key", "a value"},
        {"header with blanks", "  [ S ]  \nK=v\n", "S", "K", "v"},
        {"double quotes", "[S]\nK=\"quoted\"\n", "S", "K", "quoted"},
        {"single quotes", "[S]\nK='quoted'\n", "S", "K", "quoted"},
        {"quotes inside blanks keep inner blanks", "[S]\nK =  \" padded \"  \n", "S", "K",
         " padded "},
        {"one pair only", "[S]\nK=\"\"x\"\"\n", "S", "K", "\"x\""},
        {"mismatched quotes stay", "[S]\nK=\"x'\n", "S", "K", "\"x'"},
        {"a lone quote stays", "[S]\nK=\"\n", "S", "K", "\""},
        {"present but empty", "[S]\nK=\n", "S", "K", ""},
        {"first equals sign splits", "[S]\nK=a=b\n", "S", "K", "a=b"},
        {"CR LF line ends", "[S]\r\nK=v\r\n", "S", "K", "v"},
        {"last line without line end", "[S]\nK=v", "S", "K", "v"},
        {"first of two", "[S]\nK=1\nK=2\n", "S", "K", "1"},
        {"second section of the same name", "[S]\nA=1\n[T]\nK=0\n[s]\nK=2\n", "S", "K", "2"},
        {"cut to 2047 characters", "[S]\nK=" + longValue + "\n", "S", "K",
         longValue.substr(0, 2047)},
        {"missing file content", "", "S", "K", std::nullopt},
        {"missing section", "[T]\nK=1\n", "S", "K", std::nullopt},
        {"key of another section", "[T]\nK=1\n[S]\nJ=2\n", "S", "K", std::nullopt},
        {"key before any section", "K=1\n[S]\n", "S", "K", std::nullopt},
        {"comment line", "[S]\n;K=1\n", "S", "K", std::nullopt},
        {"line without equals sign", "[S]\nK\n", "S", "K", std::nullopt},
        {"prefix of a longer key", "[S]\nKey=1\n", "S", "K", std::nullopt},
        {"names asked for with blanks", "[S]\nK=v\n", " S\t", "\tK ", "v"},
    };
    for (const FindCase& c : cases)
        EXPECT_EQ(FindProfileValue(c.content, c.section, c.key), c.expected) << c.what;
}

// The command line checks every loader [Loader] names before it touches a line.
TEST(ProfileKeys, ListsEachKeyOfASectionOnceInTheFilesOrder)
{
    const struct {
        const char* what;
        const char* content;
        std::vector<std::string> keys;
    } cases[] = {
        {"plain", "[Loader]\nQR740=a.ldr\nQR741 = b.ldr\n", {"QR740", "QR741"}},
        {"other sections, comments, blank and broken lines",
         "[Ports]\nCOM1=x\n[loader]\n; QR9=c.ldr\n\nno equals\n=no name\n QR 740 =d.ldr\n[Binary]\nQR 740=x\n",
         {"QR 740"}},
        {"a key again, in any case, and a second section of the name",
         "[Loader]\nQR740=a\n[Other]\nX=1\n[LOADER]\nqr740=b\nQR742=c\n", {"QR740", "QR742"}},
        {"byte-order mark and CR LF", "\xEF\xBB\xBF[Loader]\r\nQR740=a\r\n", {"QR740"}},
        {"no such section", "[Ports]\nCOM1=x\n", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProfileKeys(c.content, "Loader"), c.keys) << c.what;
}

TEST(ParseProfileInteger, ReadsTheLeadingIntegerInDecimalOrThreeHexadecimalForms)
{
    const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
        {"12", 12},
        {"  12", 12},
        {"0012", 12},
        {"+7", 7},
        {"-3", -3},
        {"0", 0},
        {"0x3", 3},
        {"0X1f", 31},
        {"$FF", 255},
        {"-$10", -16},
        {"2147483647", 2147483647},
        {"-2147483648", std::int32_t(-2147483647 - 1)},
        {"0x7FFFFFFF", 2147483647},
        // What follows the digits is not read.
        {"2 ", 2},
        {"2x", 2},
        {"12abc", 12},
        {"1.5", 1},
        {"4 ; bench 4", 4},
        {"0x1fz", 31},
        {"$ag", 10},
        // No hexadecimal digit after "0x": the decimal 0, then other text.
        {"0x", 0},
        {"0xg", 0},
        // No digit at all.
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"abc", std::nullopt},
        {"+", std::nullopt},
        {"- 5", std::nullopt},
        {"$", std::nullopt},
        {"$G", std::nullopt},
        {"x2", std::nullopt},
        // Outside 32 bits, with or without text after it.
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"0x80000000", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"2147483648 ", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(ParseProfileInteger(text), expected) << '"' << text << '"';
}

struct SetCase {
    const char* what;
    const char* content;
    const char* expected;
};

TEST(SetProfileValue, ChangesOnlyTheKeyAndKeepsEveryOtherByte)
{
    const SetCase cases[] = {
        {"empty file", "", "[Communications]\nPort=3\n"},
        {"replaced in place",
         "; bench 4\n[Communications]\nPort=12\nBaud=9600\n\n[Software]\nNew Version=3.03\n",
         "; bench 4\n[Communications]\nPort=3\nBaud=9600\n\n[Software]\nNew Version=3.03\n"},
        {"the file's spelling of the key stays",
         "[communications]\r\n  port = 12  \r\n[x]\r\n",
         "[communications]\r\n  port =3\r\n[x]\r\n"},
        {"added after the section's last line, before the blank line",
         "[Communications]\nBaud=1\n\n[Other]\nX=1\n",
         "[Communications]\nBaud=1\nPort=3\n\n[Other]\nX=1\n"},
        {"a commented key is not the key", "[Communications]\n;Port=1\n",
         "[Communications]\n;Port=1\nPort=3\n"},
        {"section header as the last line, no line end", "[Communications]",
         "[Communications]\nPort=3\n"},
        {"section's last line without line end", "[Communications]\nBaud=1",
         "[Communications]\nBaud=1\nPort=3\n"},
        {"new section after a last line without line end", "[Software]\nNew Version=1",
         "[Software]\nNew Version=1\n[Communications]\nPort=3\n"},
        // A read strips a CR that ends the file, so the line looks ended.
        {"section's last line ends in a lone CR", "[Communications]\nBaud=1\r",
         "[Communications]\nBaud=1\r\nPort=3\n"},
        {"new section after a last line ending in a lone CR", "[A]\r\nK=1\r",
         "[A]\r\nK=1\r\n[Communications]\r\nPort=3\r\n"},
        {"new lines follow the file's CR LF", "[A]\r\nK=1\r\n",
         "[A]\r\nK=1\r\n[Communications]\r\nPort=3\r\n"},
        {"8-bit bytes pass unchanged", "[A]\nK=\xE9\xFF\x01\n",
         "[A]\nK=\xE9\xFF\x01\n[Communications]\nPort=3\n"},
        {"byte-order mark kept, the section behind it found",
         "\xEF\xBB\xBF[Communications]\r\nPort=1\r\n", "\xEF\xBB\xBF[Communications]\r\nPort=3\r\n"},
        {"byte-order mark kept, the key added to the section behind it",
         "\xEF\xBB\xBF[Communications]", "\xEF\xBB\xBF[Communications]\nPort=3\n"},
        {"a file holding only a byte-order mark", "\xEF\xBB\xBF",
         "\xEF\xBB\xBF[Communications]\nPort=3\n"},
    };
    for (const SetCase& c : cases) {
        const std::string out = SetProfileValue(c.content, "Communications", "Port", "3");
        EXPECT_EQ(out, c.expected) << c.what;
        EXPECT_EQ(FindProfileValue(out, "Communications", "Port"), "3") << c.what;
    }
}

// The file's names are read without their blanks, so names asked for with blanks
// must find them, or every write of such a name would add another line that no
// read finds.
TEST(SetProfileValue, MatchesAndWritesNamesWithoutTheirSurroundingBlanks)
{
    const SetCase cases[] = {
        {"key rewritten", "[S]\nK=1\n", "[S]\nK=2\n"},
        {"key added", "[S]\nJ=1\n", "[S]\nJ=1\nK=2\n"},
        {"section added", "", "[S]\nK=2\n"},
    };
    for (const SetCase& c : cases) {
        const std::string out = SetProfileValue(c.content, " S\t", "\tK ", "2");
        EXPECT_EQ(out, c.expected) << c.what;
        EXPECT_EQ(SetProfileValue(out, " S\t", "\tK ", "2"), out) << c.what;
        EXPECT_EQ(FindProfileValue(out, " S ", " K "), "2") << c.what;
    }
}

TEST(SetProfileValue, RefusesWhatWouldBreakTheFileApart)
{
    EXPECT_THROW(SetProfileValue("", "S", "K", "3\n[Ports]\nCOM1=/dev/x"), EIniFileError);
    EXPECT_THROW(SetProfileValue("", "S", "K", "3\r"), EIniFileError);
    EXPECT_THROW(SetProfileValue("", "S", "A=B", "1"), EIniFileError);
    EXPECT_THROW(SetProfileValue("", "S", "  ", "1"), EIniFileError);
    EXPECT_THROW(SetProfileValue("", "S", ";K", "1"), EIniFileError);
    EXPECT_THROW(SetProfileValue("", "S]x", "K", "1"), EIniFileError);
    EXPECT_THROW(SetProfileValue("", "S\n", "K", "1"), EIniFileError);
}

class IniFileTest : public ::testing::Test {
protected:
    std::string Path() const { return (dir / "Loader.ini").string(); }
    std::vector<std::string> FolderEntries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.Path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    ScratchDir dir;
};

TEST_F(IniFileTest, ReadsDefaultsWithoutCreatingTheFile)
{
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadInteger("Communications", "Port", 1), 1);
    EXPECT_EQ(ini.ReadString("Software", "New Version", "Unknown"), "Unknown");
    EXPECT_TRUE(FolderEntries().empty());
}

TEST_F(IniFileTest, IntegersFallBackToTheDefaultForEmptyAndUnparsableValues)
{
    dir.WriteFile("Loader.ini", "[S]\nEmpty=\nWord=abc\nQuoted=\" 0x10\"\nHex=$1F\n");
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadInteger("S", "Empty", 7), 7);
    EXPECT_EQ(ini.ReadInteger("S", "Word", 7), 7);
    EXPECT_EQ(ini.ReadInteger("S", "Missing", 7), 7);
    EXPECT_EQ(ini.ReadInteger("S", "Quoted", 7), 16);
    EXPECT_EQ(ini.ReadInteger("S", "Hex", 7), 31);
    // A text key that is present but empty reads as empty, not as its default.
    EXPECT_EQ(ini.ReadString("S", "Empty", "default"), "");
}

TEST_F(IniFileTest, SeesEditsMadeBetweenReads)
{
    TIniFile ini(Path());
    dir.WriteFile("Loader.ini", "[S]\nK=1\n");
    EXPECT_EQ(ini.ReadInteger("S", "K", 0), 1);
    dir.WriteFile("Loader.ini", "[S]\nK=2\n");
    EXPECT_EQ(ini.ReadInteger("S", "K", 0), 2);
}

TEST_F(IniFileTest, FirstWriteCreatesTheFileWithOnlyThatKey)
{
    TIniFile ini(Path());
    ini.WriteInteger("Communications", "Port", 4);
    EXPECT_EQ(dir.ReadFile("Loader.ini"), "[Communications]\nPort=4\n");
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"Loader.ini"});
}

TEST_F(IniFileTest, WriteReplacesTheFileByRenameKeepingItsPermissions)
{
    const std::string before = "[Loader]\r\nQR740\xE9=ldr.bin\r\n[Communications]\r\nPort=1\r\n";
    dir.WriteFile("Loader.ini", before);
    fs::permissions(Path(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    struct stat old {};
    ASSERT_EQ(::stat(Path().c_str(), &old), 0);

    TIniFile ini(Path());
    ini.WriteInteger("Communications", "Port", 10);

    EXPECT_EQ(dir.ReadFile("Loader.ini"),
              "[Loader]\r\nQR740\xE9=ldr.bin\r\n[Communications]\r\nPort=10\r\n");
    struct stat now {};
    ASSERT_EQ(::stat(Path().c_str(), &now), 0);
    EXPECT_NE(now.st_ino, old.st_ino) << "written in place rather than renamed over";
    EXPECT_EQ(now.st_mode & 07777, 0640u);
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"Loader.ini"});
}

TEST_F(IniFileTest, WriteGoesThroughASymlinkToItsTarget)
{
    dir.WriteFile("shared.ini", "[Communications]\nPort=1\n");
    fs::create_symlink(dir / "shared.ini", Path());
    TIniFile ini(Path());
    ini.WriteInteger("Communications", "Port", 2);
    EXPECT_TRUE(fs::is_symlink(Path()));
    EXPECT_EQ(dir.ReadFile("shared.ini"), "[Communications]\nPort=2\n");
}

TEST_F(IniFileTest, FailedWriteNamesThePathAndLeavesNothingBehind)
{
    const std::string missingFolder = (dir / "gone" / "Loader.ini").string();
    TIniFile ini(missingFolder);
    try {
        ini.WriteInteger("Communications", "Port", 2);
        FAIL() << "no error";
    } catch (const EIniFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + missingFolder);
    }
    EXPECT_TRUE(FolderEntries().empty());
}

TEST_F(IniFileTest, UnreadableFileIsNeitherReadNorReplaced)
{
    fs::create_directory(Path()); // exists, yet cannot be read as a file
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadInteger("Communications", "Port", 1), 1);
    EXPECT_THROW(ini.WriteInteger("Communications", "Port", 2), EIniFileError);
    EXPECT_TRUE(fs::is_directory(Path()));
}

// The write of the new copy fails part-way, as on a full disk, and the old file
// must survive whole.
TEST_F(IniFileTest, FullDiskLeavesTheOldFileWhole)
{
    std::string before = "[Communications]\nPort=1\n[Notes]\n";
    while (before.size() < 8192)
        before += "Line=kept byte for byte\n";
    dir.WriteFile("Loader.ini", before);

    TIniFile ini(Path());
    std::string error;
    {
        const TFileSizeLimit fullDisk(4096);
        try {
            ini.WriteInteger("Communications", "Port", 2);
        } catch (const EIniFileError& e) {
            error = e.what();
        }
    }

    EXPECT_EQ(error, "Unable to write to " + Path());
    EXPECT_EQ(dir.ReadFile("Loader.ini"), before);
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"Loader.ini"});
}

TEST_F(IniFileTest, ReadsWhatAnEditorWrote)
{
    struct Case {
        const char* what;
        std::string content;
        std::int32_t port;
        const char* binary;
    };
    const Case cases[] = {
        {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF[Communications]\r\nPort=3\r\n"
                                         "[Binary]\r\nQR 740=Firmw\xC3\xA4re\r\n",
         3, "Firmw\xC3\xA4re"},
        {"a blank inside the quotes", "[Communications]\nPort=\"2 \"\n", 2, ""},
        {"text after the digits", "[Communications]\nPort=2x\n", 2, ""},
        {"no digits", "[Communications]\nPort=x2\n", 1, ""},
        {"empty", "[Communications]\nPort=\n", 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dir.WriteFile("Loader.ini", c.content);
        const TIniFile ini(Path());
        EXPECT_EQ(ini.ReadInteger("Communications", "Port", 1), c.port);
        EXPECT_EQ(ini.ReadString("Binary", "QR 740", ""), c.binary);
    }
}

// A write changes the file only where the file's own permissions allow it, and
// keeps every byte it does not rewrite and the file's owner and group, however
// the folder is set up and whoever owns the file.
TEST_F(IniFileTest, WritesOnlyWhatTheFilePermitsAndKeepsEveryOtherByte)
{
    enum Outcome { Renamed, InPlace, Refused };
    // The writer's own file, the writer's file in a group the writer is not in,
    // or another user's file.
    enum Owner { Writer, OtherGroup, OtherUser };
    struct Case {
        const char* what;
        std::optional<std::string> content; // nullopt: no file
        fs::perms fileMode;
        fs::perms folderMode;
        std::int32_t port;
        Outcome outcome;
        std::string expected; // after a write
        rlim_t sizeLimit = RLIM_INFINITY;
        Owner owner = Writer;
    };
    const fs::perms all = fs::perms::all;
    const fs::perms readOnly = fs::perms(0444);
    const fs::perms readWrite = fs::perms(0666);
    const fs::perms lockedFolder = fs::perms(0555);
    const std::string bench = "\xEF\xBB\xBF; bench 4\r\n[Communications]\r\nPort=1\r\n"
                              "[Binary]\r\nQR 740=Firmw\xC3\xA4re\r\n";
    const auto large = [](const std::string& port) {
        std::string text = "[Communications]\nPort=" + port + "\n[Notes]\n";
        while (text.size() < 8192)
            text += "Line=kept byte for byte\n";
        return text;
    };

    const Case cases[] = {
        {"read-only file in a folder open to all", "[Communications]\nPort=1\n", readOnly, all, 2,
         Refused, ""},
        {"read-only file in a locked folder", "[Communications]\nPort=1\n", readOnly,
         lockedFolder, 2, Refused, ""},
        {"no file in a locked folder", std::nullopt, readWrite, lockedFolder, 2, Refused, ""},
        {"writable file in a folder open to all", bench, readWrite, all, 2, Renamed,
         "\xEF\xBB\xBF; bench 4\r\n[Communications]\r\nPort=2\r\n"
         "[Binary]\r\nQR 740=Firmw\xC3\xA4re\r\n"},
        {"no file in a folder open to all", std::nullopt, readWrite, all, 2, Renamed,
         "[Communications]\nPort=2\n"},
        {"writable file in a locked folder, same length", bench, readWrite, lockedFolder, 2,
         InPlace,
         "\xEF\xBB\xBF; bench 4\r\n[Communications]\r\nPort=2\r\n"
         "[Binary]\r\nQR 740=Firmw\xC3\xA4re\r\n"},
        {"writable file in a locked folder, longer", bench, readWrite, lockedFolder, 10, InPlace,
         "\xEF\xBB\xBF; bench 4\r\n[Communications]\r\nPort=10\r\n"
         "[Binary]\r\nQR 740=Firmw\xC3\xA4re\r\n"},
        {"writable file in a locked folder, shorter", "[Communications]\nPort=10\n[A]\nK=v\n",
         readWrite, lockedFolder, 3, InPlace, "[Communications]\nPort=3\n[A]\nK=v\n"},
        {"writable file in a locked folder, key added", "[A]\nK=v",
         readWrite, lockedFolder, 3, InPlace, "[A]\nK=v\n[Communications]\nPort=3\n"},
        // Growing, the room is reserved first and nothing is written.
        {"writable file in a locked folder, disk full, longer", large("1"), readWrite,
         lockedFolder, 10, Refused, "", 4096},
        // Shrinking, the bytes before the limit are rewritten, then put back.
        {"writable file in a locked folder, disk full, shorter", large("10"), readWrite,
         lockedFolder, 3, Refused, "", 4096},
        // A copy renamed over the file would be the writer's, in the writer's group.
        {"another user's writable file in a folder open to all", bench, readWrite, all, 10,
         InPlace,
         "\xEF\xBB\xBF; bench 4\r\n[Communications]\r\nPort=10\r\n"
         "[Binary]\r\nQR 740=Firmw\xC3\xA4re\r\n",
         RLIM_INFINITY, OtherUser},
        {"own file of another group in a folder open to all", "[Communications]\nPort=1\n",
         fs::perms(0660), all, 2, InPlace, "[Communications]\nPort=2\n", RLIM_INFINITY,
         OtherGroup},
        {"another user's writable file in a folder open to all, disk full", large("1"),
         readWrite, all, 10, Refused, "", 4096, OtherUser},
    };

    fs::permissions(dir.Path(), fs::perms(0755));
    const fs::path folder = dir / "bench";
    const fs::path file = folder / "Loader.ini";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Only root can hand a file to another user or group; it then writes as
        // nobody, and gives nobody the files that are the writer's.
        const bool root = ::geteuid() == 0;
        if (c.owner != Writer && !root)
            continue;
        fs::create_directory(folder);
        if (c.content) {
            dir.WriteFile("bench/Loader.ini", *c.content);
            fs::permissions(file, c.fileMode);
            const uid_t uid = c.owner == OtherUser ? 0 : TUnprivileged::kNobody;
            const gid_t gid = c.owner == Writer ? TUnprivileged::kNobody : 0;
            if (root) {
                ASSERT_EQ(::chown(file.c_str(), uid, gid), 0);
            }
        }
        fs::permissions(folder, c.folderMode);
        struct stat before {};
        const bool existed = ::stat(file.c_str(), &before) == 0;

        std::string error;
        {
            const TUnprivileged user;
            if (!user.Bound())
                GTEST_SKIP() << "a root process that cannot take another identity passes every "
                                "permission check, so these cases cannot be shown";
            const std::optional<TFileSizeLimit> fullDisk =
                c.sizeLimit == RLIM_INFINITY ? std::nullopt
                                             : std::make_optional<TFileSizeLimit>(c.sizeLimit);
            TIniFile ini(file.string());
            try {
                ini.WriteInteger("Communications", "Port", c.port);
            } catch (const EIniFileError& e) {
                error = e.what();
            }
        }

        std::vector<std::string> entries;
        for (const auto& entry : fs::directory_iterator(folder))
            entries.push_back(entry.path().filename().string());
        struct stat after {};
        const bool exists = ::stat(file.c_str(), &after) == 0;
        if (existed && exists) {
            EXPECT_EQ(after.st_uid, before.st_uid);
            EXPECT_EQ(after.st_gid, before.st_gid);
        }
        if (c.outcome == Refused) {
            EXPECT_EQ(error, "Unable to write to " + file.string());
            EXPECT_EQ(exists, existed);
            if (existed) {
                EXPECT_EQ(dir.ReadFile("bench/Loader.ini"), *c.content);
                EXPECT_EQ(after.st_ino, before.st_ino);
                EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
            }
        } else {
            EXPECT_EQ(error, "");
            EXPECT_EQ(dir.ReadFile("bench/Loader.ini"), c.expected);
            if (c.outcome == InPlace) {
                EXPECT_EQ(after.st_ino, before.st_ino);
            } else if (existed) {
                EXPECT_NE(after.st_ino, before.st_ino);
                EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
            }
        }
        EXPECT_EQ(entries, exists ? std::vector<std::string>{"Loader.ini"}
                                  : std::vector<std::string>{})
            << "no copy left beside the file";

        fs::permissions(folder, all);
        fs::remove_all(folder);
    }
}

} // namespace
