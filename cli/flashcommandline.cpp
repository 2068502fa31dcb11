#include "flashcommandline.h"

#include "journalrecord.h"
#include "loaderrules.h"

#include <QFile>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace {

QString Text(std::string_view text)
{
    return QFile::decodeName(QByteArray(text.data(), qsizetype(text.size())));
}

TFlashOptions Failure(QString error)
{
    TFlashOptions options;
    options.Action = TFlashAction::Error;
    options.Error = std::move(error);
    return options;
}

std::optional<int> CountOf(std::string_view text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return std::atoi(std::string(text).c_str());
}

std::optional<double> SecondsOf(std::string_view text)
{
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string_view::npos)
        return std::nullopt;
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const double seconds = std::strtod(copy.c_str(), &end);
    if (errno != 0 || end != copy.c_str() + copy.size() || !std::isfinite(seconds) || seconds <= 0 ||
        seconds > 1e7)
        return std::nullopt;
    return seconds;
}

bool LooksLikeOption(std::string_view text)
{
    return text.starts_with("--") || text == "-h" || text == "-q";
}

} // namespace

bool IsFlashOutcome(std::string_view text)
{
    return text == kOutcomeProgrammed || text == kOutcomeProgrammedWithParameters || text == kOutcomeFailed ||
           text == kOutcomeInterrupted || text == kOutcomeUnderWay;
}

