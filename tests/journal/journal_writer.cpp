// Another program using a journal, for the tests: several of them at once, one
// under a file-size limit, one without the right to write, one forwarding, one
// that dies with records under way, one holding the write lock, one reading.
//
//   journal_writer FILE --writer NAME --count N [--message-bytes B]
//                  [--file-size-limit BYTES] [--server URI]
//   journal_writer FILE --writer NAME --count N --under-way
//   journal_writer FILE --writer NAME --count N [--under-way] --units FORMAT,FIRST,LAST
//   journal_writer FILE --hold-write-lock
//   journal_writer FILE --read
//
// Prints each record's id once Append (or, --under-way, Begin) has returned.
// --under-way then prints "ready" and waits to be killed with its records
// under way; --hold-write-lock takes the file's write lock, prints "held" and
// waits to be killed; --read prints the records as `--history --format json`
// does. Exit status: 0 when every record was appended (and, with --server,
// forwarded), 3 when the journal did not open, 4 when an Append failed, 5 when
// forwarding did not finish in time, 2 for bad arguments. Errors go to stderr
// as the library words them. --units gives each record the next number of that
// series as its unit (exit status 6 when the series is used up).

#include "journal.h"
#include "journal_fixtures.h"
#include "journalforwarder.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

[[noreturn]] void WaitToBeKilled()
{
    for (;;)
        ::pause();
}

// A transaction that has written nothing yet, but holds the lock every writer
// needs, until the process ends.
int HoldWriteLock(const std::string& file)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::cerr << sqlite3_errmsg(db) << std::endl;
        return 3;
    }
    std::cout << "held" << std::endl;
    WaitToBeKilled();
}

int Read(const std::string& file)
{
    try {
        std::cout << FormatHistoryJson(ReadJournal(file)) << std::flush;
        return 0;
    } catch (const TJournalError& error) {
        std::cerr << error.what() << std::endl;
        return 3;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const std::string file = argv[1];
    if (argc == 3 && std::string(argv[2]) == "--hold-write-lock")
        return HoldWriteLock(file);
    if (argc == 3 && std::string(argv[2]) == "--read")
        return Read(file);
    std::string writer = "writer";
    bool underWay = false;
    std::string server;
    int count = 1;
    std::size_t messageBytes = 0;
    std::optional<rlim_t> fileSizeLimit;
    std::optional<TUnitSeries> series;
    for (int i = 2; i < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--under-way") {
            underWay = true;
            --i;
            continue;
        }
        if (i + 1 == argc)
            return 2;
        const std::string value = argv[i + 1];
        if (option == "--writer")
            writer = value;
        else if (option == "--count")
            count = std::stoi(value);
        else if (option == "--message-bytes")
            messageBytes = std::stoul(value);
        else if (option == "--file-size-limit")
            fileSizeLimit = std::stoull(value);
        else if (option == "--server")
            server = value;
        else if (option == "--units") {
            const auto first = value.find(',');
            const auto last = value.rfind(',');
            if (first == std::string::npos || first == last)
                return 2;
            series = TUnitSeries{value.substr(0, first), std::stoll(value.substr(first + 1, last - first - 1)),
                                 std::stoll(value.substr(last + 1))};
        }
        else
            return 2;
    }

    std::optional<TJournal> journal;
    try {
        journal.emplace(file);
    } catch (const TJournalError& error) {
        std::cerr << error.what() << std::endl;
        return 3;
    }
    if (fileSizeLimit) {
        // Past the limit a write fails with EFBIG instead of ending the process.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{*fileSizeLimit, *fileSizeLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            std::perror("setrlimit");
            return 2;
        }
    }
    std::optional<TJournalForwarder> forwarder;
    if (!server.empty()) {
        TJournalForwarderOptions options;
        options.RetryInterval = std::chrono::milliseconds(50);
        options.PollInterval = std::chrono::milliseconds(200);
        options.BatchSize = 7; // several requests per writer, interleaved with the others'
        forwarder.emplace(file, server, options);
        forwarder->Start();
    }

    for (int i = 0; i < count; ++i) {
        TJournalRecord record = SampleRecord(i, writer);
        record.Message = std::string(messageBytes, 'm');
        // Records under way are judged by the programs of their own host.
        if (underWay)
            record.Host = LocalHostName();
        try {
            if (series) {
                record.Unit = journal->BeginWithUnit(record, *series);
                if (!underWay)
                    journal->Append(record);
            } else if (underWay) {
                journal->Begin(record);
            } else {
                journal->Append(record);
            }
        } catch (const TUnitSeriesUsedUp& error) {
            std::cerr << error.what() << std::endl;
            return 6;
        } catch (const TJournalError& error) {
            std::cerr << error.what() << std::endl;
            return 4;
        }
        std::cout << record.Id << std::endl;
        if (forwarder)
            forwarder->RecordAppended();
    }
    if (underWay) {
        std::cout << "ready" << std::endl;
        WaitToBeKilled();
    }
    if (forwarder) {
        const bool drained = WaitFor([&] {
            const TJournalForwarderStatus status = forwarder->Status();
            return status.Waiting == 0 && status.LastError.empty();
        });
        if (!drained) {
            std::cerr << "forwarding unfinished: " << forwarder->Status().LastError << std::endl;
            return 5;
        }
    }
    return 0;
}
