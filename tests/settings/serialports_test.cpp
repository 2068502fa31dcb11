#include "serialports.h"

#include "pty_pair.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

using TAttributes = std::map<std::string, std::string, std::less<>>;

// The sysfs chains of the devices a bench has, nearest parent first, as the
// kernel lays them out.
const TSysfsParent kRootHub{"usb", "usb_device", "usb",
                            TAttributes{{"idVendor", "1d6b"}, {"idProduct", "0002"},
                                        {"manufacturer", "Linux 6.1.0 xhci-hcd"},
                                        {"product", "xHCI Host Controller"}, {"serial", "0000:00:14.0"}}};
const TSysfsParent kXhci{"pci", "", "xhci_hcd", {}};

TEST(DescribeTtyDevice, TakesTheBoundDriverAndTheNearestUsbDevice)
{
    struct Case {
        const char* what;
        TTtyDevice device;
        TSerialPort port;
    };
    const Case cases[] = {
        {"FTDI behind a hub",
         {"/dev/ttyUSB0",
          {{"usb-serial", "", "ftdi_sio", {}},
           {"usb", "usb_interface", "ftdi_sio", {}},
           {"usb", "usb_device", "usb",
            TAttributes{{"idVendor", "0403"}, {"idProduct", "6001"}, {"manufacturer", "FTDI"},
                        {"product", "FT232R USB UART"}, {"serial", "A10K3XYZ"}}},
           kRootHub, kXhci},
          std::nullopt},
         {.node = "/dev/ttyUSB0", .driver = "ftdi_sio", .vendorId = "0403", .productId = "6001",
          .manufacturer = "FTDI", .product = "FT232R USB UART", .serialNumber = "A10K3XYZ"}},
        // Without the strings a cheap adapter leaves out; control characters
        // in what it does report must not break a line of Loader.ini.
        {"CH340 without strings",
         {"/dev/ttyUSB1",
          {{"usb-serial", "", "ch341", {}},
           {"usb", "usb_interface", "ch341", {}},
           {"usb", "usb_device", "usb",
            TAttributes{{"idVendor", "1a86"}, {"idProduct", "7523"}, {"product", "USB\tSerial\r\n"}}},
           kRootHub, kXhci},
          std::nullopt},
         {.node = "/dev/ttyUSB1", .driver = "ch341", .vendorId = "1a86", .productId = "7523",
          .product = "USB Serial"}},
        {"CDC ACM",
         {"/dev/ttyACM0",
          {{"usb", "usb_interface", "cdc_acm", {}},
           {"usb", "usb_device", "usb",
            TAttributes{{"idVendor", "2341"}, {"idProduct", "0043"}, {"manufacturer", "Arduino (www.arduino.cc)"},
                        {"serial", "75830333238351F0E1D1"}}},
           kRootHub, kXhci},
          std::nullopt},
         {.node = "/dev/ttyACM0", .driver = "cdc_acm", .vendorId = "2341", .productId = "0043",
          .manufacturer = "Arduino (www.arduino.cc)", .serialNumber = "75830333238351F0E1D1"}},
        // Newer kernels put the serial core's own devices between the tty and
        // the hardware.
        {"16550A on a current kernel",
         {"/dev/ttyS0",
          {{"serial-base", "port", "port", {}}, {"serial-base", "ctrl", "ctrl", {}}, {"pnp", "", "serial", {}}},
          4},
         {.node = "/dev/ttyS0", .driver = "serial"}},
        {"ttyS without a UART",
         {"/dev/ttyS1", {{"platform", "", "serial8250", {}}}, 0},
         {.node = "/dev/ttyS1", .driver = "serial8250", .noUart = true}},
        // Unknown type: shown rather than hidden.
        {"ttyS whose type could not be read",
         {"/dev/ttyS2", {{"platform", "", "serial8250", {}}}, std::nullopt},
         {.node = "/dev/ttyS2", .driver = "serial8250"}},
        {"a UART of another driver never counts as a ttyS",
         {"/dev/ttyAMA0", {{"amba", "", "uart-pl011", {}}}, 0},
         {.node = "/dev/ttyAMA0", .driver = "uart-pl011"}},
        {"no driver bound", {"/dev/ttyUSB3", {{"usb-serial", "", "", {}}}, std::nullopt},
         {.node = "/dev/ttyUSB3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(DescribeTtyDevice(c.device), c.port);
    }
}

TEST(SerialLinks, FindsTheLinksOfEachNodeInADevTree)
{
    ScratchDir dir;
    const fs::path dev = dir / "dev";
    fs::create_directories(dev / "serial/by-id");
    fs::create_directories(dev / "serial/by-path");
    for (const char* node : {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyACM0"})
        dir.WriteFile(std::string("dev/") + node, "");
    const auto link = [&](const std::string& from, const std::string& to) {
        fs::create_symlink(to, dev / "serial" / from);
    };
    // As udev makes them: relative links, two by-path forms for one socket.
    link("by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0", "../../ttyUSB0");
    link("by-id/usb-1a86_USB_Serial-if00-port0", "../../ttyUSB2");
    link("by-path/pci-0000:00:14.0-usbv2-0:1:1.0-port0", "../../ttyUSB0");
    link("by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", "../../ttyUSB0");
    link("by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", (dev / "ttyUSB1").string());
    link("by-path/pci-0000:00:14.0-usb-0:3:1.0-port0", "../../ttyUSB2");
    // Left behind by an adapter that is gone, and not a link at all.
    link("by-id/usb-Prolific_USB-Serial_Controller-if00-port0", "../../ttyUSB9");
    dir.WriteFile("dev/serial/by-id/notes", "");

    const std::string d = dev.string();
    std::vector<TSerialPort> ports;
    for (const char* node : {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyACM0"})
        ports.push_back({.node = d + "/" + node});
    AttachSerialLinks(ports, ScanSerialLinks(dev));

    const std::vector<TSerialPort> expected = {
        {.node = d + "/ttyUSB0",
         .byIdLinks = {d + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0"},
         .byPathLinks = {d + "/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0",
                         d + "/serial/by-path/pci-0000:00:14.0-usbv2-0:1:1.0-port0"}},
        {.node = d + "/ttyUSB1", .byPathLinks = {d + "/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"}},
        {.node = d + "/ttyUSB2",
         .byIdLinks = {d + "/serial/by-id/usb-1a86_USB_Serial-if00-port0"},
         .byPathLinks = {d + "/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0"}},
        {.node = d + "/ttyACM0"},
    };
    EXPECT_EQ(ports, expected);

    // Without udev there is no /dev/serial at all.
    fs::create_directory(dir / "bare");
    EXPECT_TRUE(ScanSerialLinks(dir / "bare").empty());
}

TEST(SortByNode, ReadsTheNumbersAsNumbers)
{
    std::vector<TSerialPort> ports;
    for (const char* node : {"/dev/ttyUSB10", "/dev/ttyS1", "/dev/ttyUSB2", "/dev/ttyACM0", "/dev/ttyS0",
                             "/dev/ttyUSB1", "/dev/ttyAMA0"})
        ports.push_back({.node = node});
    SortByNode(ports);
    std::vector<std::string> nodes;
    for (const TSerialPort& port : ports)
        nodes.push_back(port.node);
    EXPECT_EQ(nodes, (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyS1",
                                               "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB10"}));
}

// Consoles and pseudo-terminals by their names: /dev/tty, /dev/tty1,
// /dev/console, /dev/ptmx, /dev/pts/3, and the legacy /dev/ptyp0 and /dev/ttyp0.
bool IsTerminalName(std::string_view node)
{
    if (node.starts_with("/dev/pts/") || node.starts_with("/dev/pty") || node == "/dev/console" ||
        node == "/dev/ptmx")
        return true;
    if (!node.starts_with("/dev/tty"))
        return false;
    const std::string_view rest = node.substr(8);
    if (std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return true;
    return rest.size() == 2 && ((rest[0] >= 'p' && rest[0] <= 'z') || (rest[0] >= 'a' && rest[0] <= 'e')) &&
           std::isxdigit(static_cast<unsigned char>(rest[1]));
}

std::string ReadAttribute(const fs::path& path)
{
    std::ifstream in(path);
    std::string value;
    std::getline(in, value);
    return value;
}

// On this machine, with a pseudo-terminal open while it runs: the real sysfs
// through libudev, whatever devices the machine has.
TEST(EnumerateSerialPorts, ListsTheDevicesOfThisMachineAndNoTerminals)
{
    ScratchDir dir;
    const PtyPair pty(dir / "link");
    const std::vector<TSerialPort> ports = EnumerateSerialPorts();

    std::vector<std::string> nodes;
    for (const TSerialPort& port : ports) {
        SCOPED_TRACE(port.node);
        nodes.push_back(port.node);
        EXPECT_FALSE(IsTerminalName(port.node));
        EXPECT_NE(port.node, pty.SlaveName());
        struct stat st {};
        ASSERT_EQ(::stat(port.node.c_str(), &st), 0) << "the node does not exist";
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        const std::string name = fs::path(port.node).filename();
        if (name.starts_with("ttyS")) {
            EXPECT_EQ(port.noUart, ReadAttribute("/sys/class/tty/" + name + "/type") == "0");
        }
    }
    std::vector<TSerialPort> sorted = ports;
    SortByNode(sorted);
    EXPECT_EQ(sorted, ports);

    // Every tty that sysfs shows with a device behind it and a node in /dev is
    // listed.
    for (const auto& entry : fs::directory_iterator("/sys/class/tty")) {
        const std::string name = entry.path().filename();
        if (!fs::exists(entry.path() / "device") || !fs::exists("/dev/" + name))
            continue;
        EXPECT_NE(std::find(nodes.begin(), nodes.end(), "/dev/" + name), nodes.end()) << name;
    }
}

} // namespace
