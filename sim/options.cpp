#include "options.h"

#include <limits>

namespace sim {

namespace {

// The flash image is held in memory and written out whole; a range this large is
// far beyond any controller of the family and almost certainly a typing error.
constexpr std::uint64_t kMaxFlashRange = 64u * 1024 * 1024;

std::optional<int> ParseCount(const std::string& text)
{
    const auto n = ParseNumber(text);
    if (!n || *n < 1 || *n > std::uint64_t(std::numeric_limits<int>::max()))
        return std::nullopt;
    return int(*n);
}

bool AddSilentPoint(Faults& faults, const std::string& step)
{
    static const struct {
        const char* name;
        Step step;
    } kSteps[] = {
        {"hs", Step::Handshake}, {"id", Step::Identification}, {"loader", Step::Loader},
        {"V", Step::Version},    {"E", Step::Erase},           {"S", Step::Restart},
    };
    for (const auto& s : kSteps) {
        if (step == s.name) {
            faults.silentAfter.insert({s.step, 0});
            return true;
        }
    }
    if (step.rfind("P:", 0) == 0) {
        if (const auto n = ParseCount(step.substr(2))) {
            faults.silentAfter.insert({Step::Block, *n});
            return true;
        }
    }
    return false;
}

} // namespace

std::optional<std::uint64_t> ParseNumber(const std::string& text)
{
    int base = 10;
    std::size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i == text.size())
        return std::nullopt;
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            return std::nullopt;
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / unsigned(base))
            return std::nullopt;
        value = value * unsigned(base) + digit;
    }
    return value;
}

bool AddFault(Faults& faults, const std::string& text)
{
    const auto colon = text.find(':');
    const std::string name = text.substr(0, colon);
    const std::string arg = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    const bool hasArg = colon != std::string::npos;

    if (name == "nak-erase" && !hasArg) {
        faults.nakErase = true;
        return true;
    }
    if (name == "at-silent" && !hasArg) {
        faults.atSilent = true;
        return true;
    }
    if (name == "at-error" && !hasArg) {
        faults.atError = true;
        return true;
    }
    if (name == "nak-block" && hasArg) {
        if (const auto n = ParseCount(arg)) {
            faults.nakBlocks.insert(*n);
            return true;
        }
        return false;
    }
    if (name == "hangup-after-block" && hasArg) {
        if (const auto n = ParseCount(arg)) {
            faults.hangupAfterBlock.insert(*n);
            return true;
        }
        return false;
    }
    if (name == "silent-after" && hasArg)
        return AddSilentPoint(faults, arg);
    if (name == "bad-crc" && arg.size() == 1 && std::string("LVEPS").find(arg[0]) != std::string::npos) {
        faults.badCrc.insert(arg[0]);
        return true;
    }
    return false;
}

const std::vector<std::string>& RandomFaults()
{
    // Block numbers stay low so that any image of two blocks or more meets them.
    // No fault is listed several times: a soak wants sound sessions too.
    static const std::vector<std::string> faults = {
        "", "", "", "", "",
        "nak-erase", "nak-block:2", "silent-after:hs", "silent-after:id", "silent-after:loader",
        "silent-after:V", "silent-after:E", "silent-after:P:2", "silent-after:S",
        "bad-crc:L", "bad-crc:V", "bad-crc:E", "bad-crc:P", "bad-crc:S",
        "hangup-after-block:2", "at-silent", "at-error",
    };
    return faults;
}

