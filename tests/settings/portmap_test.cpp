#include "portmap.h"

#include "inifile.h"
#include "loaderrules.h"
#include "scratch_dir.h"
#include "serial_port_table.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace {

using namespace bench;

struct TEntry {
    std::int32_t com;
    std::string path;
    std::string resolved; // empty: leads nowhere
};

// The survey as SurveyPorts would make it on a bench with `ports` plugged in and
// `entries` in [Ports]; a number without an entry opens its ttyS, which resolves
// where such a node exists.
TPortSurvey Survey(const std::vector<TEntry>& entries, std::vector<TSerialPort> ports)
{
    std::vector<TPortMapping> mappings;
    for (std::int32_t com = 1; com <= kPortCount; ++com) {
        TPortMapping mapping{com, "/dev/ttyS" + std::to_string(com - 1), false, ""};
        for (const TEntry& entry : entries) {
            if (entry.com == com)
                mapping = {com, entry.path, true, entry.resolved};
        }
        for (const TSerialPort& port : ports) {
            if (!mapping.configured && port.node == mapping.path)
                mapping.resolved = mapping.path;
        }
        mappings.push_back(mapping);
    }
    return MakePortSurvey(std::move(mappings), std::move(ports));
}

// COM1 and COM2 open the ttyS nodes by default; COM3 to COM8 are mapped, COM4
// to an adapter that is gone. The CH340 plugged in last holds the shared by-id
// link, so COM8 opens it.
TPortSurvey BenchSurvey()
{
    return Survey(
        {
            {3, kFtdi.byIdLinks.front(), "/dev/ttyUSB0"},
            {4, kGoneLink, ""},
            {5, "/dev/ttyUSB1", "/dev/ttyUSB1"},
            {6, kCh340Second.byPathLinks.front(), "/dev/ttyUSB2"},
            {7, "/dev/ttyUSB0", "/dev/ttyUSB0"},
            {8, "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0", "/dev/ttyUSB2"},
        },
        {kBuiltIn, kNoUart, kFtdi, kCh340First, kCh340Second});
}