TFlashOptions ParseFlashOptions(const std::vector<std::string>& arguments)
{
    TFlashOptions options;
    bool folderGiven = false;
    bool imageGiven = false;
    bool paramsGiven = false;
    bool countGiven = false;
    bool waitGiven = false;
    bool journalGiven = false;
    bool serverGiven = false;
    bool sinceGiven = false;
    bool formatGiven = false;
    bool unitGiven = false;
    bool unitsGiven = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        std::string_view argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.Action = TFlashAction::Help;
            return options;
        }
        if (argument == "--version") {
            options.Action = TFlashAction::Version;
            return options;
        }
        if (argument == "--json") {
            options.Json = true;
            continue;
        }
        if (argument == "--quiet" || argument == "-q") {
            options.Quiet = true;
            continue;
        }
        if (argument == "--no-params") {
            options.NoParams = true;
            continue;
        }
        if (argument == "--no-journal") {
            options.NoJournal = true;
            continue;
        }
        if (argument == "--history") {
            options.Action = TFlashAction::History;
            continue;
        }
        if (argument == "--summary") {
            options.Action = TFlashAction::Summary;
            continue;
        }
        if (argument == "--list-ports") {
            options.Action = TFlashAction::ListPorts;
            continue;
        }

        // The options with a value, as "--name value" or "--name=value".
        std::string_view name = argument;
        std::string_view value;
        bool attached = false;
        if (const auto equals = argument.find('='); argument.starts_with("--") && equals != std::string_view::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            attached = true;
        }
        static constexpr std::string_view kWithValue[] = {
            "--folder", "--port", "--ports", "--image",  "--params",         "--count",
            "--wait",   "--since", "--format", "--journal", "--journal-server",
            "--outcome", "--unit", "--units", "--identification", "--image-sha256",
        };
        bool known = false;
        for (std::string_view option : kWithValue)
            known = known || name == option;
        if (!known) {
            if (argument.starts_with("-"))
                return Failure(QStringLiteral("unknown option '%1'").arg(Text(argument)));
            return Failure(QStringLiteral("unexpected argument '%1'").arg(Text(argument)));
        }
        if (!attached) {
            // An option where the value should be means the value was left out:
            // "--port --count 2" must not program a port named "--count".
            if (i + 1 == arguments.size() || LooksLikeOption(arguments[i + 1]))
                return Failure(QStringLiteral("%1 needs a value").arg(Text(name)));
            value = arguments[++i];
        }
        const auto once = [&](bool& given) {
            // A second one would silently override the first; one of the two is
            // a mistake the operator should hear about.
            const bool twice = given;
            given = true;
            return !twice;
        };

        if (name == "--folder") {
            if (value.empty())
                return Failure(QStringLiteral("--folder needs a folder"));
            if (!once(folderGiven))
                return Failure(QStringLiteral("--folder given twice"));
            options.Folder = Text(value);
        } else if (name == "--port" || name == "--ports") {
            // Every entry is a port: an empty one ("A,,B", "A,", "") or one of
            // blanks only is a slip in the list, not a device to try opening.
            std::string_view rest = value;
            for (;;) {
                const auto comma = name == "--ports" ? rest.find(',') : std::string_view::npos;
                const std::string_view port = rest.substr(0, comma);
                if (port.find_first_not_of(" \t") == std::string_view::npos)
                    return Failure(QStringLiteral("%1 needs a port in each place of its list").arg(Text(name)));
                options.Ports.push_back(Text(port));
                if (comma == std::string_view::npos)
                    break;
                rest = rest.substr(comma + 1);
            }
        } else if (name == "--image") {
            if (value.empty())
                return Failure(QStringLiteral("--image needs a file"));
            if (!once(imageGiven))
                return Failure(QStringLiteral("--image given twice"));
            options.Image = Text(value);
        } else if (name == "--params") {
            if (value.empty())
                return Failure(QStringLiteral("--params needs a file"));
            if (!once(paramsGiven))
                return Failure(QStringLiteral("--params given twice"));
            options.Params = Text(value);
        } else if (name == "--count") {
            const auto count = CountOf(value);
            if (!count)
                return Failure(QStringLiteral("--count needs a whole number, 0 or more"));
            if (!once(countGiven))
                return Failure(QStringLiteral("--count given twice"));
            options.Count = *count;
        } else if (name == "--journal") {
            if (value.empty())
                return Failure(QStringLiteral("--journal needs a file"));
            if (!once(journalGiven))
                return Failure(QStringLiteral("--journal given twice"));
            options.Journal = Text(value);
        } else if (name == "--journal-server") {
            if (value.empty())
                return Failure(QStringLiteral("--journal-server needs a connection URI"));
            if (!once(serverGiven))
                return Failure(QStringLiteral("--journal-server given twice"));
            options.JournalServer = Text(value);
        } else if (name == "--since") {
            if (!once(sinceGiven))
                return Failure(QStringLiteral("--since given twice"));
            options.Since = Text(value);
        } else if (name == "--format") {
            if (!once(formatGiven))
                return Failure(QStringLiteral("--format given twice"));
            if (value != "text" && value != "csv" && value != "json")
                return Failure(QStringLiteral("--format is text, csv or json"));
            options.Format = Text(value);
        } else if (name == "--outcome") {
            if (!IsFlashOutcome(value))
                return Failure(QStringLiteral("--outcome is programmed, \"programmed with parameters\", failed, "
                                              "interrupted or \"under way\""));
            options.Outcome = Text(value);
        } else if (name == "--unit") {
            // A run's label, or the unit --history and --summary look for.
            options.Unit = Text(value).trimmed();
            if (options.Unit.isEmpty())
                return Failure(QStringLiteral("--unit needs a unit"));
            if (!once(unitGiven))
                return Failure(QStringLiteral("--unit given twice"));
        } else if (name == "--units") {
            if (value.empty())
                return Failure(QStringLiteral("--units needs a file, or - for standard input"));
            if (!once(unitsGiven))
                return Failure(QStringLiteral("--units given twice"));
            options.Units = Text(value);
        } else if (name == "--identification") {
            if (value.empty())
                return Failure(QStringLiteral("--identification needs an identification"));
            options.Identification = Text(value);
        } else if (name == "--image-sha256") {
            options.ImageSha256 = Sha256Hex(Text(value));
            if (options.ImageSha256.isEmpty())
                return Failure(QStringLiteral("--image-sha256 needs the image's SHA-256, 64 hexadecimal digits"));
        } else if (name == "--wait") {
            const auto seconds = SecondsOf(value);
            if (!seconds)
                return Failure(QStringLiteral("--wait needs a number of seconds above 0"));
            if (!once(waitGiven))
                return Failure(QStringLiteral("--wait given twice"));
            options.WaitSeconds = seconds;
        }
    }
    if (options.NoParams && paramsGiven)
        return Failure(QStringLiteral("--params and --no-params exclude each other"));
    if (options.NoJournal && (journalGiven || serverGiven))
        return Failure(QStringLiteral("--no-journal and --journal or --journal-server exclude each other"));
    // Left alone they would be ignored, and a script would print everything
    // believing it had asked for a day's records.
    if (options.Action != TFlashAction::History && options.Action != TFlashAction::Summary &&
        (sinceGiven || formatGiven))
        return Failure(QStringLiteral("%1 only goes with --history or --summary").arg(sinceGiven ? "--since" : "--format"));
    if (unitGiven && unitsGiven)
        return Failure(QStringLiteral("--unit and --units exclude each other"));
    if (unitsGiven && options.Action != TFlashAction::Run)
        return Failure(QStringLiteral("--units only goes with a run"));
    if (unitGiven && options.Action != TFlashAction::Run && options.Action != TFlashAction::History &&
        options.Action != TFlashAction::Summary)
        return Failure(QStringLiteral("--unit goes with a run, --history or --summary"));
    // One label is one unit: a second controller would carry it too.
    if (unitGiven && options.Action == TFlashAction::Run &&
        (options.Ports.size() > 1 || (countGiven && options.Count != 1)))
        return Failure(QStringLiteral("--unit labels one controller: it goes with one port and --count 1"));
    // The labels say how many units there are.
    if (unitsGiven && !countGiven)
        options.Count = 0;
    if (options.Action == TFlashAction::History && options.NoJournal)
        return Failure(QStringLiteral("--history reads the journal; --no-journal has none"));
    if (options.Action == TFlashAction::Summary && options.NoJournal)
        return Failure(QStringLiteral("--summary reads the journal; --no-journal has none"));
    const bool reading = options.Action == TFlashAction::History || options.Action == TFlashAction::Summary;
    if (reading && options.Ports.size() > 1)
        return Failure(QStringLiteral("--history and --summary keep the records of one --port"));
    if (!reading && !options.Outcome.isEmpty())
        return Failure(QStringLiteral("--outcome chooses records of --history or --summary"));
    if (!reading && !options.Identification.isEmpty())
        return Failure(QStringLiteral("--identification chooses records of --history or --summary"));
    return options;
}

