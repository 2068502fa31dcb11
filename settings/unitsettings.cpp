#include "unitsettings.h"

#include "inifile.h"

#include <charconv>

namespace {

constexpr std::string_view kSection = "Serial Numbers";

std::optional<std::int64_t> Number(std::string_view text)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

TUnitSettings ReadUnitSettings(const TIniFile& ini)
{
    TUnitSettings settings;
    const std::string format = ini.ReadString(kSection, "Format", "");
    if (format.empty())
        return settings;
    TUnitSeries series;
    series.Format = format;
    const std::string first = ini.ReadString(kSection, "First", "1");
    const std::string last = ini.ReadString(kSection, "Last", "");
    const auto firstNumber = Number(first);
    const auto lastNumber = Number(last);
    if (!firstNumber || !lastNumber) {
        settings.Error = QStringLiteral("[Serial Numbers] in Loader.ini needs First and Last as whole numbers "
                                        "(First=%1, Last=%2)")
                             .arg(QString::fromStdString(first), QString::fromStdString(last));
        return settings;
    }
    series.First = *firstNumber;
    series.Last = *lastNumber;
    if (const auto fault = UnitSeriesFault(series)) {
        settings.Error = QStringLiteral("[Serial Numbers] in Loader.ini: ") + QString::fromStdString(*fault);
        return settings;
    }
    settings.Series = series;
    return settings;
}
