#pragma once

// One programming session as the journal keeps it: what was put on which
// controller, when, where, and how it ended. Plain C++ types, so that any front
// end (the window, the command-line programmer, a script's tool) can fill one in.
//
// Texts are UTF-8. The controller's identification comes off the wire as bytes
// that need not be UTF-8: the caller decodes them as Latin-1 first, so that every
// byte survives as one character. TJournal::Append stores texts as valid UTF-8
// without NUL characters: a byte that is not part of valid UTF-8, and a NUL, each
// become U+FFFD, because the factory server refuses both and one such record would
// otherwise hold up every record after it.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// TJournalRecord::FrontEnd
inline constexpr std::string_view kFrontEndWindow = "window";
inline constexpr std::string_view kFrontEndCommandLine = "command line";

// TJournalRecord::Outcome
inline constexpr std::string_view kOutcomeProgrammed = "programmed";
inline constexpr std::string_view kOutcomeProgrammedWithParameters = "programmed with parameters";
inline constexpr std::string_view kOutcomeFailed = "failed";
inline constexpr std::string_view kOutcomeInterrupted = "interrupted";
// A session whose controller has announced itself and whose record is not
// complete yet. Readers show it as interrupted once the program that wrote it
// has gone (see TJournal).
inline constexpr std::string_view kOutcomeUnderWay = "under way";

struct TJournalRecord {
    std::string Id;      // NewJournalId(); unique across every bench
    std::string Started; // JournalTime(): "2026-12-10T14:03:22.123Z", UTC
    std::string Ended;
    std::string Host;           // LocalHostName()
    std::string ProgramVersion; // "3.03"
    std::string FrontEnd;       // kFrontEndWindow or kFrontEndCommandLine
    std::int64_t ComNumber = 0; // 0 when the port was named by its device path
    std::string DevicePath;     // "/dev/ttyUSB0"
    std::string AdapterSerial;  // the USB adapter's serial number; empty when unknown
    std::string Identification; // the controller's, decoded from Latin-1
    // The unit: the serial number written into it, or the label scanned from it;
    // empty when neither. Identification is the model, this is the one unit.
    std::string Unit;
    std::string LoaderFile;
    std::string LoaderSha256;     // lower-case hex
    std::string LoaderVersion;    // as the loader reports it
    std::string VersionBefore;    // "3.03"; empty when never read
    std::string VersionToInstall; // "3.04"
    std::string ImagePath;
    std::int64_t ImageSize = 0; // bytes
    std::string ImageSha256;
    std::string FlashSha256; // of the flash as programmed, whatever file it came in
    std::int64_t FlashStart = 0;
    std::int64_t FlashEnd = 0; // first address past the range
    std::int64_t BlockSize = 0;
    std::int64_t BlocksExamined = 0;
    std::int64_t BlocksSent = 0;
    std::int64_t BlocksSkipped = 0;
    std::string ParameterFile;   // empty when none was sent
    std::string ParameterSha256; // empty when none was sent
    std::int64_t ParameterLinesSent = 0;    // answered and not refused
    std::int64_t ParameterLinesRefused = 0; // answered "ERROR"
    std::string Outcome;     // one of the kOutcome... texts
    std::string FailureKind; // short identifier such as "no-response"; empty on success
    std::string Message;     // the text the operator saw at the end
    std::int64_t DurationMs = 0;

    friend bool operator==(const TJournalRecord&, const TJournalRecord&) = default;
};

// A random UUID version 4 in its usual lower-case form,
// "0f8fad5b-d9cb-469f-a165-70867728950e", from the kernel's random source.
std::string NewJournalId();

// The journal's form of a moment: UTC, ISO 8601, milliseconds and 'Z'. The
// form sorts as text in time order, which the journal relies on.
std::string JournalTime(std::chrono::system_clock::time_point moment);
std::string JournalTimeNow();
// Whether `text` is exactly in that form and names a real moment.
bool IsJournalTime(std::string_view text);

// This machine's host name; empty when the system has none to give.
std::string LocalHostName();