TEST(MapsTo, ComparesNodesLinksAndWhereTheMappedPathLeads)
{
    TSerialPort ftdiWithoutLinks = kFtdi;
    ftdiWithoutLinks.byIdLinks.clear();
    ftdiWithoutLinks.byPathLinks.clear();
    struct Case {
        const char* what;
        std::string path;
        std::string resolved;
        const TSerialPort& port;
        bool maps;
    };
    const Case cases[] = {
        {"by-id link and its node", kFtdi.byIdLinks.front(), "/dev/ttyUSB0", kFtdi, true},
        // The record knows the link even where resolving the mapping failed.
        {"by-id link, not resolved", kFtdi.byIdLinks.front(), "", kFtdi, true},
        {"second by-path link", kFtdi.byPathLinks.back(), "/dev/ttyUSB0", kFtdi, true},
        {"the node itself", "/dev/ttyUSB0", "/dev/ttyUSB0", kFtdi, true},
        // Links the scan did not see: the resolved path still finds the device.
        {"by-id link, record without links", kFtdi.byIdLinks.front(), "/dev/ttyUSB0",
         ftdiWithoutLinks, true},
        {"a link of one's own", "/dev/qr740", "/dev/ttyUSB0", ftdiWithoutLinks, true},
        {"another node", "/dev/ttyUSB1", "/dev/ttyUSB1", kFtdi, false},
        {"shared by-id link, the CH340 it leads to", kCh340Second.byIdLinks.front(), "/dev/ttyUSB2",
         kCh340Second, true},
        {"shared by-id link, the other CH340", kCh340Second.byIdLinks.front(), "/dev/ttyUSB2",
         kCh340First, false},
        {"by-path link of the first CH340", kCh340First.byPathLinks.front(), "/dev/ttyUSB1",
         kCh340First, true},
        {"by-path link of the first CH340, the second", kCh340First.byPathLinks.front(), "/dev/ttyUSB1",
         kCh340Second, false},
        {"a gone adapter", kGoneLink, "", kFtdi, false},
        {"an empty path against a node-less record", "", "", TSerialPort{}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(MapsTo({1, c.path, true, c.resolved}, c.port), c.maps);
    }
}

TEST(PortSurvey, FindsTheNumbersOfEachDeviceAndTheDeviceOfEachNumber)
{
    const TPortSurvey survey = BenchSurvey();
    // The ttyS without a UART is left out: nothing in [Ports] names it.
    EXPECT_EQ(survey.ports, (std::vector<TSerialPort>{kBuiltIn, kFtdi, kCh340First, kCh340Second}));

    EXPECT_EQ(ComNumbersOf(survey, kBuiltIn), (std::vector<std::int32_t>{1}));
    EXPECT_EQ(ComNumbersOf(survey, kFtdi), (std::vector<std::int32_t>{3, 7}));
    EXPECT_EQ(ComNumbersOf(survey, kCh340First), (std::vector<std::int32_t>{5}));
    EXPECT_EQ(ComNumbersOf(survey, kCh340Second), (std::vector<std::int32_t>{6, 8}));

    const std::optional<std::string> deviceOf[] = {
        std::nullopt, "/dev/ttyS0", std::nullopt, "/dev/ttyUSB0", std::nullopt, "/dev/ttyUSB1",
        "/dev/ttyUSB2", "/dev/ttyUSB0", "/dev/ttyUSB2", std::nullopt, std::nullopt, std::nullopt,
    };
    for (std::int32_t com = 0; com <= kPortCount + 1; ++com) {
        SCOPED_TRACE(com);
        const TSerialPort* port = DeviceOf(survey, com);
        EXPECT_EQ(port ? std::optional(port->node) : std::nullopt, deviceOf[com]);
    }

    // Named in [Ports], the ttyS without a UART is shown, so that the number
    // that fails can be seen to open nothing.
    const TPortSurvey named = Survey({{2, "/dev/ttyS1", "/dev/ttyS1"}}, {kBuiltIn, kNoUart});
    EXPECT_EQ(named.ports, (std::vector<TSerialPort>{kBuiltIn, kNoUart}));
    EXPECT_EQ(PortLabel(named, 2).text, "COM2: serial port with no UART (/dev/ttyS1)");
}

// The journal's record names the adapter by its serial number where it has one.
TEST(AdapterSerialFor, FindsTheAdapterAPathOpens)
{
    const std::vector<TSerialPort> ports = {bench::kFtdi, bench::kCh340First, bench::kBuiltIn};
    const std::pair<std::string, std::string> cases[] = {
        {bench::kFtdi.byIdLinks[0], "A10K3XYZ"},
        {bench::kFtdi.byPathLinks[1], "A10K3XYZ"},
        {"/dev/ttyUSB0", "A10K3XYZ"},
        {"/dev/ttyUSB1", ""}, // no serial number
        {"/dev/ttyS0", ""},
        {bench::kGoneLink, ""},
    };
    for (const auto& [path, serial] : cases)
        EXPECT_EQ(AdapterSerialFor(ports, path), serial) << path;
}

TEST(MappingPathFor, TakesByIdOnlyWhereItNamesOneAdapter)
{
    TSerialPort serialWithoutById = kFtdi;
    serialWithoutById.byIdLinks.clear();
    TSerialPort serialWithoutLinks = serialWithoutById;
    serialWithoutLinks.byPathLinks.clear();
    TSerialPort ch340WithoutLinks = kCh340Second;
    ch340WithoutLinks.byIdLinks.clear();
    ch340WithoutLinks.byPathLinks.clear();
    // Two CP2102 boards that both report the serial number 0001, as many do:
    // the one plugged in last holds their shared by-id link.
    const TSerialPort cp2102First{
        .node = "/dev/ttyUSB3",
        .byPathLinks = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:4:1.0-port0"},
        .driver = "cp210x", .vendorId = "10c4", .productId = "ea60", .manufacturer = "Silicon Labs",
        .product = "CP2102 USB to UART Bridge Controller", .serialNumber = "0001"};
    TSerialPort cp2102Second = cp2102First;
    cp2102Second.node = "/dev/ttyUSB4";
    cp2102Second.byIdLinks = {
        "/dev/serial/by-id/usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0"};
    cp2102Second.byPathLinks = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:5:1.0-port0"};
    const std::vector<TSerialPort> bench = {kBuiltIn, kFtdi, kCh340First, kCh340Second};
    const std::vector<TSerialPort> twoCp2102 = {kFtdi, cp2102First, cp2102Second};

    struct Case {
        const char* what;
        const TSerialPort& port;
        const std::vector<TSerialPort>& present;
        std::string path;
    };
    const Case cases[] = {
        {"serial number", kFtdi, bench, kFtdi.byIdLinks.front()},
        {"no serial number, no by-id link", kCh340First, bench, kCh340First.byPathLinks.front()},
        {"no serial number, shared by-id link", kCh340Second, bench, kCh340Second.byPathLinks.front()},
        {"serial number, by-path link only", serialWithoutById, bench, kFtdi.byPathLinks.front()},
        {"no udev: no links at all", serialWithoutLinks, bench, "/dev/ttyUSB0"},
        {"no serial number, no links", ch340WithoutLinks, bench, "/dev/ttyUSB2"},
        {"built-in UART", kBuiltIn, bench, "/dev/ttyS0"},
        {"same serial number twice, the one without the link", cp2102First, twoCp2102,
         cp2102First.byPathLinks.front()},
        {"same serial number twice, the one with the link", cp2102Second, twoCp2102,
         cp2102Second.byPathLinks.front()},
        {"that serial number once", cp2102Second, bench, cp2102Second.byIdLinks.front()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(MappingPathFor(c.port, c.present), c.path);
    }
}

TEST(DescribePort, NamesTheAdapterAsItNamesItself)
{
    const auto usb = [](std::string manufacturer, std::string product, std::string serial) {
        TSerialPort port{.node = "/dev/ttyUSB0", .vendorId = "1a86", .productId = "7523"};
        port.manufacturer = std::move(manufacturer);
        port.product = std::move(product);
        port.serialNumber = std::move(serial);
        return port;
    };
    struct Case {
        TSerialPort port;
        const char* text;
    };
    const Case cases[] = {
        {kFtdi, "FTDI FT232R USB UART, serial A10K3XYZ"},
        {kCh340First, "USB Serial"},
        {usb("Silicon Labs", "Silicon Labs CP2102 USB to UART", "0001"),
         "Silicon Labs CP2102 USB to UART, serial 0001"},
        {usb("Prolific", "", ""), "Prolific USB serial adapter"},
        {usb("", "", "77"), "USB serial adapter 1a86:7523, serial 77"},
        {kBuiltIn, "serial port"},
        {kNoUart, "serial port with no UART"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DescribePort(c.port), c.text);
}

TEST(PortLabel, SaysWhichDeviceANumberOpensAndWhetherItIsThere)
{
    const TPortSurvey survey = BenchSurvey();
    struct Case {
        std::int32_t com;
        const char* text;
        bool present;
        std::vector<std::string> tipParts; // in this order
    };
    const Case cases[] = {
        {1, "COM1: serial port (/dev/ttyS0)", true,
         {"COM1 opens /dev/ttyS0 (no entry in [Ports] of Loader.ini)\n", "device /dev/ttyS0, driver serial"}},
        {2, "COM2: /dev/ttyS1 (not present)", false,
         {"COM2 opens /dev/ttyS1 (no entry in [Ports] of Loader.ini)\n",
          "This PC has no such port: map COM2 to a device in [Ports] of Loader.ini."}},
        {3, "COM3: FTDI FT232R USB UART, serial A10K3XYZ (/dev/ttyUSB0)", true,
         {"COM3 opens /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0 (Loader.ini, [Ports])\n",
          "FTDI FT232R USB UART, serial A10K3XYZ\n", "device /dev/ttyUSB0, driver ftdi_sio, USB 0403:6001"}},
        {4, "COM4: /dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0 (not present)",
         false,
         {"COM4 opens /dev/serial/by-id/usb-Prolific", "(Loader.ini, [Ports])\n",
          "That device is not present now. Plug the adapter in, or map COM4 to a device that is."}},
        {5, "COM5: USB Serial (/dev/ttyUSB1)", true, {"COM5 opens /dev/ttyUSB1", "USB 1a86:7523"}},
        {8, "COM8: USB Serial (/dev/ttyUSB2)", true,
         {"COM8 opens /dev/serial/by-id/usb-1a86_USB_Serial-if00-port0", "device /dev/ttyUSB2"}},
        {10, "COM10: /dev/ttyS9 (not present)", false, {"COM10 opens /dev/ttyS9"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.com);
        const TPortLabel label = PortLabel(survey, c.com);
        EXPECT_EQ(label.text, c.text);
        EXPECT_EQ(label.present, c.present);
        std::size_t from = 0;
        for (const std::string& part : c.tipParts) {
            const std::size_t at = label.toolTip.find(part, from);
            EXPECT_NE(at, std::string::npos) << part << "\nin:\n" << label.toolTip;
            from = at == std::string::npos ? from : at + part.size();
        }
    }
}

TEST(FormatPortList, ListsEveryDeviceWithItsNumbersThenTheMissingOnes)
{
    EXPECT_EQ(FormatPortList(BenchSurvey()),
              "/dev/ttyS0: serial port\n"
              "  COM:          COM1 (no entry in [Ports])\n"
              "  driver:       serial\n"
              "  map as:       COMn=/dev/ttyS0\n"
              "\n"
              "/dev/ttyUSB0: FTDI FT232R USB UART, serial A10K3XYZ\n"
              "  COM:          COM3, COM7\n"
              "  by-id:        /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0\n"
              "  by-path:      /dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0\n"
              "  by-path:      /dev/serial/by-path/pci-0000:00:14.0-usbv2-0:1:1.0-port0\n"
              "  driver:       ftdi_sio\n"
              "  USB id:       0403:6001\n"
              "  manufacturer: FTDI\n"
              "  product:      FT232R USB UART\n"
              "  serial:       A10K3XYZ\n"
              "  map as:       COMn=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0\n"
              "\n"
              "/dev/ttyUSB1: USB Serial\n"
              "  COM:          COM5\n"
              "  by-path:      /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n"
              "  driver:       ch341\n"
              "  USB id:       1a86:7523\n"
              "  product:      USB Serial\n"
              "  map as:       COMn=/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n"
              "\n"
              "/dev/ttyUSB2: USB Serial\n"
              "  COM:          COM6, COM8\n"
              "  by-id:        /dev/serial/by-id/usb-1a86_USB_Serial-if00-port0\n"
              "  by-path:      /dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0\n"
              "  driver:       ch341\n"
              "  USB id:       1a86:7523\n"
              "  product:      USB Serial\n"
              "  map as:       COMn=/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0\n"
              "\n"
              "Mapped in Loader.ini but not present:\n"
              "  COM4=/dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0\n");

    EXPECT_EQ(FormatPortList(Survey({}, {})), "No serial devices found.\n");
    EXPECT_EQ(FormatPortList(Survey({{2, kGoneLink, ""}}, {kFtdi})).substr(0, 44),
              "/dev/ttyUSB0: FTDI FT232R USB UART, serial A");
    EXPECT_EQ(FormatPortList(Survey({{2, kGoneLink, ""}}, {})),
              "No serial devices found.\n"
              "\n"
              "Mapped in Loader.ini but not present:\n"
              "  COM2=" + std::string(kGoneLink) + "\n");
}

TEST(WritePortMapping, ChangesTheOneKeyAndKeepsEveryOtherByte)
{
    const std::string bom = "\xEF\xBB\xBF";
    const std::string ftdi = kFtdi.byIdLinks.front();
    const std::string ch340 = kCh340Second.byPathLinks.front();
    struct Case {
        const char* what;
        std::string before;
        std::int32_t com;
        std::string path;
        std::string after;
    };
    const Case cases[] = {
        {"key present, CR LF, mark, comments",
         bom + "; bench 4\r\n[Communications]\r\nPort=3\r\n\r\n[Ports] ; adapters\r\n"
               "; the old one:\r\ncom3 = /dev/ttyUSB7 \r\nCOM4=/dev/ttyS3\r\n\r\n[Loader]\r\nQR740=a.ldr\r\n",
         3, ftdi,
         bom + "; bench 4\r\n[Communications]\r\nPort=3\r\n\r\n[Ports] ; adapters\r\n"
               "; the old one:\r\ncom3 =" + ftdi + "\r\nCOM4=/dev/ttyS3\r\n\r\n[Loader]\r\nQR740=a.ldr\r\n"},
        {"key added at the end of its section, before the blank lines",
         "[Ports]\r\nCOM1=/dev/ttyUSB0\r\n\r\n\r\n[Loader]\r\n; by controller\r\n", 2, ch340,
         "[Ports]\r\nCOM1=/dev/ttyUSB0\r\nCOM2=" + ch340 + "\r\n\r\n\r\n[Loader]\r\n; by controller\r\n"},
        {"section only in comments, last line without its end",
         ";[Ports]\n;COM1=/dev/ttyUSB0\n\n[Loader]\nQR740=a.ldr", 1, "/dev/ttyS0",
         ";[Ports]\n;COM1=/dev/ttyUSB0\n\n[Loader]\nQR740=a.ldr\n[Ports]\nCOM1=/dev/ttyS0\n"},
        {"mark alone", bom, 10, ftdi, bom + "[Ports]\nCOM10=" + ftdi + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        dir.WriteFile("Loader.ini", c.before);
        TIniFile ini((dir / "Loader.ini").string());
        WritePortMapping(ini, c.com, c.path);
        EXPECT_EQ(dir.ReadFile("Loader.ini"), c.after);
        EXPECT_EQ(PortDevicePath(ini, c.com), c.path);
    }

    ScratchDir dir;
    TIniFile missing((dir / "Loader.ini").string());
    WritePortMapping(missing, 3, ftdi);
    EXPECT_EQ(dir.ReadFile("Loader.ini"), "[Ports]\nCOM3=" + ftdi + "\n");
    for (const std::int32_t com : {0, -1, kPortCount + 1}) {
        SCOPED_TRACE(com);
        EXPECT_THROW(WritePortMapping(missing, com, ftdi), EIniFileError);
        EXPECT_EQ(dir.ReadFile("Loader.ini"), "[Ports]\nCOM3=" + ftdi + "\n");
    }
}

TEST(ReadPortMappings, ReadsEveryNumberAndResolvesItsLinks)
{
    ScratchDir dir;
    std::filesystem::create_directories(dir / "dev/serial/by-id");
    dir.WriteFile("dev/ttyUSB0", "");
    std::filesystem::create_symlink("../../ttyUSB0", dir / "dev/serial/by-id/usb-FTDI-if00-port0");
    const std::string node = std::filesystem::canonical(dir / "dev/ttyUSB0").string();
    dir.WriteFile("Loader.ini",
                  "[Ports]\nCOM2=" + (dir / "dev/serial/by-id/usb-FTDI-if00-port0").string() +
                  "\nCOM3=" + (dir / "dev/ttyUSB0").string() +
                  "\nCOM4=" + (dir / "dev/serial/by-id/gone").string() + "\nCOM5=\n");
    const std::vector<TPortMapping> mappings = ReadPortMappings(TIniFile((dir / "Loader.ini").string()));
    ASSERT_EQ(mappings.size(), std::size_t(kPortCount));
    for (std::int32_t com = 1; com <= kPortCount; ++com)
        EXPECT_EQ(mappings[std::size_t(com - 1)].com, com);
    EXPECT_EQ(mappings[1].resolved, node);
    EXPECT_EQ(mappings[2].resolved, node);
    EXPECT_TRUE(mappings[1].configured);
    EXPECT_EQ(mappings[3].resolved, "");
    EXPECT_TRUE(mappings[3].configured);
    // "COM5=" is no entry: it opens /dev/ttyS4, as the window does.
    EXPECT_EQ(mappings[4].path, "/dev/ttyS4");
    EXPECT_FALSE(mappings[4].configured);
    EXPECT_EQ(mappings[9].path, "/dev/ttyS9");
}

} // namespace
