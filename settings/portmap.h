#pragma once

// COM numbers and the serial devices present: which number opens which device,
// what to write when a technician maps a number, and the texts that show it.
// Everything but ReadPortMappings, SurveyPorts and WritePortMapping is a pure
// function of the mappings and the device records.

#include "serialports.h"

#include <cstdint>
#include <string>
#include <vector>

class TIniFile;

// What one COM number opens.
struct TPortMapping {
    std::int32_t com = 0;
    // The [Ports] entry, or /dev/ttyS<com-1> when there is none.
    std::string path;
    bool configured = false; // the path comes from [Ports]
    // The path with every link resolved; empty when it leads nowhere, as for an
    // adapter that is unplugged.
    std::string resolved;
};

// COM1 to COM10 as Loader.ini maps them now, with their links resolved on this
// machine.
std::vector<TPortMapping> ReadPortMappings(const TIniFile& ini);

// The mappings and the devices they are shown against.
struct TPortSurvey {
    std::vector<TPortMapping> mappings;
    std::vector<TSerialPort> ports; // the devices present that are worth showing
};

// Keeps every device except the ttyS without a UART; one of those stays when
// [Ports] names it, so that the technician sees why that number fails.
TPortSurvey MakePortSurvey(std::vector<TPortMapping> mappings, std::vector<TSerialPort> ports);

// ReadPortMappings and EnumerateSerialPorts together. Throws ESerialScanError
// when the devices cannot be listed.
TPortSurvey SurveyPorts(const TIniFile& ini);

// Whether `mapping` opens `port`: the mapped path is its node or one of its
// links, or resolves to its node (a link of one's own making, or one the scan
// did not see).
bool MapsTo(const TPortMapping& mapping, const TSerialPort& port);

// The USB serial number of the device `path` opens among `ports`; empty when
// the device is not among them or has none.
std::string AdapterSerialFor(const std::vector<TSerialPort>& ports, const std::string& path);

// The same for the devices present now; empty when they cannot be listed.
std::string AdapterSerialOf(const std::string& path);

// The COM numbers that open `port`, in order.
std::vector<std::int32_t> ComNumbersOf(const TPortSurvey& survey, const TSerialPort& port);

// The device present that COM `com` opens, or nullptr when it is not present.
const TSerialPort* DeviceOf(const TPortSurvey& survey, std::int32_t com);

// The path to write for `port`, one of the devices `present`. The by-id link
// names the adapter wherever it is plugged in, but adapters of one kind without
// a serial number share one by-id link (it leads to whichever came last), and
// so do adapters that all report the same serial number. For them the by-path
// link, which names the USB socket, is taken. A device without links is named
// by its node.
std::string MappingPathFor(const TSerialPort& port, const std::vector<TSerialPort>& present);

// What a person calls the device: "FTDI FT232R USB UART, serial A10K3XYZ",
// "USB serial adapter 1a86:7523", "serial port".
std::string DescribePort(const TSerialPort& port);

// Whether a COM number reaches the device without an entry in [Ports]
// (/dev/ttyS0 to /dev/ttyS9): such a device needs no mapping.
bool ReachedWithoutMapping(const TSerialPort& port);

struct TPortLabel {
    // "COM3: FTDI FT232R USB UART, serial A10K3XYZ (/dev/ttyUSB0)", or
    // "COM4: /dev/serial/by-id/... (not present)".
    std::string text;
    // Plain text, several lines: what the number opens, where that comes from,
    // and the device's details or what to do when it is not present.
    std::string toolTip;
    bool present = false;
};

// The label of COM `com` (1 to 10) as the window shows it.
TPortLabel PortLabel(const TPortSurvey& survey, std::int32_t com);

// The --list-ports text: one block per device, with its node, links, driver,
// USB ids and strings, the COM numbers that open it and the line that maps
// one; then the mapped numbers whose device is not present.
std::string FormatPortList(const TPortSurvey& survey);

// Sets COM `com` to `path` in [Ports] (for a device: MappingPathFor), and
// changes nothing else in the file. Throws EIniFileError for a number outside
// 1 to 10 or when the file cannot be written.
void WritePortMapping(TIniFile& ini, std::int32_t com, const std::string& path);
