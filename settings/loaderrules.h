#pragma once

// The window's small rules about names and numbers, kept as functions of their
// inputs so that they can be checked case by case.

#include <QString>

#include <cstdint>
#include <string>

class TIniFile;

inline constexpr int kPortCount = 10;

// The configured port as the window takes it: above the last port it is the last
// port; below the first it is kept as it is, and opening it fails.
std::int32_t PortFromSetting(std::int32_t configured);

// The device for port number `port`: the path given for "COM<port>" in section
// "Ports" (an empty path counts as none), else /dev/ttyS0 for COM1 up to /dev/ttyS9 for COM10. Numbers outside
// 1 to 10 have no key and name no device, so opening them fails.
std::string PortDevicePath(const TIniFile& ini, std::int32_t port);

// The serial component formats its device name as a pattern with the port number
// for "%d"; a path is made into a pattern that formats to itself.
std::string DevicePattern(const std::string& path);

// A chosen file's name without its folder and without its last extension:
// "fw.new.bin" keeps "fw.new", so that adding the extension again names the same
// file.
QString NameWithoutExtension(const QString& path);

// The part of a chosen file's name that NameWithoutExtension drops, with its dot
// and its letter case as they stand ("FW00303.BIN" gives ".BIN"); empty for a
// name without a dot. Name and extension together are the file's name.
QString ExtensionOf(const QString& path);

// The version text an image's name carries: its fifth character, ".", then its
// sixth and seventh ("FW00303" gives "3.03"), when those three are the digits 0
// to 9; empty otherwise, since "firmware" would give "w.ar".
QString VersionFromName(const QString& name);

// The version to be installed, as the window shows it and the record keeps it:
// the chosen image's, when its name carries one (VersionFromName), else the text
// of [Software] New Version ("Unknown" when there is none). `chosenImage` is the
// image's name without folder and extension, empty when none was chosen: the
// image [Binary] names is not looked at.
QString NewVersionFor(const TIniFile& ini, const QString& chosenImage);

// 64 hexadecimal digits, in either case, as lower case; empty when the text is
// none.
QString Sha256Hex(const QString& text);

// The image pinned by [Binary] SHA256=, lower-case hex; empty when none is.
// `configured` is the value as it stands, for saying what is wrong with one
// that is no digest (the result is empty then too).
QString ImagePinFor(const TIniFile& ini, QString* configured = nullptr);
