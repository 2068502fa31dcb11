#include "journal.h"

#include "journalstore.h"

#include <cstdlib>

namespace {

std::string StepText(TJournalError::TStep step)
{
    switch (step) {
    case TJournalError::TStep::Open:
        return "Unable to open journal ";
    case TJournalError::TStep::Write:
        return "Unable to write to journal ";
    case TJournalError::TStep::Read:
        return "Unable to read journal ";
    }
    return "Unable to use journal ";
}

} // namespace

TJournalError::TJournalError(TStep step, const std::filesystem::path& file, const std::string& cause)
    : std::runtime_error(StepText(step) + file.string() + ": " + cause), step_(step), file_(file), cause_(cause)
{
}

std::filesystem::path DefaultJournalPath()
{
    // The XDG rules: a relative XDG_DATA_HOME is to be ignored.
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    std::filesystem::path folder;
    if (dataHome && std::filesystem::path(dataHome).is_absolute()) {
        folder = dataHome;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::filesystem::path(home && *home ? home : ".") / ".local" / "share";
    }
    return folder / "qr740-programmer" / "journal.sqlite";
}

TJournal::TJournal(std::filesystem::path file)
    : file_(std::move(file)), store_(std::make_unique<TJournalStore>(file_))
{
}

TJournal::~TJournal() = default;

void TJournal::Append(const TJournalRecord& record)
{
    std::lock_guard lock(mutex_);
    store_->Append(record);
}

std::vector<TJournalRecord> TJournal::Records(std::string_view since) const
{
    std::lock_guard lock(mutex_);
    return store_->Records(since);
}