QString FlashUsage()
{
    return QStringLiteral(
        "Usage: qr740-flash [--folder DIR] [--port PORT]... [--ports A,B,...] [--image FILE]\n"
        "                   [--params FILE | --no-params] [--count N] [--wait SECONDS]\n"
        "                   [--image-sha256 HEX] [--json] [--quiet] [--journal FILE]\n"
        "                   [--journal-server URI | --no-journal]\n"
        "                   [--unit LABEL | --units FILE]\n"
        "       qr740-flash --history [--folder DIR] [--journal FILE] [--since DATE]\n"
        "                   [--format text|csv|json] [FILTER]...\n"
        "       qr740-flash --summary [--folder DIR] [--journal FILE] [--since DATE]\n"
        "                   [--format text|csv|json] [FILTER]...\n"
        "       qr740-flash --list-ports [--folder DIR]\n"
        "       qr740-flash --help | --version\n"
        "Programs QR740 controllers over serial ports, without a window.\n"
        "\n"
        "  --folder DIR     the program's folder: Loader.ini, loaders, images and\n"
        "                   parameter files (default: as the window finds it); it\n"
        "                   must exist: qr740-flash creates no folder\n"
        "  --port PORT      COMn (mapped in Loader.ini's [Ports]) or a device path;\n"
        "                   repeat it to program several controllers at once\n"
        "                   (default: [Communications] Port)\n"
        "  --ports A,B,...  the same for several ports in one argument\n"
        "  --image FILE     the firmware image (default: [Binary] QR 740 + .bin)\n"
        "  --image-sha256 HEX  the image must be the file with this SHA-256\n"
        "                   (default: [Binary] SHA256=); another is refused\n"
        "  --params FILE    the parameter file (default: [Load Parameters])\n"
        "  --no-params      no parameter download, whatever Loader.ini names\n"
        "  --count N        controllers to program on each port, one after another;\n"
        "                   0: until interrupted (default 1)\n"
        "  --wait SECONDS   give up when no controller announces itself in time\n"
        "                   (default: wait without limit)\n"
        "  --json           one JSON object per line on standard output\n"
        "  --quiet          only errors and one line per controller\n"
        "  --journal FILE   keep the record of every controller in FILE (default:\n"
        "                   [Journal] File=, or journal.sqlite in the program's folder)\n"
        "  --journal-server URI  forward the records to this PostgreSQL server\n"
        "                   (default: [Journal] Server=); keep its password in\n"
        "                   ~/.pgpass, where other users cannot read it\n"
        "  --no-journal     keep no record (the run refuses to start without one\n"
        "                   it can write)\n"
        "  --unit LABEL     the label scanned from the one controller of the run; its\n"
        "                   record carries it (one port, --count 1)\n"
        "  --units FILE     one label a line (- for standard input), given in order\n"
        "                   to the controllers as they identify themselves, on every\n"
        "                   port; a controller waits for its label, and the run ends\n"
        "                   with the labels (unless --count ends it first)\n"
        "  --list-ports     list the serial devices present, their links, driver, USB\n"
        "                   ids and serial number, and the COM number mapped to each\n"
        "  --history        print the journal's records and exit, writing nothing;\n"
        "                   --since DATE keeps those started then or later,\n"
        "                   --format text|csv|json\n"
        "  --summary        print the controllers programmed and failed, in all, per\n"
        "                   port and per failure kind, and the first-pass yield,\n"
        "                   and exit, writing nothing; --since DATE (default: the\n"
        "                   start of today, local time), --format text|csv|json\n"
        "  FILTER           of --history and --summary: --port PORT (COMn or a\n"
        "                   device path), --outcome OUTCOME (programmed, failed,\n"
        "                   interrupted, ...), --unit UNIT, --identification ID\n"
        "  -h, --help       show this help and exit\n"
        "  --version        show the version and exit\n"
        "\n"
        "FILE is absolute or relative to the working folder. Every wait after a\n"
        "controller has announced itself ends after the response time (8 s); one\n"
        "for its unit's label or serial number, after 15 s.\n"
        "\n"
        "A parameter line's value may be {serial}: each unit gets its own, the\n"
        "label, or the next number of the series in Loader.ini's [Serial Numbers]\n"
        "(Format=QR%06d, First=, Last=), taken from the journal so that no number\n"
        "is given twice.\n"
        "\n"
        "Exit status:\n"
        "  0              every controller programmed\n"
        "  1              at least one controller failed\n"
        "  2              a usage error\n"
        "  3              a set-up error before any controller (settings, folder,\n"
        "                 port, files, journal)\n"
        "  4              no controller announced itself within --wait\n"
        "  5              a controller's record could not be written to the journal\n"
        "                 (it is printed on standard error); outranks the others\n"
        "  130, 143, 129  ended by SIGINT, SIGTERM or SIGHUP\n"
        "  141            the reader of standard output has gone\n");
}

QString FlashVersionLine()
{
    return QStringLiteral("qr740-flash " QR740_VERSION);
}
