#include "journalfields.h"

namespace {

constexpr TJournalField Text(std::string_view name, std::string TJournalRecord::*member, int layout = 1)
{
    return {name, TFieldKind::Text, member, nullptr, layout};
}

constexpr TJournalField Time(std::string_view name, std::string TJournalRecord::*member)
{
    return {name, TFieldKind::Time, member, nullptr};
}

constexpr TJournalField Integer(std::string_view name, std::int64_t TJournalRecord::*member, int layout = 1)
{
    return {name, TFieldKind::Integer, nullptr, member, layout};
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD

// The length of the valid UTF-8 sequence at the start of `text`, 0 when none.
std::size_t Utf8SequenceLength(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const auto continuation = [&](std::size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return continuation(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!continuation(1) || !continuation(2))
            return 0;
        // E0 followed by 80..9F would be overlong; ED followed by A0..BF a surrogate.
        if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) > 0x9F))
            return 0;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3))
            return 0;
        // F0 followed by 80..8F would be overlong; F4 followed by 90..BF past U+10FFFF.
        if ((lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) > 0x8F))
            return 0;
        return 4;
    }
    return 0;
}

} // namespace

const std::array<TJournalField, kJournalFieldCount> kJournalFields = {{
    Text("id", &TJournalRecord::Id),
    Time("started", &TJournalRecord::Started),
    Time("ended", &TJournalRecord::Ended),
    Text("host", &TJournalRecord::Host),
    Text("program_version", &TJournalRecord::ProgramVersion),
    Text("front_end", &TJournalRecord::FrontEnd),
    Integer("com_number", &TJournalRecord::ComNumber),
    Text("device_path", &TJournalRecord::DevicePath),
    Text("adapter_serial", &TJournalRecord::AdapterSerial),
    Text("identification", &TJournalRecord::Identification),
    Text("unit", &TJournalRecord::Unit, 3),
    Text("loader_file", &TJournalRecord::LoaderFile),
    Text("loader_sha256", &TJournalRecord::LoaderSha256),
    Text("loader_version", &TJournalRecord::LoaderVersion),
    Text("version_before", &TJournalRecord::VersionBefore),
    Text("version_to_install", &TJournalRecord::VersionToInstall),
    Text("image_path", &TJournalRecord::ImagePath),
    Integer("image_size", &TJournalRecord::ImageSize),
    Text("image_sha256", &TJournalRecord::ImageSha256),
    Text("flash_sha256", &TJournalRecord::FlashSha256, 3),
    Integer("flash_start", &TJournalRecord::FlashStart),
    Integer("flash_end", &TJournalRecord::FlashEnd),
    Integer("block_size", &TJournalRecord::BlockSize),
    Integer("blocks_examined", &TJournalRecord::BlocksExamined),
    Integer("blocks_sent", &TJournalRecord::BlocksSent),
    Integer("blocks_skipped", &TJournalRecord::BlocksSkipped),
    Text("parameter_file", &TJournalRecord::ParameterFile),
    Text("parameter_sha256", &TJournalRecord::ParameterSha256),
    Integer("parameter_lines_sent", &TJournalRecord::ParameterLinesSent),
    Integer("parameter_lines_refused", &TJournalRecord::ParameterLinesRefused, 2),
    Text("outcome", &TJournalRecord::Outcome),
    Text("failure_kind", &TJournalRecord::FailureKind),
    Text("message", &TJournalRecord::Message),
    Integer("duration_ms", &TJournalRecord::DurationMs),
}};

std::string FieldText(const TJournalRecord& record, const TJournalField& field)
{
    if (field.Kind == TFieldKind::Integer)
        return std::to_string(record.*field.IntegerMember);
    return record.*field.TextMember;
}

std::string ValidUtf8(std::string_view text)
{
    std::string valid;
    valid.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = Utf8SequenceLength(text);
        if (length == 0 || text[0] == '\0') {
            valid += kReplacement;
            text.remove_prefix(1);
        } else {
            valid += text.substr(0, length);
            text.remove_prefix(length);
        }
    }
    return valid;
}
