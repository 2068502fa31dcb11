#pragma once

// The serial devices present on this machine, so that a technician can tell a
// USB adapter from the built-in port and map a COM number to it.
//
// libudev lists the tty devices and walks their parents in sysfs. Nothing here
// relies on the udev database: containers and minimal systems run without one,
// and then no ID_* properties or DEVLINKS exist. The USB attributes are read
// from the USB device in sysfs, and the /dev/serial links are found by reading
// the links themselves.
//
// libudev takes nothing but the real /sys (it refuses other roots and checks
// the file system's type), so the record is built by a pure function from what
// the walk found, and the link scan takes its /dev as a parameter: both can be
// checked against adapters this machine does not have.

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class ESerialScanError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TSerialPort {
    std::string node{};                     // "/dev/ttyUSB0"
    std::vector<std::string> byIdLinks{};   // "/dev/serial/by-id/...", shortest first
    std::vector<std::string> byPathLinks{}; // "/dev/serial/by-path/...", shortest first
    std::string driver{}; // "ftdi_sio", "cdc_acm", "serial"; empty when none is bound
    // USB only, as the device reports them; empty where it does not.
    std::string vendorId{};  // "0403"
    std::string productId{}; // "6001"
    std::string manufacturer{};
    std::string product{};
    std::string serialNumber{};
    // A ttyS the kernel reserved with no UART behind it (type PORT_UNKNOWN):
    // many PCs have several, each a name with nothing to talk to.
    bool noUart = false;

    bool IsUsb() const { return !vendorId.empty(); }
    bool operator==(const TSerialPort&) const = default;
};

// One device on the way from a tty up to the root of sysfs.
struct TSysfsParent {
    std::string subsystem{}; // "usb-serial", "usb", "serial-base", "pnp", "platform"...
    std::string devtype{};   // "usb_device", "usb_interface", or empty
    std::string driver{};    // empty when no driver is bound
    // Only for a USB device: idVendor, idProduct, manufacturer, product, serial
    // as far as it has them.
    std::map<std::string, std::string, std::less<>> attributes{};
};

// What the walk found for one tty device.
struct TTtyDevice {
    std::string node{};                  // "/dev/ttyUSB0"
    std::vector<TSysfsParent> parents{}; // nearest first
    std::optional<int> uartType{};       // serial_struct.type of a ttyS, when known
};

// The sysfs attributes of a USB device that the record takes.
inline constexpr std::string_view kUsbAttributes[] = {
    "idVendor", "idProduct", "manufacturer", "product", "serial",
};

// The record for one tty device, without its links: the driver of the nearest
// parent that has one (the serial core's own port devices do not count: their
// driver is the same for every UART), the USB attributes of the nearest USB
// device, and whether a ttyS has no UART. Control characters in the device's
// strings become blanks, so that a record always fits on a line of Loader.ini.
TSerialPort DescribeTtyDevice(const TTtyDevice& device);

struct TSerialLinks {
    std::vector<std::string> byId;
    std::vector<std::string> byPath;
};

// The links under `devRoot`/serial/by-id and /by-path, keyed by the path each
// resolves to (links that lead nowhere are left out). The links are named as
// they stand under `devRoot`. Missing folders give no links: without udev,
// nobody makes them.
std::map<std::string, TSerialLinks> ScanSerialLinks(const std::filesystem::path& devRoot);

// Gives each port the links that resolve to its node.
void AttachSerialLinks(std::vector<TSerialPort>& ports,
                       const std::map<std::string, TSerialLinks>& links);

// Sorts as a person reads device names: ttyUSB2 before ttyUSB10.
void SortByNode(std::vector<TSerialPort>& ports);

// Every serial device present, pseudo-terminals and consoles left out, sorted by
// node. The ttyS without a UART are included with `noUart` set; the survey in
// portmap.h decides whether to show them. Throws ESerialScanError, naming the
// failed step and the system's error, when the device list cannot be read.
std::vector<TSerialPort> EnumerateSerialPorts();
