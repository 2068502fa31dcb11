#include "programfolder.h"

#include <file_size_limit.h>
#include "inifile.h"
#include "loaderrules.h"
#include "scratch_dir.h"
#include "serial_port_table.h"

#include <QString>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;

TEST(ParseProgramOptions, TakesOursPassesQtsOnAndRefusesTheRest)
{
    struct Case {
        Args args;
        TProgramAction action;
        const char* folder;
        Args qt;            // after the program's name
        const char* error;  // part of the message
    };
    const Case cases[] = {
        {{}, TProgramAction::Run, "", {}, ""},
        {{"--gang", "--folder", "x"}, TProgramAction::Run, "x", {}, ""},
        {{"--gang=1"}, TProgramAction::Error, "", {}, "unknown option '--gang=1'"},
        {{"--folder", "/srv/bench"}, TProgramAction::Run, "/srv/bench", {}, ""},
        {{"--folder=bench 2"}, TProgramAction::Run, "bench 2", {}, ""},
        {{"-platform", "offscreen", "--folder", "x", "-style=fusion", "-reverse"},
         TProgramAction::Run, "x", {"-platform", "offscreen", "-style=fusion", "-reverse"}, ""},
        {{"--platform", "xcb", "-display", ":1", "-qwindowgeometry", "+0+0"},
         TProgramAction::Run, "", {"--platform", "xcb", "-display", ":1", "-qwindowgeometry", "+0+0"}, ""},
        // An option's value is taken as it is, even when it looks like an option.
        {{"--folder", "--help"}, TProgramAction::Run, "--help", {}, ""},
        {{"--help"}, TProgramAction::Help, "", {}, ""},
        {{"-h", "--bogus"}, TProgramAction::Help, "", {}, ""},
        {{"--version"}, TProgramAction::Version, "", {}, ""},
        {{"--folder", "x", "--version"}, TProgramAction::Version, "", {}, ""},
        {{"--bogus", "--help"}, TProgramAction::Error, "", {}, "unknown option '--bogus'"},
        {{"-folder", "x"}, TProgramAction::Error, "", {}, "unknown option '-folder'"},
        {{"--folders=x"}, TProgramAction::Error, "", {}, "unknown option '--folders=x'"},
        {{"-reverse=1"}, TProgramAction::Error, "", {}, "unknown option '-reverse=1'"},
        {{"-"}, TProgramAction::Error, "", {}, "unexpected argument '-'"},
        {{"image.bin"}, TProgramAction::Error, "", {}, "unexpected argument 'image.bin'"},
        {{"--folder"}, TProgramAction::Error, "", {}, "--folder needs a folder"},
        {{"--folder="}, TProgramAction::Error, "", {}, "--folder needs a folder"},
        {{"--folder", ""}, TProgramAction::Error, "", {}, "--folder needs a folder"},
        {{"--folder", "a", "--folder=b"}, TProgramAction::Error, "", {}, "--folder given twice"},
        {{"-platform"}, TProgramAction::Error, "", {}, "'-platform' needs a value"},
    };
    for (const Case& c : cases) {
        Args args{"/usr/bin/qr740-programmer"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const TProgramOptions options = ParseProgramOptions(args);
        std::ostringstream name;
        for (const std::string& arg : c.args)
            name << '[' << arg << ']';
        SCOPED_TRACE(name.str());
        EXPECT_EQ(options.action, c.action);
        if (c.action == TProgramAction::Error) {
            EXPECT_TRUE(options.error.contains(QString::fromUtf8(c.error))) << options.error.toStdString();
            continue;
        }
        if (c.action != TProgramAction::Run)
            continue;
        EXPECT_EQ(options.folder, QString::fromUtf8(c.folder));
        EXPECT_EQ(options.gang, c.args.size() > 0 && c.args[0] == "--gang");
        Args qt{"/usr/bin/qr740-programmer"};
        qt.insert(qt.end(), c.qt.begin(), c.qt.end());
        EXPECT_EQ(options.qtArguments, qt);
    }
}

TEST(ProgramTexts, NameTheOptionsAndTheVersion)
{
    const QString usage = ProgramUsage();
    for (const char* option : {"--folder DIR", "--help", "--version", "XDG_CONFIG_HOME"})
        EXPECT_TRUE(usage.contains(QLatin1String(option))) << option;
    EXPECT_EQ(ProgramVersionLine(), QStringLiteral("qr740-programmer 3.03"));
}

TEST(ResolveProgramFolder, OptionThenPortableThenUserConfiguration)
{
    struct Case {
        const char* option;
        bool loaderIniBesideExecutable;
        const char* xdgConfigHome;
        const char* folder;
        TFolderSource source;
    };
    const Case cases[] = {
        {"", false, "", "/home/tech/.config/qr740-programmer", TFolderSource::UserConfiguration},
        {"", false, "/xdg/", "/xdg/qr740-programmer", TFolderSource::UserConfiguration},
        // A relative XDG_CONFIG_HOME is to be ignored.
        {"", false, "xdg", "/home/tech/.config/qr740-programmer", TFolderSource::UserConfiguration},
        {"", true, "/xdg", "/opt/bench", TFolderSource::Portable},
        {"/srv/bench/", true, "/xdg", "/srv/bench", TFolderSource::Option},
        {"bench", false, "/xdg", "/work/here/bench", TFolderSource::Option},
        {"../bench", true, "", "/work/bench", TFolderSource::Option},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.option) + " " + std::to_string(c.loaderIniBesideExecutable) + " " +
                     c.xdgConfigHome);
        TFolderContext context;
        context.executableFolder = QStringLiteral("/opt/bench");
        context.loaderIniBesideExecutable = c.loaderIniBesideExecutable;
        context.xdgConfigHome = QString::fromUtf8(c.xdgConfigHome);
        context.home = QStringLiteral("/home/tech");
        context.currentFolder = QStringLiteral("/work/here");
        const TProgramFolder folder = ResolveProgramFolder(QString::fromUtf8(c.option), context);
        EXPECT_EQ(folder.path.toStdString(), c.folder);
        EXPECT_EQ(folder.source, c.source);
    }
}

