#include "unitseries.h"

#include <limits>

namespace {

// The conversion in `format`: where it starts and ends, its width and whether
// it pads with zeros. Nothing when there is not exactly one, or another '%'.
struct TConversion {
    std::size_t Start = 0;
    std::size_t End = 0; // past the 'd'
    int Width = 0;
    bool Zeros = false;
};

std::optional<TConversion> ConversionOf(std::string_view format, std::string* why)
{
    std::optional<TConversion> found;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%')
            continue;
        if (i + 1 < format.size() && format[i + 1] == '%') {
            ++i;
            continue;
        }
        TConversion c;
        c.Start = i++;
        if (i < format.size() && format[i] == '0') {
            c.Zeros = true;
            ++i;
        }
        while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
            c.Width = c.Width * 10 + (format[i] - '0');
            if (c.Width > 32) {
                *why = "its width is more than 32";
                return std::nullopt;
            }
            ++i;
        }
        if (i >= format.size() || format[i] != 'd') {
            *why = "only %d, %0Nd or %Nd may stand for the number";
            return std::nullopt;
        }
        c.End = i + 1;
        if (found) {
            *why = "it names the number twice";
            return std::nullopt;
        }
        found = c;
    }
    if (!found)
        *why = "it has no %d for the number";
    return found;
}

std::string Unescaped(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%')
            ++i;
    }
    return out;
}

} // namespace

std::optional<std::string> UnitSeriesFault(const TUnitSeries& series)
{
    std::string why;
    if (!ConversionOf(series.Format, &why))
        return "the format \"" + series.Format + "\" cannot be used: " + why;
    if (series.First < 0 || series.Last < series.First)
        return "the numbers run from " + std::to_string(series.First) + " to " + std::to_string(series.Last) +
               ": First must be 0 or more and Last no less than First";
    if (series.Last == std::numeric_limits<std::int64_t>::max())
        return "Last is too large";
    return std::nullopt;
}

std::string UnitText(const TUnitSeries& series, std::int64_t number)
{
    std::string why;
    const auto c = ConversionOf(series.Format, &why);
    if (!c)
        return {};
    std::string digits = std::to_string(number);
    if (digits.size() < std::size_t(c->Width))
        digits.insert(0, std::size_t(c->Width) - digits.size(), c->Zeros ? '0' : ' ');
    const std::string_view format = series.Format;
    return Unescaped(format.substr(0, c->Start)) + digits + Unescaped(format.substr(c->End));
}
