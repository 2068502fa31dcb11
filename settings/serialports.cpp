#include "serialports.h"

#include <libudev.h>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

namespace {

// Devices of the serial core itself (its "port" and "ctrl" devices) stand
// between a ttyS and the bus device on newer kernels; their drivers say nothing
// about the hardware.
constexpr std::string_view kSerialCoreSubsystem = "serial-base";

std::string Printable(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    }
    const std::size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

std::string AttributeOf(const TSysfsParent& parent, std::string_view name)
{
    const auto found = parent.attributes.find(name);
    return found == parent.attributes.end() ? std::string() : Printable(found->second);
}

std::string FileName(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool ShorterFirst(const std::string& a, const std::string& b)
{
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// "ttyUSB10" as ("ttyUSB", 10); a name without a trailing number has -1.
std::pair<std::string_view, long> SplitNumber(std::string_view name)
{
    std::size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9')
        --digits;
    long number = -1;
    if (digits < name.size())
        std::from_chars(name.data() + digits, name.data() + name.size(), number);
    return {name.substr(0, digits), number};
}

std::string ErrorText(int error)
{
    return std::to_string(error) + ", " + std::strerror(error);
}

// The path `link` leads to, or empty when it leads nowhere.
std::string Resolved(const std::filesystem::path& link)
{
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::canonical(link, ec);
    return ec ? std::string() : target.string();
}

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

std::string Text(const char* value)
{
    return value ? std::string(value) : std::string();
}

// The type the serial core gives a ttyS. Sysfs answers without opening the
// device; TIOCGSERIAL is asked only where sysfs does not, because opening a
// UART raises DTR and RTS, which resets some targets, and needs the permission
// of the dialout group.
std::optional<int> UartTypeOf(udev_device* tty, const char* node)
{
    if (const char* type = udev_device_get_sysattr_value(tty, "type")) {
        int value = 0;
        const std::string_view text = type;
        if (std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc())
            return value;
    }
    const int fd = ::open(node, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt; // unknown: the port is shown rather than hidden
    serial_struct info{};
    const bool known = ::ioctl(fd, TIOCGSERIAL, &info) == 0;
    ::close(fd);
    return known ? std::optional<int>(info.type) : std::nullopt;
}

std::vector<TSysfsParent> ParentsOf(udev_device* tty)
{
    std::vector<TSysfsParent> parents;
    // Parents belong to the child device; they are not unreferenced here.
    for (udev_device* parent = udev_device_get_parent(tty); parent;
         parent = udev_device_get_parent(parent)) {
        TSysfsParent entry;
        entry.subsystem = Text(udev_device_get_subsystem(parent));
        entry.devtype = Text(udev_device_get_devtype(parent));
        entry.driver = Text(udev_device_get_driver(parent));
        if (entry.subsystem == "usb" && entry.devtype == "usb_device") {
            for (const std::string_view name : kUsbAttributes) {
                if (const char* value = udev_device_get_sysattr_value(parent, std::string(name).c_str()))
                    entry.attributes.emplace(name, value);
            }
        }
        parents.push_back(std::move(entry));
    }
    return parents;
}

} // namespace

TSerialPort DescribeTtyDevice(const TTtyDevice& device)
{
    TSerialPort port;
    port.node = device.node;
    for (const TSysfsParent& parent : device.parents) {
        if (!parent.driver.empty() && parent.subsystem != kSerialCoreSubsystem) {
            port.driver = parent.driver;
            break;
        }
    }
    // The nearest USB device: a hub above it has attributes of its own.
    const auto usb = std::find_if(device.parents.begin(), device.parents.end(), [](const auto& p) {
        return p.subsystem == "usb" && p.devtype == "usb_device";
    });
    if (usb != device.parents.end()) {
        port.vendorId = AttributeOf(*usb, "idVendor");
        port.productId = AttributeOf(*usb, "idProduct");
        port.manufacturer = AttributeOf(*usb, "manufacturer");
        port.product = AttributeOf(*usb, "product");
        port.serialNumber = AttributeOf(*usb, "serial");
    }
    port.noUart = FileName(device.node).starts_with("ttyS") && device.uartType == PORT_UNKNOWN;
    return port;
}

std::map<std::string, TSerialLinks> ScanSerialLinks(const std::filesystem::path& devRoot)
{
    namespace fs = std::filesystem;
    std::map<std::string, TSerialLinks> links;
    const auto scan = [&](const char* folder, std::vector<std::string> TSerialLinks::*list) {
        std::error_code ec;
        // A folder that cannot be read costs the links, not the listing: the
        // nodes still name every device.
        for (fs::directory_iterator it(devRoot / "serial" / folder, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (!it->is_symlink(ec))
                continue;
            const std::string target = Resolved(it->path());
            if (!target.empty())
                (links[target].*list).push_back(it->path().string());
        }
    };
    scan("by-id", &TSerialLinks::byId);
    scan("by-path", &TSerialLinks::byPath);
    for (auto& [target, found] : links) {
        std::sort(found.byId.begin(), found.byId.end(), ShorterFirst);
        std::sort(found.byPath.begin(), found.byPath.end(), ShorterFirst);
    }
    return links;
}

void AttachSerialLinks(std::vector<TSerialPort>& ports,
                       const std::map<std::string, TSerialLinks>& links)
{
    for (TSerialPort& port : ports) {
        const auto found = links.find(Resolved(port.node));
        if (found == links.end())
            continue;
        port.byIdLinks = found->second.byId;
        port.byPathLinks = found->second.byPath;
    }
}

void SortByNode(std::vector<TSerialPort>& ports)
{
    std::sort(ports.begin(), ports.end(), [](const TSerialPort& a, const TSerialPort& b) {
        const auto [stemA, numberA] = SplitNumber(a.node);
        const auto [stemB, numberB] = SplitNumber(b.node);
        if (stemA != stemB)
            return stemA < stemB;
        return numberA != numberB ? numberA < numberB : a.node < b.node;
    });
}

std::vector<TSerialPort> EnumerateSerialPorts()
{
    errno = 0;
    const UdevPtr<udev> context(udev_new());
    if (!context)
        throw ESerialScanError("Unable to list the serial devices: udev_new failed (" +
                               ErrorText(errno ? errno : ENOMEM) + ")");
    const UdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
    if (!enumerate)
        throw ESerialScanError("Unable to list the serial devices: udev_enumerate_new failed (" +
                               ErrorText(errno ? errno : ENOMEM) + ")");
    if (const int r = udev_enumerate_add_match_subsystem(enumerate.get(), "tty"); r < 0)
        throw ESerialScanError("Unable to list the serial devices: matching subsystem tty failed (" +
                               ErrorText(-r) + ")");
    if (const int r = udev_enumerate_scan_devices(enumerate.get()); r < 0)
        throw ESerialScanError("Unable to list the serial devices: scanning sysfs failed (" +
                               ErrorText(-r) + ")");

    std::vector<TSerialPort> ports;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        // A device unplugged since the scan cannot be read any more, and is not
        // there to be listed.
        const UdevPtr<udev_device> tty(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!tty)
            continue;
        const char* node = udev_device_get_devnode(tty.get());
        // Virtual consoles, /dev/tty, /dev/console, ptmx and the legacy
        // pseudo-terminals have no parent device: none of them is a line to a
        // controller. The pseudo-terminals of /dev/pts are not in sysfs at all.
        if (!node || !udev_device_get_parent(tty.get()))
            continue;
        TTtyDevice device;
        device.node = node;
        device.parents = ParentsOf(tty.get());
        if (FileName(device.node).starts_with("ttyS"))
            device.uartType = UartTypeOf(tty.get(), node);
        ports.push_back(DescribeTtyDevice(device));
    }
    AttachSerialLinks(ports, ScanSerialLinks("/dev"));
    SortByNode(ports);
    return ports;
}
