#include "loaderrules.h"

#include "inifile.h"
#include "scratch_dir.h"
#include "vadcb.h"

#include <gtest/gtest.h>

namespace {

TEST(PortFromSetting, CapsAtTheLastPortAndKeepsLowValues)
{
    const std::pair<std::int32_t, std::int32_t> cases[] = {
        {1, 1}, {3, 3}, {10, 10}, {11, 10}, {12, 10}, {2147483647, 10}, {0, 0}, {-4, -4},
    };
    for (const auto& [configured, port] : cases)
        EXPECT_EQ(PortFromSetting(configured), port) << configured;
}

TEST(PortDevicePath, MapsPortsThroughThePortsSection)
{
    ScratchDir dir;
    dir.WriteFile("Loader.ini", "[ports]\n"
                                "com3 = /dev/ttyUSB0\n"
                                "COM4=\"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0\"\n"
                                "COM5=\n"
                                "COM0=/dev/never\n");
    const TIniFile ini((dir / "Loader.ini").string());
    const std::pair<std::int32_t, const char*> cases[] = {
        {1, "/dev/ttyS0"},
        {3, "/dev/ttyUSB0"},
        {4, "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"},
        {5, "/dev/ttyS4"}, // an empty entry counts as none
        {10, "/dev/ttyS9"},
        {0, "/dev/ttyS-1"}, // no key is consulted outside 1 to 10
        {-2, "/dev/ttyS-3"},
    };
    for (const auto& [port, device] : cases)
        EXPECT_EQ(PortDevicePath(ini, port), device) << port;
}

TEST(DevicePattern, FormatsBackToThePathInThePortComponent)
{
    for (const std::string path : {"/dev/ttyUSB0", "/dev/serial/by-id/a%d%s%%b", "%", "/x/100%"}) {
        EXPECT_EQ(FormatDeviceName(DevicePattern(path), 7), path);
    }
}

TEST(ChosenFileName, KeepsAllButTheLastExtensionAndTakesTheVersionFromIt)
{
    struct Case {
        const char* path;
        const char* name;
        const char* extension;
        const char* version;
    };
    const Case cases[] = {
        {"/images/ABCD303.bin", "ABCD303", ".bin", "3.03"},
        // A name that carries no version gives none: the settings' stands.
        {"/images/ABC.bin", "ABC", ".bin", ""},
        {"/images/ABCD3.bin", "ABCD3", ".bin", ""},
        {"/images/ABCD30.bin", "ABCD30", ".bin", ""},
        {"/images/FW00303X.bin", "FW00303X", ".bin", "3.03"},
        // The extension keeps its letter case: the file is opened by this name.
        {"/images/FW00303.BIN", "FW00303", ".BIN", "3.03"},
        {"/params/SITE.PAR", "SITE", ".PAR", ""},
        {"/images/Fw00303.Bin", "Fw00303", ".Bin", "3.03"},
        // Only the last extension may go, or the name leads to another file.
        {"/images/fw.new.bin", "fw.new", ".bin", ""},
        {"/images/with.dots/FW00412.bin", "FW00412", ".bin", "4.12"},
        {"/images/noext", "noext", "", ""},
        {"/images/.bin", "", ".bin", ""},
        {"relative.par", "relative", ".par", ""},
        {"/images/firmware.bin", "firmware", ".bin", ""},
        {"/images/release_3.04.bin", "release_3.04", ".bin", ""},
        // Only the three characters of the version are looked at.
        {"/images/fw_A303.bin", "fw_A303", ".bin", "3.03"},
        {"/images/FW00303.04.bin", "FW00303.04", ".bin", "3.03"},
        {"/images/FW003.3.bin", "FW003.3", ".bin", ""},
        {"/images/FW00 03.bin", "FW00 03", ".bin", ""},
        // Digits of other scripts are no version digits.
        {"/images/FW00\u0663\u0660\u0663.bin", "FW00\u0663\u0660\u0663", ".bin", ""},
    };
    for (const Case& c : cases) {
        const QString path = QString::fromUtf8(c.path);
        const QString name = NameWithoutExtension(path);
        EXPECT_EQ(name.toStdString(), c.name) << c.path;
        EXPECT_EQ(ExtensionOf(path).toStdString(), c.extension) << c.path;
        EXPECT_EQ(VersionFromName(name).toStdString(), c.version) << c.path;
    }
}

// The version shown and recorded: the chosen image's when its name carries one,
// else the settings' whatever the image's name.
TEST(NewVersionFor, TakesTheChosenImagesVersionOrKeepsTheSettings)
{
    struct Case {
        const char* ini;
        const char* chosen; // empty: no image chosen
        const char* version;
    };
    const Case cases[] = {
        {"[Software]\nNew Version=3.03 b\xC3\xA9ta\n", "", "3.03 b\xC3\xA9ta"},
        {"[Software]\nNew Version=3.03\n", "FW00412", "4.12"},
        {"[Software]\nNew Version=3.03\n", "firmware", "3.03"},
        {"[Software]\nNew Version=3.03\n", "release_3.04", "3.03"},
        {"[Software]\nNew Version=\n", "firmware", ""},
        {"[Binary]\nQR 740=FW00412\n", "", "Unknown"},
        {"", "firmware", "Unknown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.ini) + " / " + c.chosen);
        ScratchDir dir;
        dir.WriteFile("Loader.ini", c.ini);
        const TIniFile ini((dir / "Loader.ini").string());
        EXPECT_EQ(NewVersionFor(ini, QString::fromUtf8(c.chosen)).toStdString(), c.version);
    }
}

} // namespace
