#include "loaderrules.h"

#include "inifile.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

std::int32_t PortFromSetting(std::int32_t configured)
{
    return configured > kPortCount ? kPortCount : configured;
}

std::string PortDevicePath(const TIniFile& ini, std::int32_t port)
{
    const std::string fallback = "/dev/ttyS" + std::to_string(std::int64_t(port) - 1);
    if (port < 1 || port > kPortCount)
        return fallback;
    // An empty entry is taken as no entry: "COM3=" left behind by an edit should
    // not make the port unopenable.
    std::string path = ini.ReadString("Ports", "COM" + std::to_string(port), "");
    return path.empty() ? fallback : path;
}

std::string DevicePattern(const std::string& path)
{
    std::string pattern;
    pattern.reserve(path.size());
    for (const char c : path) {
        pattern.push_back(c);
        if (c == '%')
            pattern.push_back('%');
    }
    return pattern;
}

QString NameWithoutExtension(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? name : name.left(dot);
}

QString ExtensionOf(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot);
}

QString VersionFromName(const QString& name)
{
    // Characters counted from 1: the fifth is at index 4.
    constexpr qsizetype kFirst = 4;
    constexpr qsizetype kCount = 3;
    if (name.size() < kFirst + kCount)
        return {};
    for (qsizetype i = kFirst; i < kFirst + kCount; ++i) {
        if (name[i] < QLatin1Char('0') || name[i] > QLatin1Char('9'))
            return {};
    }
    return name.mid(kFirst, 1) + QLatin1Char('.') + name.mid(kFirst + 1, 2);
}

QString Sha256Hex(const QString& text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    return hex.match(text).hasMatch() ? text.toLower() : QString();
}

QString ImagePinFor(const TIniFile& ini, QString* configured)
{
    const std::string raw = ini.ReadString("Binary", "SHA256", "");
    const QString value = QFile::decodeName(QByteArray(raw.data(), qsizetype(raw.size()))).trimmed();
    if (configured)
        *configured = value;
    return Sha256Hex(value);
}

QString NewVersionFor(const TIniFile& ini, const QString& chosenImage)
{
    const QString fromName = VersionFromName(chosenImage);
    if (!fromName.isEmpty())
        return fromName;
    // Decoded as file names are, as every other setting the window shows.
    return QFile::decodeName(QByteArray::fromStdString(ini.ReadString("Software", "New Version", "Unknown")));
}
