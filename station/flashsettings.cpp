#include "flashsettings.h"

#include "loaderrules.h"
#include "paramlines.h"
#include "sessionfiles.h"
#include "unitsettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>

namespace {

QString FromSettings(const std::string& text)
{
    return QFile::decodeName(QByteArray(text.data(), qsizetype(text.size())));
}

// A file the run will read: it opens for reading and is a regular file. Opened
// without blocking, so a fifo named by mistake cannot hang the check.
int CheckReadable(const QString& path, bool& regular)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno;
    struct stat st {};
    regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return 0;
}

QString WithTrailingSeparator(QString folder)
{
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

TFlashSetup Failed(TFlashSetup::TStatus status, QString error)
{
    TFlashSetup setup;
    setup.Status = status;
    setup.Error = std::move(error);
    return setup;
}

} // namespace

std::string CanonicalDevice(const std::string& path)
{
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr)
        return resolved;
    return path;
}

QString PortOpenText(const TFlashPort& port, const QString& componentText)
{
    if (port.Name == QStringLiteral("COM%1").arg(port.ComNumber))
        return componentText;
    const QByteArray path = QFile::encodeName(port.Name);
    // The component has decided whether the device is missing or no port; the
    // path only tells which of its two texts that was.
    if (componentText.startsWith(QLatin1String("Invalid port number"))) {
        struct stat st {};
        if (::stat(path.constData(), &st) != 0 && errno == ENOENT)
            return QStringLiteral("no such device");
        return QStringLiteral("not a serial line");
    }
    if (componentText.startsWith(QLatin1String("Can't open device"))) {
        if (::access(path.constData(), R_OK | W_OK) != 0)
            return QStringLiteral("cannot be opened: %1").arg(SystemText(errno));
        // Readable and writable, yet refused: another program holds it.
        return QStringLiteral("cannot be opened: another program is using it");
    }
    return componentText;
}

