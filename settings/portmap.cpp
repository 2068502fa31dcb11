#include "portmap.h"

#include "inifile.h"
#include "loaderrules.h"

#include <algorithm>
#include <filesystem>

namespace {

constexpr std::string_view kPortsSection = "Ports";
// Wide enough for "manufacturer:", so the values of a block line up.
constexpr std::size_t kListLabelWidth = 14;

std::string ComName(std::int32_t com)
{
    return "COM" + std::to_string(com);
}

bool Contains(const std::vector<std::string>& list, const std::string& value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

const TPortMapping* MappingOf(const TPortSurvey& survey, std::int32_t com)
{
    const auto found = std::find_if(survey.mappings.begin(), survey.mappings.end(),
                                    [com](const TPortMapping& m) { return m.com == com; });
    return found == survey.mappings.end() ? nullptr : &*found;
}

// The device a COM number opens without a [Ports] entry: the same rule as
// PortDevicePath, which needs a settings file to answer.
std::string DefaultPath(std::int32_t com)
{
    return "/dev/ttyS" + std::to_string(com - 1);
}

std::string UsbId(const TSerialPort& port)
{
    return port.vendorId + ":" + port.productId;
}

void AddField(std::string& out, std::string_view label, const std::string& value)
{
    if (value.empty())
        return;
    out.append("  ");
    out.append(label);
    out.push_back(':');
    out.append(kListLabelWidth - std::min(kListLabelWidth, label.size() + 1), ' ');
    out.append(value);
    out.push_back('\n');
}

std::string JoinComNumbers(const TPortSurvey& survey, const TSerialPort& port)
{
    std::string text;
    for (const std::int32_t com : ComNumbersOf(survey, port)) {
        if (!text.empty())
            text.append(", ");
        text.append(ComName(com));
        const TPortMapping* mapping = MappingOf(survey, com);
        if (mapping && !mapping->configured)
            text.append(" (no entry in [Ports])");
    }
    return text;
}

} // namespace

std::vector<TPortMapping> ReadPortMappings(const TIniFile& ini)
{
    std::vector<TPortMapping> mappings;
    for (std::int32_t com = 1; com <= kPortCount; ++com) {
        TPortMapping mapping;
        mapping.com = com;
        mapping.path = PortDevicePath(ini, com);
        mapping.configured = !ini.ReadString(kPortsSection, ComName(com), "").empty();
        std::error_code ec;
        const std::filesystem::path resolved = std::filesystem::canonical(mapping.path, ec);
        if (!ec)
            mapping.resolved = resolved.string();
        mappings.push_back(std::move(mapping));
    }
    return mappings;
}

TPortSurvey MakePortSurvey(std::vector<TPortMapping> mappings, std::vector<TSerialPort> ports)
{
    TPortSurvey survey{std::move(mappings), {}};
    for (TSerialPort& port : ports) {
        const bool named = std::any_of(survey.mappings.begin(), survey.mappings.end(),
                                       [&](const TPortMapping& m) { return m.configured && MapsTo(m, port); });
        // Without the [Ports] entry the ttyS placeholders would fill the list
        // on most PCs, each reached by a default number that cannot open it.
        if (!port.noUart || named)
            survey.ports.push_back(std::move(port));
    }
    return survey;
}

TPortSurvey SurveyPorts(const TIniFile& ini)
{
    return MakePortSurvey(ReadPortMappings(ini), EnumerateSerialPorts());
}

bool MapsTo(const TPortMapping& mapping, const TSerialPort& port)
{
    if (mapping.path.empty())
        return false;
    return mapping.path == port.node || mapping.resolved == port.node ||
           Contains(port.byIdLinks, mapping.path) || Contains(port.byPathLinks, mapping.path);
}

std::string AdapterSerialFor(const std::vector<TSerialPort>& ports, const std::string& path)
{
    TPortMapping mapping;
    mapping.path = path;
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(path, ec);
    if (!ec)
        mapping.resolved = resolved.string();
    for (const TSerialPort& port : ports) {
        if (MapsTo(mapping, port))
            return port.serialNumber;
    }
    return {};
}

std::string AdapterSerialOf(const std::string& path)
{
    try {
        return AdapterSerialFor(EnumerateSerialPorts(), path);
    } catch (const ESerialScanError&) {
        // A record without the adapter's serial number is still a record.
        return {};
    }
}

std::vector<std::int32_t> ComNumbersOf(const TPortSurvey& survey, const TSerialPort& port)
{
    std::vector<std::int32_t> numbers;
    for (const TPortMapping& mapping : survey.mappings) {
        if (MapsTo(mapping, port))
            numbers.push_back(mapping.com);
    }
    return numbers;
}

const TSerialPort* DeviceOf(const TPortSurvey& survey, std::int32_t com)
{
    const TPortMapping* mapping = MappingOf(survey, com);
    if (!mapping)
        return nullptr;
    const auto found = std::find_if(survey.ports.begin(), survey.ports.end(),
                                    [&](const TSerialPort& port) { return MapsTo(*mapping, port); });
    return found == survey.ports.end() ? nullptr : &*found;
}

std::string MappingPathFor(const TSerialPort& port, const std::vector<TSerialPort>& present)
{
    // udev builds the by-id name from these: two adapters that agree on all of
    // them get one name between them.
    const auto sameName = [&](const TSerialPort& other) {
        return other.node != port.node && other.vendorId == port.vendorId &&
               other.productId == port.productId && other.manufacturer == port.manufacturer &&
               other.product == port.product && other.serialNumber == port.serialNumber;
    };
    const bool ownById = !port.serialNumber.empty() &&
                         std::none_of(present.begin(), present.end(), sameName);
    if (ownById && !port.byIdLinks.empty())
        return port.byIdLinks.front();
    if (!port.byPathLinks.empty())
        return port.byPathLinks.front();
    if (!port.byIdLinks.empty())
        return port.byIdLinks.front();
    return port.node;
}

std::string DescribePort(const TSerialPort& port)
{
    if (port.noUart)
        return "serial port with no UART";
    if (!port.IsUsb())
        return "serial port";
    std::string name;
    if (port.product.empty())
        name = port.manufacturer.empty() ? "USB serial adapter " + UsbId(port)
                                         : port.manufacturer + " USB serial adapter";
    else if (port.manufacturer.empty() || port.product.starts_with(port.manufacturer))
        name = port.product; // many adapters repeat their maker in the product string
    else
        name = port.manufacturer + " " + port.product;
    if (!port.serialNumber.empty())
        name += ", serial " + port.serialNumber;
    return name;
}

bool ReachedWithoutMapping(const TSerialPort& port)
{
    for (std::int32_t com = 1; com <= kPortCount; ++com) {
        if (port.node == DefaultPath(com))
            return true;
    }
    return false;
}

TPortLabel PortLabel(const TPortSurvey& survey, std::int32_t com)
{
    TPortLabel label;
    const TPortMapping* mapping = MappingOf(survey, com);
    const std::string path = mapping ? mapping->path : DefaultPath(com);
    const std::string origin = mapping && mapping->configured
                                   ? " (Loader.ini, [Ports])"
                                   : " (no entry in [Ports] of Loader.ini)";
    label.toolTip = ComName(com) + " opens " + path + origin + "\n";

    const TSerialPort* port = DeviceOf(survey, com);
    label.present = port != nullptr;
    if (!port) {
        label.text = ComName(com) + ": " + path + " (not present)";
        label.toolTip += mapping && mapping->configured
                             ? "That device is not present now. Plug the adapter in, or map " +
                                   ComName(com) + " to a device that is."
                             : "This PC has no such port: map " + ComName(com) +
                                   " to a device in [Ports] of Loader.ini.";
        return label;
    }
    label.text = ComName(com) + ": " + DescribePort(*port) + " (" + port->node + ")";
    label.toolTip += DescribePort(*port) + "\n" + "device " + port->node;
    if (!port->driver.empty())
        label.toolTip += ", driver " + port->driver;
    if (port->IsUsb())
        label.toolTip += ", USB " + UsbId(*port);
    return label;
}

std::string FormatPortList(const TPortSurvey& survey)
{
    std::string out;
    if (survey.ports.empty())
        out.append("No serial devices found.\n");
    for (const TSerialPort& port : survey.ports) {
        if (!out.empty())
            out.push_back('\n');
        out.append(port.node + ": " + DescribePort(port) + "\n");
        const std::string numbers = JoinComNumbers(survey, port);
        AddField(out, "COM", numbers.empty() ? "none" : numbers);
        for (const std::string& link : port.byIdLinks)
            AddField(out, "by-id", link);
        for (const std::string& link : port.byPathLinks)
            AddField(out, "by-path", link);
        AddField(out, "driver", port.driver);
        if (port.IsUsb())
            AddField(out, "USB id", UsbId(port));
        AddField(out, "manufacturer", port.manufacturer);
        AddField(out, "product", port.product);
        AddField(out, "serial", port.serialNumber);
        AddField(out, "map as", "COMn=" + MappingPathFor(port, survey.ports));
    }

    std::string missing;
    for (const TPortMapping& mapping : survey.mappings) {
        if (mapping.configured && !DeviceOf(survey, mapping.com))
            missing.append("  " + ComName(mapping.com) + "=" + mapping.path + "\n");
    }
    if (!missing.empty())
        out.append("\nMapped in Loader.ini but not present:\n" + missing);
    return out;
}

void WritePortMapping(TIniFile& ini, std::int32_t com, const std::string& path)
{
    if (com < 1 || com > kPortCount)
        throw EIniFileError("No such port: " + ComName(com) + " (COM1 to COM" +
                            std::to_string(kPortCount) + ")");
    ini.WriteString(kPortsSection, ComName(com), path);
}