ParseResult ParseArguments(const std::vector<std::string>& args)
{
    ParseResult result;
    Options options;
    auto fail = [&](const std::string& message) {
        result.error = message;
        return result;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            result.help = true;
            return result;
        }
        if (arg == "--pace") {
            options.pace = true;
            continue;
        }
        if (arg == "--once") {
            options.once = true;
            continue;
        }

        static const char* const kWithValue[] = {
            "--link", "--id", "--loader-version", "--flash-start", "--flash-end", "--block-size",
            "--fw-version", "--fault", "--flash-out", "--params-out", "--quiet-ms", "--turnaround-out",
            "--random-faults",
        };
        bool known = false;
        for (const char* name : kWithValue)
            known = known || arg == name;
        if (!known)
            return fail("unknown option " + arg);
        if (i + 1 == args.size())
            return fail(arg + " needs a value");
        const std::string& value = args[++i];

        auto number = [&](std::uint64_t max) -> std::optional<std::uint64_t> {
            const auto n = ParseNumber(value);
            if (!n || *n > max)
                return std::nullopt;
            return n;
        };
        const auto bad = [&] { return fail("invalid value for " + arg + ": " + value); };

        if (arg == "--link") {
            if (value.empty())
                return bad();
            options.link = value;
        } else if (arg == "--id") {
            if (value.find('\x06') != std::string::npos)
                return bad(); // the ACK ends the identification, so it cannot be part of it
            options.id = value;
        } else if (arg == "--loader-version") {
            if (value.size() > 65535)
                return bad();
            options.loaderVersion = value;
        } else if (arg == "--flash-start") {
            const auto n = number(0xFFFFFFFFu);
            if (!n)
                return bad();
            options.flashStart = std::uint32_t(*n);
        } else if (arg == "--flash-end") {
            const auto n = number(0xFFFFFFFFu);
            if (!n)
                return bad();
            options.flashEnd = std::uint32_t(*n);
        } else if (arg == "--block-size") {
            const auto n = number(0xFFFF);
            if (!n)
                return bad();
            options.blockSize = std::uint16_t(*n);
        } else if (arg == "--fw-version") {
            const auto n = number(0xFFFF);
            if (!n)
                return bad();
            options.fwVersion = std::uint16_t(*n);
        } else if (arg == "--fault") {
            if (!AddFault(options.faults, value))
                return fail("unknown fault " + value);
        } else if (arg == "--flash-out") {
            options.flashOut = value;
        } else if (arg == "--params-out") {
            options.paramsOut = value;
        } else if (arg == "--turnaround-out") {
            options.turnaroundOut = value;
        } else if (arg == "--random-faults") {
            const auto n = number(0xFFFFFFFFu);
            if (!n)
                return bad();
            options.randomFaultSeed = std::uint32_t(*n);
        } else if (arg == "--quiet-ms") {
            const auto n = number(24u * 3600 * 1000);
            if (!n || *n == 0)
                return bad();
            options.quietPeriod = std::chrono::milliseconds(*n);
        }
    }

    if (options.link.empty())
        return fail("--link PATH is required");
    if (options.flashEnd > options.flashStart &&
        std::uint64_t(options.flashEnd - options.flashStart) > kMaxFlashRange)
        return fail("the flash range from --flash-start to --flash-end is larger than 64 MiB");
    result.options = options;
    return result;
}

std::string Usage()
{
    return R"(Usage: qr740-sim --link PATH [options]

A simulated QR740 controller on a pseudo-terminal. It plays the boot ROM, the
target loader and the parameter mode, byte for byte, and prints a transcript of
the conversation as it happens.

  --link PATH            make PATH a symbolic link to the simulated serial device
                         (required); an existing symbolic link there is replaced,
                         anything else is left alone and the simulator stops.
                         The link is removed when the simulator ends.
  --id TEXT              identification text the boot ROM sends (default "QR740")
  --loader-version TEXT  version text in the loader's first frame
                         (default "LDR 1.00")
  --flash-start N        first flash address, reported in the reply to 'V'
                         (default 0x4000)
  --flash-end N          flash end address, reported in the reply to 'V'
                         (default 0x8000)
  --block-size N         programming block size in bytes, 0 to 65535 (default 256)
  --fw-version N         installed firmware version in hundredths, 303 for 3.03
                         (default 300)
  --fault NAME           misbehave as NAME; may be given several times:
                           nak-erase             answer the erase with NAK
                           nak-block:N           answer the Nth 'P' frame with NAK
                           silent-after:STEP     answer nothing once STEP is done;
                                                 STEP is hs (the "APL" answer),
                                                 id (the identification), loader
                                                 (the loader's version frame), V, E,
                                                 P:N (the Nth block) or S
                           bad-crc:CMD           send the reply to CMD (V, E, P, S,
                                                 or L for the loader's version frame)
                                                 with a broken CRC
                           hangup-after-block:N  close the line after the Nth 'P'
                                                 frame, without answering it, and
                                                 remove the link until a new line
                                                 comes, as an unplugged adapter would
                           at-silent             no answer in parameter mode
                           at-error              answer "ERROR" in parameter mode
  --pace                 keep real-line time: every byte in either direction takes
                         ten bit times at the line's current speed
  --flash-out FILE       on exit, write the flash from --flash-start up to
                         --flash-end as an image (0xFF where nothing was written)
  --params-out FILE      on exit, write the parameter lines received, one a line
  --turnaround-out FILE  on exit, write the programmer's turnarounds in seconds,
                         one a line: each from a loader reply's last byte on the
                         line to the first byte the programmer sent next
  --random-faults SEED   draw each session's fault from the list above, or none,
                         with a generator seeded by SEED, instead of --fault;
                         each session starts with a line naming its fault and the
                         time of day (UTC)
  --once                 end once a session has gone past the loader upload and
                         the line has then been quiet for 5 seconds; the exit
                         status is 0, or 1 if anything unexpected happened
  --quiet-ms N           the quiet period that ends a session, in milliseconds
                         (default 5000; for tests)
  -h, --help             show this text

Numbers are decimal, or hexadecimal after 0x. Without --once a session that has
ended is followed by a new one, as if the controller had been switched off and on.
The output files are written on every exit, SIGINT, SIGTERM and SIGHUP included.
SIGUSR1 pulls the adapter out at once, whatever the controller is doing: the line
and its link go, and a new line comes when the quiet period has passed.
Lines of the transcript marked "!!" are things the programmer should not have
done; after any of them the exit status is 1. It is 2 when the simulator cannot
run (a wrong option, a link path that is not a link, a file it cannot write).
)";
}

} // namespace sim
