// Another program appending to a journal, for the tests: several of them at once,
// one under a file-size limit, one without the right to write, one forwarding.
//
//   journal_writer FILE --writer NAME --count N [--message-bytes B]
//                  [--file-size-limit BYTES] [--server URI]
//
// Prints each record's id once Append has returned. Exit status: 0 when every
// record was appended (and, with --server, forwarded), 3 when the journal did
// not open, 4 when an Append failed, 5 when forwarding did not finish in time,
// 2 for bad arguments. Errors go to stderr as the library words them.

#include "journal.h"
#include "journal_fixtures.h"
#include "journalforwarder.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include <sys/resource.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const std::string file = argv[1];
    std::string writer = "writer";
    std::string server;
    int count = 1;
    std::size_t messageBytes = 0;
    std::optional<rlim_t> fileSizeLimit;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
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
        try {
            journal->Append(record);
        } catch (const TJournalError& error) {
            std::cerr << error.what() << std::endl;
            return 4;
        }
        std::cout << record.Id << std::endl;
        if (forwarder)
            forwarder->RecordAppended();
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