TFlashPort ResolveFlashPort(const QString& given, const TIniFile& ini)
{
    static const QRegularExpression com(QStringLiteral("^com([0-9]{1,9})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    if (const auto match = com.match(given); match.hasMatch()) {
        const std::int32_t number = match.captured(1).toInt();
        return {QStringLiteral("COM%1").arg(number), number, PortDevicePath(ini, number)};
    }
    const std::string device = QFile::encodeName(given).toStdString();
    // The COM number the settings give this device, for the record and for the
    // component's messages, which name ports by number.
    const std::string canonical = CanonicalDevice(device);
    for (std::int32_t number = 1; number <= kPortCount; ++number) {
        if (CanonicalDevice(PortDevicePath(ini, number)) == canonical)
            return {given, number, device};
    }
    return {given, 0, device};
}

TFlashSetup PrepareFlash(const TFlashOptions& options, const QString& folder, const QString& currentFolder)
{
    TFlashSetup setup;
    TFlashSettings& s = setup.Settings;
    s.Folder = WithTrailingSeparator(folder);
    const QString iniPath = s.Folder + QStringLiteral("Loader.ini");
    // The window makes a missing folder with an example Loader.ini for the
    // operator to fill in; a run here has nobody to fill it in, so a folder
    // that is not there is a mistake in the command or the set-up.
    if (!QFileInfo(folder).isDir())
        return Failed(TFlashSetup::SetUpError,
                      QStringLiteral("The folder %1 does not exist: it must hold Loader.ini, the loader files "
                                     "[Loader] names, and the images and parameter files (qr740-flash creates "
                                     "no folder; qr740-programmer --folder does, with an example Loader.ini)")
                          .arg(folder));
    {
        bool regular = false;
        if (const int error = CheckReadable(iniPath, regular))
            return Failed(TFlashSetup::SetUpError,
                          QStringLiteral("Unable to read %1: %2").arg(iniPath, SystemText(error)));
        if (!regular)
            return Failed(TFlashSetup::SetUpError, QStringLiteral("Unable to read %1: %2").arg(iniPath, SystemText(EISDIR)));
    }
    s.Ini = std::make_unique<TIniFile>(QFile::encodeName(iniPath).toStdString());
    const TIniFile& ini = *s.Ini;

    // The ports, and no device twice: two sessions on one line would take
    // each other's bytes.
    std::vector<QString> names = options.Ports;
    if (names.empty())
        names.push_back(QStringLiteral("COM%1").arg(PortFromSetting(ini.ReadInteger("Communications", "Port", 1))));
    for (const QString& name : names) {
        TFlashPort port = ResolveFlashPort(name, ini);
        for (const TFlashPort& other : s.Ports) {
            if (other.Name == port.Name)
                return Failed(TFlashSetup::UsageError, QStringLiteral("port %1 named twice").arg(port.Name));
            if (CanonicalDevice(other.Device) == CanonicalDevice(port.Device))
                return Failed(TFlashSetup::UsageError,
                              QStringLiteral("%1 and %2 are the same device").arg(other.Name, port.Name));
        }
        s.Ports.push_back(std::move(port));
    }

    // The image: the command line's, or the one the window would program.
    QString image;
    if (!options.Image.isEmpty()) {
        image = QDir(currentFolder).absoluteFilePath(options.Image);
    } else {
        const QString name = FromSettings(ini.ReadString("Binary", "QR 740", ""));
        if (name.isEmpty())
            return Failed(TFlashSetup::SetUpError,
                          QStringLiteral("No image: give --image, or name one in [Binary] of %1").arg(iniPath));
        image = s.Folder + name + QStringLiteral(".bin");
    }
    {
        bool regular = false;
        if (CheckReadable(image, regular) != 0)
            return Failed(TFlashSetup::SetUpError, QStringLiteral("Target Binary File %1 Not Found").arg(image));
        if (!regular)
            return Failed(TFlashSetup::SetUpError, QStringLiteral("Target Binary File %1 Is Not A File").arg(image));
        if (QFileInfo(image).size() == 0)
            return Failed(TFlashSetup::SetUpError, QStringLiteral("Target Binary File %1 Is Empty").arg(image));
        // A HEX or S-record file that can never be programmed is said before any
        // port is opened; where its data lies is judged per controller, once its
        // flash range is known.
        const QString refusal = ImageFileRefusal(image);
        if (!refusal.isEmpty())
            return Failed(TFlashSetup::SetUpError, QStringLiteral("Target Binary File %1%2").arg(image, refusal));
    }
    // The image it must be, refused now when it is another.
    {
        QString pin = options.ImageSha256;
        if (pin.isEmpty()) {
            QString configured;
            pin = ImagePinFor(ini, &configured);
            if (!configured.isEmpty() && pin.isEmpty())
                return Failed(TFlashSetup::SetUpError,
                              QStringLiteral("[Binary] SHA256=%1 of %2 is no SHA-256 (64 hexadecimal digits)")
                                  .arg(configured, iniPath));
        }
        s.ImageSha256 = FileSha256(image);
        if (s.ImageSha256.isEmpty())
            return Failed(TFlashSetup::SetUpError, QStringLiteral("Target Binary File %1 Not Found").arg(image));
        if (!pin.isEmpty() && s.ImageSha256 != pin)
            return Failed(TFlashSetup::SetUpError,
                          QStringLiteral("Target Binary File %1 Is Not The Pinned Image: Its SHA-256 Is %2, Not %3")
                              .arg(image, s.ImageSha256, pin));
        s.ImagePinned = !pin.isEmpty();
    }
    s.ImageFolder = WithTrailingSeparator(QFileInfo(image).absolutePath());
    s.ImageName = NameWithoutExtension(image);
    s.ImageExtension = ExtensionOf(image);
    // As the window has it: an image chosen by name may carry its version.
    s.NewVersion = NewVersionFor(ini, options.Image.isEmpty() ? QString() : s.ImageName);

    // The parameter file, when one is named.
    QString params;
    if (!options.NoParams) {
        if (!options.Params.isEmpty()) {
            params = QDir(currentFolder).absoluteFilePath(options.Params);
        } else {
            const QString name = FromSettings(ini.ReadString("Load Parameters", "Parameter File", ""));
            if (!name.isEmpty())
                params = s.Folder + name + QStringLiteral(".par");
        }
    }
    if (!params.isEmpty()) {
        bool regular = false;
        if (CheckReadable(params, regular) != 0 || !regular)
            return Failed(TFlashSetup::SetUpError, QStringLiteral("Parameter File %1 Not Found").arg(params));
        s.ParameterFolder = WithTrailingSeparator(QFileInfo(params).absolutePath());
        s.ParameterName = NameWithoutExtension(params);
        s.ParameterExtension = ExtensionOf(params);
    }

    // The unit: a number of the series, or a scanned label. A mistake here would
    // otherwise be found by the first controller, after its loader, and every
    // controller after it would fail the same way.
    const TUnitSettings units = ReadUnitSettings(ini);
    if (!units.Error.isEmpty())
        return Failed(TFlashSetup::SetUpError, units.Error);
    s.UnitSeries = units.Series;
    const bool labels = !options.Unit.isEmpty() || !options.Units.isEmpty();
    if (s.UnitSeries && labels)
        return Failed(TFlashSetup::UsageError,
                      QStringLiteral("%1 labels units, yet [Serial Numbers] of %2 numbers them: the two exclude "
                                     "each other")
                          .arg(options.Unit.isEmpty() ? "--units" : "--unit", iniPath));
    // The journal is what keeps a number from being given twice.
    if (s.UnitSeries && options.NoJournal)
        return Failed(TFlashSetup::SetUpError,
                      QStringLiteral("[Serial Numbers] of %1 takes its numbers from the journal; --no-journal has "
                                     "none")
                          .arg(iniPath));
    if (!options.Units.isEmpty() && options.Units != QLatin1String("-")) {
        const QString path = QDir(currentFolder).absoluteFilePath(options.Units);
        bool regular = false;
        if (const int error = CheckReadable(path, regular))
            return Failed(TFlashSetup::SetUpError,
                          QStringLiteral("Unable to read %1: %2").arg(path, SystemText(error)));
    }
    if (!params.isEmpty() && !s.UnitSeries && !labels) {
        QFile file(params);
        if (!file.open(QIODevice::ReadOnly))
            return Failed(TFlashSetup::SetUpError, QStringLiteral("Parameter File %1 Not Found").arg(params));
        const QByteArray content = file.readAll();
        if (AnyLineHasUnitPlaceholder(std::string_view(content.constData(), std::size_t(content.size()))))
            return Failed(TFlashSetup::SetUpError,
                          QStringLiteral("Parameter File %1 writes each unit's serial number (%2), yet there is "
                                         "none to write: name a series in [Serial Numbers] of %3, or give "
                                         "--unit or --units")
                              .arg(params, QString::fromLatin1(kUnitPlaceholder.data(), kUnitPlaceholder.size()),
                                   iniPath));
    }

    // Every loader the settings name, so that no controller is refused for a
    // file that could have been found missing now.
    const std::vector<std::string> ids = ini.ReadKeys("Loader");
    if (ids.empty())
        return Failed(TFlashSetup::SetUpError, QStringLiteral("No Loader Defined in [Loader] of %1").arg(iniPath));
    for (const std::string& id : ids) {
        const QString loader = FromSettings(ini.ReadString("Loader", id, ""));
        bool regular = false;
        if (loader.isEmpty() || CheckReadable(s.Folder + loader, regular) != 0 || !regular)
            return Failed(TFlashSetup::SetUpError,
                          (loader.isEmpty() ? QString::fromStdString(id) : loader) + QStringLiteral(" Not Found"));
    }
    return setup;
}
