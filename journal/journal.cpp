#include "journal.h"

#include "journalowner.h"
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

TJournal::TJournal(std::filesystem::path file, TJournalOptions options) : file_(std::move(file))
{
    TJournalStoreOptions storeOptions;
    storeOptions.BusyTimeout = options.BusyTimeout;
    storeOptions.KeepWaiting = std::move(options.KeepWaiting);
    store_ = std::make_unique<TJournalStore>(file_, std::move(storeOptions));
    owner_ = std::make_unique<TJournalOwner>(file_);
    RemoveStaleJournalOwnerFiles(file_);
}

TJournal::~TJournal() = default;

void TJournal::Begin(const TJournalRecord& record)
{
    std::lock_guard lock(mutex_);
    TJournalRecord underWay = record;
    underWay.Outcome = std::string(kOutcomeUnderWay);
    store_->Append(underWay, owner_->Token());
    begun_.insert(record.Id);
    CloseAbandonedQuietly();
}

std::string TJournal::BeginWithUnit(const TJournalRecord& record, const TUnitSeries& series)
{
    std::lock_guard lock(mutex_);
    TJournalRecord underWay = record;
    underWay.Outcome = std::string(kOutcomeUnderWay);
    const std::string unit = store_->AppendWithUnit(underWay, owner_->Token(), series);
    begun_.insert(record.Id);
    CloseAbandonedQuietly();
    return unit;
}

std::int64_t TJournal::UnitsLeft(const TUnitSeries& series) const
{
    std::lock_guard lock(mutex_);
    return store_->UnitsLeft(series);
}

void TJournal::Append(const TJournalRecord& record)
{
    std::lock_guard lock(mutex_);
    // Only a record begun here is looked for: finishing it takes the write lock
    // even when there is nothing to finish.
    const auto begun = begun_.find(record.Id);
    if (begun == begun_.end() || !store_->Complete(record, owner_->Token()))
        store_->Append(record);
    if (begun != begun_.end())
        begun_.erase(begun);
    CloseAbandonedQuietly();
}

std::size_t TJournal::CloseAbandoned()
{
    std::lock_guard lock(mutex_);
    return store_->CloseAbandoned(owner_->Token());
}

void TJournal::CloseAbandonedQuietly()
{
    try {
        store_->CloseAbandoned(owner_->Token());
    } catch (const TJournalError&) {
        // The caller's record is stored; the others wait for the next write,
        // and every reader shows them as interrupted meanwhile.
    }
}

std::vector<TJournalRecord> TJournal::Records(std::string_view since) const
{
    TJournalFilter filter;
    filter.Since = since;
    return Records(filter);
}

std::vector<TJournalRecord> TJournal::Records(const TJournalFilter& filter) const
{
    std::lock_guard lock(mutex_);
    return store_->Records(filter);
}

std::int64_t TJournal::CountUnforwarded() const
{
    std::lock_guard lock(mutex_);
    return store_->CountUnforwarded();
}

std::vector<TJournalRecord> ReadJournal(const std::filesystem::path& file, std::string_view since)
{
    TJournalFilter filter;
    filter.Since = since;
    return ReadJournal(file, filter);
}

std::vector<TJournalRecord> ReadJournal(const std::filesystem::path& file, const TJournalFilter& filter)
{
    TJournalStoreOptions options;
    options.ReadOnly = true;
    return TJournalStore(file, std::move(options)).Records(filter);
}

std::int64_t UnitsLeftIn(const std::filesystem::path& file, const TUnitSeries& series)
{
    TJournalStoreOptions options;
    options.ReadOnly = true;
    return TJournalStore(file, std::move(options)).UnitsLeft(series);
}
