#include "flashcommandline.h"
#include "flashsettings.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using Args = std::vector<std::string>;

TEST(ParseFlashOptions, ReadsEveryOptionAndRefusesWhatIsWrong)
{
    struct Case {
        Args args;
        TFlashAction action;
        std::vector<QString> ports;
        int count = 1;
        double wait = 0; // 0: none
        const char* error = "";
    };
    const Case cases[] = {
        {{}, TFlashAction::Run, {}},
        {{"--port", "COM3"}, TFlashAction::Run, {"COM3"}},
        {{"--port=/dev/ttyUSB0", "--port", "com2"}, TFlashAction::Run, {"/dev/ttyUSB0", "com2"}},
        {{"--ports", "COM1,COM2,/dev/x"}, TFlashAction::Run, {"COM1", "COM2", "/dev/x"}},
        // A path may hold a comma; --port takes it whole.
        {{"--port", "/dev/a,b"}, TFlashAction::Run, {"/dev/a,b"}},
        {{"--count", "0"}, TFlashAction::Run, {}, 0},
        {{"--count=25", "--wait", "2.5"}, TFlashAction::Run, {}, 25, 2.5},
        {{"--help", "--bogus"}, TFlashAction::Help, {}},
        {{"--version"}, TFlashAction::Version, {}},
        {{"--bogus"}, TFlashAction::Error, {}, 1, 0, "unknown option '--bogus'"},
        {{"image.bin"}, TFlashAction::Error, {}, 1, 0, "unexpected argument 'image.bin'"},
        // A wait the timer cannot hold in one go is still a wait.
        {{"--wait", "4294967.3"}, TFlashAction::Run, {}, 1, 4294967.3},
        {{"--port"}, TFlashAction::Error, {}, 1, 0, "--port needs a value"},
        // The next option is not the missing value.
        {{"--port", "--count", "1"}, TFlashAction::Error, {}, 1, 0, "--port needs a value"},
        {{"--image", "-q"}, TFlashAction::Error, {}, 1, 0, "--image needs a value"},
        {{"--ports", "COM1,"}, TFlashAction::Error, {}, 1, 0, "--ports needs a port in each place"},
        {{"--ports", ",COM1"}, TFlashAction::Error, {}, 1, 0, "--ports needs a port in each place"},
        {{"--ports", "COM1,,COM2"}, TFlashAction::Error, {}, 1, 0, "--ports needs a port in each place"},
        {{"--ports", ",,"}, TFlashAction::Error, {}, 1, 0, "--ports needs a port in each place"},
        {{"--ports", ""}, TFlashAction::Error, {}, 1, 0, "--ports needs a port in each place"},
        {{"--ports", "COM1, "}, TFlashAction::Error, {}, 1, 0, "--ports needs a port in each place"},
        {{"--port="}, TFlashAction::Error, {}, 1, 0, "--port needs a port in each place"},
        {{"--since", "2026-12-01"}, TFlashAction::Error, {}, 1, 0, "--since only goes with --history or --summary"},
        {{"--format=csv", "--port", "COM1"}, TFlashAction::Error, {}, 1, 0, "--format only goes with --history or --summary"},
        {{"--list-ports", "--format", "json"}, TFlashAction::Error, {}, 1, 0, "--format only goes with --history or --summary"},
        {{"--history", "--since", "2026-12-01", "--format", "csv"}, TFlashAction::History, {}},
        {{"--count", "-1"}, TFlashAction::Error, {}, 1, 0, "--count needs a whole number"},
        {{"--count", "3x"}, TFlashAction::Error, {}, 1, 0, "--count needs a whole number"},
        {{"--wait", "0"}, TFlashAction::Error, {}, 1, 0, "--wait needs a number of seconds above 0"},
        {{"--wait", "soon"}, TFlashAction::Error, {}, 1, 0, "--wait needs a number of seconds above 0"},
        {{"--image", "a", "--image", "b"}, TFlashAction::Error, {}, 1, 0, "--image given twice"},
        {{"--params", "a.par", "--no-params"}, TFlashAction::Error, {}, 1, 0, "exclude each other"},
        {{"--folder="}, TFlashAction::Error, {}, 1, 0, "--folder needs a folder"},
        {{"--summary", "--unit", "QR000101", "--outcome", "under way"}, TFlashAction::Summary, {}},
        {{"--history", "--outcome", "done"}, TFlashAction::Error, {}, 1, 0, "--outcome is programmed"},
        {{"--summary", "--no-journal"}, TFlashAction::Error, {}, 1, 0, "--summary reads the journal"},
        {{"--identification", "QR740"}, TFlashAction::Error, {}, 1, 0, "--identification chooses records of"},
        {{"--image-sha256", "12ab"}, TFlashAction::Error, {}, 1, 0, "--image-sha256 needs the image's SHA-256"},
        // A label names one unit; labels from a file run until they end.
        {{"--unit", "QR-17"}, TFlashAction::Run, {}},
        {{"--unit=QR-17", "--count", "1", "--port", "COM2"}, TFlashAction::Run, {"COM2"}},
        {{"--units", "-"}, TFlashAction::Run, {}, 0},
        {{"--units=labels.txt", "--count", "4"}, TFlashAction::Run, {}, 4},
        {{"--unit", " "}, TFlashAction::Error, {}, 1, 0, "--unit needs a unit"},
        {{"--units="}, TFlashAction::Error, {}, 1, 0, "--units needs a file, or - for standard input"},
        {{"--unit", "A", "--unit", "B"}, TFlashAction::Error, {}, 1, 0, "--unit given twice"},
        {{"--unit", "A", "--units", "-"}, TFlashAction::Error, {}, 1, 0, "--unit and --units exclude each other"},
        {{"--unit", "A", "--ports", "COM1,COM2"}, TFlashAction::Error, {}, 1, 0, "--unit labels one controller"},
        {{"--unit", "A", "--count", "2"}, TFlashAction::Error, {}, 1, 0, "--unit labels one controller"},
        {{"--count", "0", "--unit", "A"}, TFlashAction::Error, {}, 1, 0, "--unit labels one controller"},
        {{"--history", "--units", "-"}, TFlashAction::Error, {}, 1, 0, "--units only goes with a run"},
    };
    for (const Case& c : cases) {
        Args args{"qr740-flash"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::ostringstream name;
        for (const auto& a : c.args)
            name << a << ' ';
        SCOPED_TRACE(name.str());
        const TFlashOptions options = ParseFlashOptions(args);
        EXPECT_EQ(options.Action, c.action);
        if (c.action == TFlashAction::Error) {
            EXPECT_TRUE(options.Error.contains(QString::fromLatin1(c.error))) << options.Error.toStdString();
            continue;
        }
        if (c.action != TFlashAction::Run)
            continue;
        EXPECT_EQ(options.Ports, c.ports);
        EXPECT_EQ(options.Count, c.count);
        EXPECT_EQ(options.WaitSeconds.value_or(0), c.wait);
    }
}

// Everything a run needs is found, or refused, before any line is touched.
TEST(PrepareFlash, FindsWhatTheWindowWouldProgramAndRefusesWhatIsMissing)
{
    ScratchDir dir;
    dir.WriteFile("FW00303.bin", std::string(1024, 'x'));
    dir.WriteFile("empty.bin", "");
    dir.WriteFile("bad.hex", ":0140000001BE\n:0140010002BD\n:00000001FF\n");
    dir.WriteFile("qr740.ldr", "LDR");
    dir.WriteFile("bench.par", "000=1\n");
    dir.WriteFile("serial.par", "000=1\n1A0={serial}\n");
    const std::string folder = dir.Path().string();
    struct Case {
        const char* what;
        const char* ini; // empty: no Loader.ini
        Args args;
        TFlashSetup::TStatus status;
        const char* text; // part of the error, or the image's name when ready
    };
    const Case cases[] = {
        {"the window's settings", "[Communications]\nPort=2\n[Ports]\nCOM2=/dev/ttyQ2\n[Loader]\nQR740=qr740.ldr\n"
         "[Binary]\nQR 740=FW00303\n[Load Parameters]\nParameter File=bench\n", {}, TFlashSetup::Ready, "FW00303"},
        {"no Loader.ini", "", {}, TFlashSetup::SetUpError, "Unable to read"},
        {"no image named", "[Loader]\nQR740=qr740.ldr\n", {}, TFlashSetup::SetUpError, "No image"},
        {"an image that is missing", "[Loader]\nQR740=qr740.ldr\n", {"--image", "absent.bin"},
         TFlashSetup::SetUpError, "absent.bin Not Found"},
        {"an empty image", "[Loader]\nQR740=qr740.ldr\n", {"--image", "empty.bin"}, TFlashSetup::SetUpError,
         "empty.bin Is Empty"},
        {"a folder as the image", "[Loader]\nQR740=qr740.ldr\n", {"--image", "."}, TFlashSetup::SetUpError,
         "Is Not A File"},
        // Said before any port is opened, not once per controller.
        {"a HEX file with a bad checksum", "[Loader]\nQR740=qr740.ldr\n", {"--image", "bad.hex"},
         TFlashSetup::SetUpError, "bad.hex: Line 2: "},
        {"a missing parameter file", "[Loader]\nQR740=qr740.ldr\n[Load Parameters]\nParameter File=absent\n",
         {"--image", "FW00303.bin"}, TFlashSetup::SetUpError, "absent.par Not Found"},
        {"--no-params over a missing one", "[Loader]\nQR740=qr740.ldr\n[Load Parameters]\nParameter File=absent\n",
         {"--image", "FW00303.bin", "--no-params"}, TFlashSetup::Ready, "FW00303"},
        {"no loader", "[Binary]\nQR 740=FW00303\n", {}, TFlashSetup::SetUpError, "No Loader Defined"},
        {"a loader that is missing", "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\nQR741=gone.ldr\n", {},
         TFlashSetup::SetUpError, "gone.ldr Not Found"},
        {"one port twice", "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\n", {"--ports", "COM1,com1"},
         TFlashSetup::UsageError, "port COM1 named twice"},
        {"one device by two names", "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\n[Ports]\nCOM4={DIR}/qr740.ldr\n",
         {"--port", "COM4", "--port", "{DIR}/./qr740.ldr"}, TFlashSetup::UsageError, "are the same device"},
        // The unit, from the series or the labels, and never from both.
        {"a series", "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\n[Serial Numbers]\nFormat=QR%06d\nLast=9\n"
         "[Load Parameters]\nParameter File=serial\n", {}, TFlashSetup::Ready, "FW00303"},
        {"a series without a last number", "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\n"
         "[Serial Numbers]\nFormat=QR%06d\nFirst=1\n", {}, TFlashSetup::SetUpError, "[Serial Numbers] in Loader.ini"},
        {"a series that is no format", "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\n"
         "[Serial Numbers]\nFormat=QR%s\nLast=9\n", {}, TFlashSetup::SetUpError, "[Serial Numbers] in Loader.ini"},
        {"a series without a journal", "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\n"
         "[Serial Numbers]\nFormat=QR%06d\nLast=9\n", {"--no-journal"}, TFlashSetup::SetUpError, "--no-journal has none"},
        {"a series and a label", "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\n"
         "[Serial Numbers]\nFormat=QR%06d\nLast=9\n", {"--unit", "L1"}, TFlashSetup::UsageError, "exclude each other"},
        {"a series and labels", "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\n"
         "[Serial Numbers]\nFormat=QR%06d\nLast=9\n", {"--units", "-"}, TFlashSetup::UsageError, "--units labels units"},
        {"a serial number with nothing to write", "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\n"
         "[Load Parameters]\nParameter File=serial\n", {}, TFlashSetup::SetUpError, "serial.par writes each unit's"},
        {"a label to write", "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\n"
         "[Load Parameters]\nParameter File=serial\n", {"--unit", "L1"}, TFlashSetup::Ready, "FW00303"},
        {"labels from a file that is missing", "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\n",
         {"--units", "absent.txt"}, TFlashSetup::SetUpError, "absent.txt: No such file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(dir / "Loader.ini");
        std::string ini = c.ini;
        for (std::size_t at; (at = ini.find("{DIR}")) != std::string::npos;)
            ini.replace(at, 5, folder);
        if (!ini.empty())
            dir.WriteFile("Loader.ini", ini);
        Args args{"qr740-flash"};
        for (std::string a : c.args) {
            for (std::size_t at; (at = a.find("{DIR}")) != std::string::npos;)
                a.replace(at, 5, folder);
            args.push_back(a);
        }
        const TFlashSetup setup =
            PrepareFlash(ParseFlashOptions(args), QString::fromStdString(folder), QString::fromStdString(folder));
        EXPECT_EQ(setup.Status, c.status) << setup.Error.toStdString();
        if (c.status == TFlashSetup::Ready) {
            EXPECT_EQ(setup.Settings.ImageName.toStdString(), c.text);
            EXPECT_EQ(setup.Settings.ImageFolder.toStdString(), folder + "/");
            EXPECT_EQ(setup.Settings.ImageExtension, QStringLiteral(".bin"));
        } else {
            EXPECT_TRUE(setup.Error.contains(QString::fromLatin1(c.text))) << setup.Error.toStdString();
        }
    }

    // A folder that is not there is named, with what it must hold, and is not
    // made: only the window makes one, for an operator to fill in.
    const std::string absent = folder + "/absent";
    const TFlashSetup missing =
        PrepareFlash(ParseFlashOptions({"qr740-flash"}), QString::fromStdString(absent), QString::fromStdString(folder));
    EXPECT_EQ(missing.Status, TFlashSetup::SetUpError);
    EXPECT_TRUE(missing.Error.contains(QString::fromStdString(absent + " does not exist: it must hold Loader.ini")))
        << missing.Error.toStdString();
    EXPECT_FALSE(std::filesystem::exists(absent));
}

// The version the record keeps, as the window would show it: an image given by
// name carries its own when the name holds one; otherwise the settings' stands.
TEST(PrepareFlash, TakesTheNewVersionAsTheWindowDoes)
{
    ScratchDir dir;
    for (const char* image : {"FW00412.bin", "firmware.bin", "release_3.04.bin"})
        dir.WriteFile(image, "x");
    dir.WriteFile("qr740.ldr", "LDR");
    dir.WriteFile("Loader.ini", "[Loader]\nQR740=qr740.ldr\n[Binary]\nQR 740=FW00412\n[Software]\nNew Version=3.03\n");
    const QString folder = QString::fromStdString(dir.Path().string());
    const std::pair<Args, const char*> cases[] = {
        {{"--image", "FW00412.bin"}, "4.12"},
        {{"--image", "firmware.bin"}, "3.03"},
        {{"--image", "release_3.04.bin"}, "3.03"},
        // The window's image: its name is not looked at, as in the window.
        {{}, "3.03"},
    };
    for (const auto& [given, version] : cases) {
        Args args{"qr740-flash", "--no-params"};
        args.insert(args.end(), given.begin(), given.end());
        const TFlashSetup setup = PrepareFlash(ParseFlashOptions(args), folder, folder);
        ASSERT_EQ(setup.Status, TFlashSetup::Ready) << setup.Error.toStdString();
        EXPECT_EQ(setup.Settings.NewVersion.toStdString(), version) << ::testing::PrintToString(given);
    }
}

TEST(ResolveFlashPort, NamesAPortByItsNumberOrItsDevice)
{
    ScratchDir dir;
    dir.WriteFile("Loader.ini", "[Ports]\nCOM3=/dev/ttyUSB7\n");
    TIniFile ini((dir / "Loader.ini").string());
    const struct {
        const char* given;
        const char* name;
        int com;
        const char* device;
    } cases[] = {
        {"COM3", "COM3", 3, "/dev/ttyUSB7"},
        {"com3", "COM3", 3, "/dev/ttyUSB7"},
        {"Com1", "COM1", 1, "/dev/ttyS0"},
        {"/dev/ttyUSB7", "/dev/ttyUSB7", 3, "/dev/ttyUSB7"},
        {"/dev/ttyACM0", "/dev/ttyACM0", 0, "/dev/ttyACM0"},
        {"COM", "COM", 0, "COM"},
    };
    for (const auto& c : cases) {
        const TFlashPort port = ResolveFlashPort(QString::fromLatin1(c.given), ini);
        EXPECT_EQ(port.Name.toStdString(), c.name) << c.given;
        EXPECT_EQ(port.ComNumber, c.com) << c.given;
        EXPECT_EQ(port.Device, c.device) << c.given;
    }
}

} // namespace
