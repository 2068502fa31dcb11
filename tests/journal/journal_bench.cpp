// Prints how long the journal's calls take on this machine: Append (each one
// synced to the disk) alone and with other writers at once, and reading the
// history back. Figures, not verdicts; run by hand:
//   build/bin/journal_bench [records]

#include "journal.h"
#include "journal_fixtures.h"
#include "journalhistory.h"
#include "scratch_dir.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

void PrintAppends(const char* what, std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    const auto at = [&](double share) { return times[static_cast<std::size_t>(share * (times.size() - 1))]; };
    std::printf("%-44s n=%zu  median %.2f ms  p90 %.2f ms  p99 %.2f ms  max %.2f ms\n", what, times.size(), at(0.5),
                at(0.9), at(0.99), times.back());
}

std::vector<double> Appends(TJournal& journal, int count, const std::string& writer)
{
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const TJournalRecord record = SampleRecord(i, writer);
        const auto start = Clock::now();
        journal.Append(record);
        times.push_back(Milliseconds(Clock::now() - start));
    }
    return times;
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 300;
    ScratchDir dir;
    const auto file = dir / "journal.sqlite";

    const auto openStart = Clock::now();
    TJournal journal(file);
    std::printf("%-44s %.2f ms\n", "Open, creating the file", Milliseconds(Clock::now() - openStart));

    PrintAppends("Append, one writer", Appends(journal, count, "alone"));

    std::vector<std::vector<double>> times(3);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < times.size(); ++t)
        threads.emplace_back([&, t] {
            TJournal own(file);
            times[t] = Appends(own, count, "gang" + std::to_string(t));
        });
    for (std::thread& thread : threads)
        thread.join();
    std::vector<double> all;
    for (const auto& one : times)
        all.insert(all.end(), one.begin(), one.end());
    PrintAppends("Append, three writers at once (each)", all);

    const auto readStart = Clock::now();
    const auto records = journal.Records();
    std::printf("%-44s %.2f ms for %zu records\n", "Records()", Milliseconds(Clock::now() - readStart),
                records.size());
    for (const auto format : {THistoryFormat::Text, THistoryFormat::Csv, THistoryFormat::Json}) {
        const auto start = Clock::now();
        const std::string text = FormatHistory(records, format);
        std::printf("%-44s %.2f ms, %zu bytes\n",
                    format == THistoryFormat::Text  ? "FormatHistory text"
                    : format == THistoryFormat::Csv ? "FormatHistory csv"
                                                    : "FormatHistory json",
                    Milliseconds(Clock::now() - start), text.size());
    }
    std::printf("file size %ju bytes\n", static_cast<std::uintmax_t>(std::filesystem::file_size(file)));
    return 0;
}
