#include "journalrecord.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>

#include <sys/random.h>
#include <unistd.h>

std::string NewJournalId()
{
    std::array<unsigned char, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        // Sixteen bytes never block once the kernel's pool is initialised, and
        // an interrupted call is simply asked again.
        const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::string("getrandom failed (") + std::to_string(errno) + ", " +
                                     std::strerror(errno) + ")");
        }
        filled += static_cast<std::size_t>(got);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant

    static constexpr char kDigits[] = "0123456789abcdef";
    std::string id;
    id.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            id += '-';
        id += kDigits[bytes[i] >> 4];
        id += kDigits[bytes[i] & 0x0F];
    }
    return id;
}

std::string JournalTime(std::chrono::system_clock::time_point moment)
{
    using namespace std::chrono;
    const auto milliseconds = floor<std::chrono::milliseconds>(moment.time_since_epoch()).count();
    // Floor division, so that a moment before 1970 still gets 0..999 ms.
    std::int64_t seconds = milliseconds / 1000;
    std::int64_t fraction = milliseconds % 1000;
    if (fraction < 0) {
        fraction += 1000;
        --seconds;
    }
    const std::time_t asTime = static_cast<std::time_t>(seconds);
    std::tm utc{};
    ::gmtime_r(&asTime, &utc);
    char text[96]; // room for any int the compiler imagines in each field
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(fraction));
    return text;
}

std::string JournalTimeNow()
{
    return JournalTime(std::chrono::system_clock::now());
}

bool IsJournalTime(std::string_view text)
{
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (text.size() != kShape.size())
        return false;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i])
            return false;
    }
    const auto number = [&](std::size_t at, std::size_t digits) {
        int value = 0;
        for (std::size_t i = at; i < at + digits; ++i)
            value = value * 10 + (text[i] - '0');
        return value;
    };
    const std::chrono::year_month_day date{std::chrono::year(number(0, 4)),
                                           std::chrono::month(static_cast<unsigned>(number(5, 2))),
                                           std::chrono::day(static_cast<unsigned>(number(8, 2)))};
    return date.ok() && number(11, 2) < 24 && number(14, 2) < 60 && number(17, 2) < 60;
}

std::string LocalHostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}