QString Q(const std::filesystem::path& path)
{
    return QString::fromStdString(path.string());
}

std::string Uncommented(std::string text)
{
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(";[") || (line.starts_with(';') && line.find('=') != std::string::npos))
            line.erase(0, 1);
        out += line + '\n';
    }
    return out;
}

TEST(PrepareProgramFolder, WritesATemplateWhoseExamplesWorkOnceUncommented)
{
    ScratchDir dir;
    // A ttyS needs no mapping, so it does not count as an adapter.
    PrepareProgramFolder(Q(dir / "config/qr740-programmer"), {bench::kBuiltIn, bench::kNoUart});
    const std::string written = dir.ReadFile("config/qr740-programmer/Loader.ini");
    EXPECT_EQ(written, LoaderIniTemplate({}));
    EXPECT_NE(written.find("; No serial adapter was found when this file was written."), std::string::npos)
        << written;

    // As written, the examples are comments: the window sees the defaults.
    const TIniFile asWritten((dir / "config/qr740-programmer/Loader.ini").string());
    EXPECT_EQ(asWritten.ReadInteger("Communications", "Port", 0), 1);
    EXPECT_EQ(PortDevicePath(asWritten, 1), "/dev/ttyS0");
    EXPECT_EQ(asWritten.ReadString("Loader", "QR740", ""), "");

    dir.WriteFile("uncommented.ini", Uncommented(written));
    const TIniFile uncommented((dir / "uncommented.ini").string());
    EXPECT_EQ(PortDevicePath(uncommented, 1), "/dev/ttyUSB0");
    EXPECT_EQ(PortDevicePath(uncommented, 2),
              "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0");
    EXPECT_EQ(uncommented.ReadString("Loader", "QR740", ""), "qr740.ldr");
    EXPECT_EQ(uncommented.ReadString("Binary", "QR 740", ""), "FW00303");
    EXPECT_EQ(uncommented.ReadString("Load Parameters", "Parameter File", ""), "demo");
}

