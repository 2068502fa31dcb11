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
        {"/images/ABC.bin", "ABC", ".bin", "."},
        {"/images/ABCD3.bin", "ABCD3", ".bin", "3."},
        {"/images/ABCD30.bin", "ABCD30", ".bin", "3.0"},
        {"/images/FW00303X.bin", "FW00303X", ".bin", "3.03"},
        // The extension keeps its letter case: the file is opened by this name.
        {"/images/FW00303.BIN", "FW00303", ".BIN", "3.03"},
        {"/params/SITE.PAR", "SITE", ".PAR", "."},
        {"/images/Fw00303.Bin", "Fw00303", ".Bin", "3.03"},
        // Only the last extension may go, or the name leads to another file.
        {"/images/fw.new.bin", "fw.new", ".bin", "e.w"},
        {"/images/with.dots/FW00412.bin", "FW00412", ".bin", "4.12"},
        {"/images/noext", "noext", "", "t."},
        {"/images/.bin", "", ".bin", "."},
        {"relative.par", "relative", ".par", "t.iv"},
    };
    for (const Case& c : cases) {
        const QString path = QString::fromLatin1(c.path);
        const QString name = NameWithoutExtension(path);
        EXPECT_EQ(name.toStdString(), c.name) << c.path;
        EXPECT_EQ(ExtensionOf(path).toStdString(), c.extension) << c.path;
        EXPECT_EQ(VersionFromName(name).toStdString(), c.version) << c.path;
    }
}

} // namespace
