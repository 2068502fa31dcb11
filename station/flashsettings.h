#pragma once

// What qr740-flash programs with, gathered and checked before any line is
// touched: the program's folder and its Loader.ini, the ports, the image, the
// parameter file and the loaders. A failure here is a set-up error, or a usage
// error where the command line itself is at fault.

#include "flashoptions.h"
#include "inifile.h"
#include "unitseries.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct TFlashPort {
    QString Name;            // as the operator named it: "COM3", or the device path
    std::int32_t ComNumber;  // 0 when no COM number of Loader.ini maps to the device
    std::string Device;      // the path opened
};

struct TFlashSettings {
    QString Folder; // the program's folder, with its trailing separator
    std::unique_ptr<TIniFile> Ini;
    std::vector<TFlashPort> Ports;
    // Folder (with separator), name and extension: together the file's path.
    QString ImageFolder, ImageName, ImageExtension;
    QString ParameterFolder, ParameterName, ParameterExtension; // name empty: none
    QString NewVersion; // the version the image carries, for the record
    // The image's SHA-256 (hex, lower case): the pinned one ([Binary] SHA256=
    // or --image-sha256), or, without a pin, the file's as the run began.
    QString ImageSha256;
    bool ImagePinned = false;
    // [Serial Numbers]: each controller is given the series' next number, taken
    // from the journal. None when the settings name no series.
    std::optional<TUnitSeries> UnitSeries;
};

struct TFlashSetup {
    enum TStatus { Ready, UsageError, SetUpError } Status = Ready;
    QString Error;
    TFlashSettings Settings;
};

// Resolves and checks everything for a run. `currentFolder` is where relative
// paths of the command line start; `folder` the program's folder as the window
// would choose it.
TFlashSetup PrepareFlash(const TFlashOptions& options, const QString& folder, const QString& currentFolder);

// The port as the operator named it: "COMn" in any letter case (mapped through
// [Ports]), or a device path. Exposed for tests.
TFlashPort ResolveFlashPort(const QString& given, const TIniFile& ini);

// The port's failure to open as qr740-flash says it. The component names ports
// by number, as the window does ("Invalid port number (COM3)"); a port named by
// its path is told by its path, and what kept it from opening:
// "no such device", "not a serial line", or the system's reason.
QString PortOpenText(const TFlashPort& port, const QString& componentText);

// The file a device path finally names, for telling two names of one device
// apart; the path itself where it cannot be resolved.
std::string CanonicalDevice(const std::string& path);