TEST(PrepareProgramFolder, OffersEachAdapterPresentAsACommentedMapping)
{
    using namespace bench;
    ScratchDir dir;
    PrepareProgramFolder(Q(dir.Path()), {kBuiltIn, kNoUart, kFtdi, kCh340First, kCh340Second});
    const std::string written = dir.ReadFile("Loader.ini");
    const std::string ports =
        "; The adapters plugged in when this file was written (qr740-flash\n"
        "; --list-ports lists the devices present now):\n"
        ";[Ports]\n"
        "; FTDI FT232R USB UART, serial A10K3XYZ (/dev/ttyUSB0)\n"
        ";COM1=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0\n"
        "; USB Serial (/dev/ttyUSB1)\n"
        "; by its USB socket: adapters of this kind share one by-id name\n"
        ";COM2=/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n"
        "; USB Serial (/dev/ttyUSB2)\n"
        "; by its USB socket: adapters of this kind share one by-id name\n"
        ";COM3=/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0\n"
        "\n"
        "; The loader file";
    EXPECT_NE(written.find(ports), std::string::npos) << written;
    EXPECT_EQ(written.find("No serial adapter"), std::string::npos);

    // As written nothing is mapped; uncommented, COM1 (the window's first
    // choice) is the first adapter, and the ttyS keep their own numbers.
    EXPECT_EQ(PortDevicePath(TIniFile((dir / "Loader.ini").string()), 1), "/dev/ttyS0");
    dir.WriteFile("uncommented.ini", Uncommented(written));
    const TIniFile uncommented((dir / "uncommented.ini").string());
    EXPECT_EQ(uncommented.ReadInteger("Communications", "Port", 0), 1);
    EXPECT_EQ(PortDevicePath(uncommented, 1), kFtdi.byIdLinks.front());
    EXPECT_EQ(PortDevicePath(uncommented, 2), kCh340First.byPathLinks.front());
    EXPECT_EQ(PortDevicePath(uncommented, 3), kCh340Second.byPathLinks.front());
    EXPECT_EQ(PortDevicePath(uncommented, 4), "/dev/ttyS3");

    // Beyond the ten numbers the window offers, the rest are only counted.
    std::vector<TSerialPort> many;
    for (int i = 0; i < 12; ++i)
        many.push_back({.node = "/dev/ttyACM" + std::to_string(i), .vendorId = "2341", .productId = "0043"});
    const std::string crowded = LoaderIniTemplate(many);
    EXPECT_NE(crowded.find(";COM10=/dev/ttyACM9\n; 2 more: qr740-flash --list-ports lists them.\n"),
              std::string::npos) << crowded;
    EXPECT_EQ(crowded.find("COM11"), std::string::npos);
}

TEST(PrepareProgramFolder, ListsTheDevicesOfThisMachine)
{
    ScratchDir dir;
    PrepareProgramFolder(Q(dir.Path()));
    EXPECT_EQ(dir.ReadFile("Loader.ini"), LoaderIniTemplate(EnumerateSerialPorts()));
}

TEST(PrepareProgramFolder, LeavesAnExistingLoaderIniAlone)
{
    ScratchDir dir;
    dir.WriteFile("Loader.ini", "[Communications]\nPort=4\n");
    PrepareProgramFolder(Q(dir.Path()));
    EXPECT_EQ(dir.ReadFile("Loader.ini"), "[Communications]\nPort=4\n");
}

TEST(PrepareProgramFolder, ReportsWhatCouldNotBeMadeAndLeavesNoPartialFile)
{
    ScratchDir dir;
    dir.WriteFile("plain-file", "");
    try {
        PrepareProgramFolder(Q(dir / "plain-file/qr740-programmer"));
        ADD_FAILURE() << "a folder inside a file was made";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Unable to create the folder " + (dir / "plain-file/qr740-programmer").string());
    }

    std::filesystem::create_directory(dir / "full");
    {
        const TFileSizeLimit full(64);
        EXPECT_THROW(PrepareProgramFolder(Q(dir / "full")), std::runtime_error);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "full/Loader.ini"));
}

} // namespace
