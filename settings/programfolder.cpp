#include "programfolder.h"

#include "loaderrules.h"
#include "portmap.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string_view>

namespace {

constexpr std::string_view kProgramName = "qr740-programmer";
constexpr std::string_view kFolderOption = "--folder";

// The options QGuiApplication, QApplication and the X11 platform take from the
// command line. They are read after this parser has run, so the ones that take
// a value are listed to keep that value from being taken for a stray argument.
constexpr std::array<std::string_view, 16> kQtOptionsWithValue = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
    "qwindowicon", "qwindowtitle", "session", "style", "stylesheet", "display", "geometry",
    "title", "icon", "name", "qmljsdebugger",
};
constexpr std::array<std::string_view, 5> kQtFlags = {
    "reverse", "widgetcount", "nograb", "dograb", "sync",
};

bool Contains(const auto& names, std::string_view name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

QString Quoted(std::string_view argument)
{
    return QLatin1Char('\'') + QString::fromLocal8Bit(argument.data(), qsizetype(argument.size())) +
           QLatin1Char('\'');
}

TProgramOptions Failure(QString error)
{
    TProgramOptions options;
    options.action = TProgramAction::Error;
    options.error = std::move(error);
    return options;
}

} // namespace

TProgramOptions ParseProgramOptions(const std::vector<std::string>& arguments)
{
    TProgramOptions options;
    options.qtArguments.push_back(arguments.empty() ? std::string(kProgramName) : arguments[0]);
    bool folderGiven = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.action = TProgramAction::Help;
            return options;
        }
        if (argument == "--version") {
            options.action = TProgramAction::Version;
            return options;
        }
        if (argument == "--gang") {
            options.gang = true;
            continue;
        }
        if (argument == kFolderOption || argument.starts_with("--folder=")) {
            std::string_view value;
            if (argument == kFolderOption) {
                if (i + 1 == arguments.size())
                    return Failure(QStringLiteral("--folder needs a folder"));
                value = arguments[++i];
            } else {
                value = argument.substr(kFolderOption.size() + 1);
            }
            if (value.empty())
                return Failure(QStringLiteral("--folder needs a folder"));
            // A second --folder would silently override the first; one of the two
            // is a mistake the operator should hear about.
            if (folderGiven)
                return Failure(QStringLiteral("--folder given twice"));
            folderGiven = true;
            options.folder = QFile::decodeName(QByteArray(value.data(), qsizetype(value.size())));
            continue;
        }
        if (argument.size() < 2 || argument[0] != '-')
            return Failure(QStringLiteral("unexpected argument %1").arg(Quoted(argument)));

        // Qt reads its options with one dash or two, and a few as -name=value.
        std::string_view name = argument.substr(argument.starts_with("--") ? 2 : 1);
        const bool valueAttached = name.find('=') != std::string_view::npos;
        name = name.substr(0, name.find('='));
        if (Contains(kQtFlags, name) && !valueAttached) {
            options.qtArguments.emplace_back(argument);
        } else if (Contains(kQtOptionsWithValue, name)) {
            options.qtArguments.emplace_back(argument);
            if (!valueAttached) {
                if (i + 1 == arguments.size())
                    return Failure(QStringLiteral("%1 needs a value").arg(Quoted(argument)));
                options.qtArguments.push_back(arguments[++i]);
            }
        } else {
            return Failure(QStringLiteral("unknown option %1").arg(Quoted(argument)));
        }
    }
    return options;
}

QString ProgramUsage()
{
    return QStringLiteral(
        "Usage: qr740-programmer [--folder DIR] [--gang] [Qt options]\n"
        "Programs QR740 controllers over a serial port.\n"
        "\n"
        "  --folder DIR  keep Loader.ini, loaders, images and parameter files in DIR;\n"
        "                DIR and a Loader.ini with examples are created if missing\n"
        "  --gang        open the gang view: every mapped port that is present\n"
        "                programs at once (Ctrl+G switches views)\n"
        "  -h, --help    show this help and exit\n"
        "  --version     show the version and exit\n"
        "\n"
        "Without --folder the program's folder is the executable's own when a\n"
        "Loader.ini stands beside it, and otherwise $XDG_CONFIG_HOME/qr740-programmer\n"
        "(~/.config/qr740-programmer), created with a Loader.ini on first start.\n"
        "Qt's options, such as -platform offscreen or -style fusion, go to Qt.\n");
}

QString ProgramVersionLine()
{
    return QStringLiteral("qr740-programmer " QR740_VERSION);
}

TProgramFolder ResolveProgramFolder(const QString& optionFolder, const TFolderContext& context)
{
    if (!optionFolder.isEmpty())
        return {QDir::cleanPath(QDir(context.currentFolder).absoluteFilePath(optionFolder)),
                TFolderSource::Option};
    if (context.loaderIniBesideExecutable)
        return {QDir::cleanPath(context.executableFolder), TFolderSource::Portable};
    // A relative XDG_CONFIG_HOME counts as unset, as desktop programs take it:
    // a folder relative to wherever the menu happened to start us is no home.
    const QString configuration = QDir::isAbsolutePath(context.xdgConfigHome)
                                      ? context.xdgConfigHome
                                      : context.home + QStringLiteral("/.config");
    return {QDir::cleanPath(configuration + QStringLiteral("/qr740-programmer")),
            TFolderSource::UserConfiguration};
}

TFolderContext CurrentFolderContext()
{
    TFolderContext context;
    context.executableFolder = QCoreApplication::applicationDirPath();
    context.loaderIniBesideExecutable =
        QFileInfo(context.executableFolder + QStringLiteral("/Loader.ini")).isFile();
    context.xdgConfigHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    context.home = QDir::homePath();
    context.currentFolder = QDir::currentPath();
    return context;
}

namespace {

constexpr std::string_view kTemplateHead =
    "; Settings of the QR740 programmer. Loader, image and parameter files are\n"
    "; looked for in the folder of this file.\n"
    "\n"
    "[Communications]\n"
    "Port=1\n"
    "\n"
    "; Each port the window offers can be mapped to a serial device. A port\n"
    "; without an entry is /dev/ttyS0 for COM1 up to /dev/ttyS9 for COM10. USB\n"
    "; adapters keep their /dev/serial/ names whatever order they are plugged\n"
    "; in. Remove the semicolons to use the lines.\n"
    ";\n";

constexpr std::string_view kNoAdapter =
    "; No serial adapter was found when this file was written. Plug it in and\n"
    "; run qr740-flash --list-ports (or ls -l /dev/serial/by-id) to see its name.\n"
    ";[Ports]\n"
    ";COM1=/dev/ttyUSB0\n"
    ";COM2=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0\n";

constexpr std::string_view kTemplateTail =
    "\n"
    "; The loader file uploaded to a controller, by the identification the\n"
    "; controller reports, named relative to this folder.\n"
    ";[Loader]\n"
    ";QR740=qr740.ldr\n"
    "\n"
    "; The image and the parameter file chosen in the window, without extension.\n"
    ";[Binary]\n"
    ";QR 740=FW00303\n"
    ";[Load Parameters]\n"
    ";Parameter File=demo\n";

std::string AdapterEntries(const std::vector<TSerialPort>& adapters, const std::vector<TSerialPort>& present)
{
    std::string out =
        "; The adapters plugged in when this file was written (qr740-flash\n"
        "; --list-ports lists the devices present now):\n"
        ";[Ports]\n";
    std::int32_t com = 0;
    for (const TSerialPort& port : adapters) {
        if (++com > kPortCount) {
            out += "; " + std::to_string(adapters.size() - std::size_t(kPortCount)) +
                   " more: qr740-flash --list-ports lists them.\n";
            break;
        }
        // The description stands on a line of its own: a value runs to the end
        // of its line, so text after the path would become part of the path.
        out += "; " + DescribePort(port) + " (" + port.node + ")\n";
        const std::string path = MappingPathFor(port, present);
        if (std::find(port.byPathLinks.begin(), port.byPathLinks.end(), path) != port.byPathLinks.end())
            out += "; by its USB socket: adapters of this kind share one by-id name\n";
        out += ";COM" + std::to_string(com) + "=" + path + "\n";
    }
    return out;
}

} // namespace

std::string LoaderIniTemplate(const std::vector<TSerialPort>& present)
{
    std::vector<TSerialPort> adapters;
    std::copy_if(present.begin(), present.end(), std::back_inserter(adapters),
                 [](const TSerialPort& port) { return !port.noUart && !ReachedWithoutMapping(port); });
    std::string text(kTemplateHead);
    text += adapters.empty() ? std::string(kNoAdapter) : AdapterEntries(adapters, present);
    text += kTemplateTail;
    return text;
}

void PrepareProgramFolder(const QString& folder)
{
    // Every start comes here; the devices are listed only for a new file.
    if (QFileInfo::exists(QDir(folder).filePath(QStringLiteral("Loader.ini"))))
        return;
    std::vector<TSerialPort> present;
    try {
        present = EnumerateSerialPorts();
    } catch (const ESerialScanError&) {
        // The list only saves typing: the template's examples serve without it,
        // and a first start must not fail because sysfs could not be read.
    }
    PrepareProgramFolder(folder, present);
}

void PrepareProgramFolder(const QString& folder, const std::vector<TSerialPort>& present)
{
    if (!QDir().mkpath(folder))
        throw std::runtime_error("Unable to create the folder " + QFile::encodeName(folder).toStdString());
    QFile file(QDir(folder).filePath(QStringLiteral("Loader.ini")));
    if (file.exists())
        return;
    // NewOnly: a second copy starting at the same moment must not overwrite the
    // file the first one wrote, nor the operator's if it appeared meanwhile.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        if (file.exists())
            return;
        throw std::runtime_error("Unable to write " + QFile::encodeName(file.fileName()).toStdString() +
                                 ": " + file.errorString().toStdString());
    }
    const std::string content = LoaderIniTemplate(present);
    const qint64 size = qint64(content.size());
    if (file.write(content.data(), size) != size || !file.flush()) {
        const std::string reason = file.errorString().toStdString();
        // QFile::remove would not remove a file whose closing failed as well.
        file.close();
        QFile::remove(file.fileName());
        throw std::runtime_error("Unable to write " + QFile::encodeName(file.fileName()).toStdString() +
                                 ": " + reason);
    }
}
