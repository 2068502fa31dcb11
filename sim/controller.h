#pragma once

// The controller's side of the conversation, without any device: bytes in, bytes
// out, and a transcript of what happened. Time and the line's speed are given to
// it, so that it can be driven from a pseudo-terminal or straight from a test.

#include "options.h"

#include "fcrc.h"
#include "frame.h"

#include <chrono>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;
inline constexpr std::chrono::milliseconds kAnnouncePeriod{250};
inline constexpr unsigned kParameterBaud = 19200;

enum class Stage : std::uint8_t {
    BootRom,    // announcing ACK NAK until "APL" arrives
    Upload,     // the identification has gone out; receiving the loader
    Halted,     // the loader did not arrive intact; nothing runs until power is cycled
    Loader,     // the loader runs and answers frames
    Parameters, // text lines at 19200 baud, each answered
    HungUp,     // the line has been closed
};

const char* StageName(Stage stage);

struct Event {
    std::chrono::milliseconds at{}; // since Start
    Stage stage = Stage::BootRom;
    std::string text;
    bool unexpected = false; // something the programmer should not have done
};

class Controller {
public:
    explicit Controller(Options options);

    // Power on: the boot ROM starts announcing at `now`.
    void Start(Clock::time_point now);

    // One byte from the programmer, complete on the line at `now`; `lineBaud` is the
    // speed the programmer's end is set to (0 when unknown).
    void Receive(std::uint8_t byte, Clock::time_point now, unsigned lineBaud);
    void Receive(std::span<const std::uint8_t> bytes, Clock::time_point now, unsigned lineBaud);

    // Lets time pass: announcements fall due, quiet lines end sessions.
    void Advance(Clock::time_point now);
    // The moment Advance next has something to do.
    Clock::time_point NextDeadline() const;
    // Bytes went out on the line at `now`; a session does not end while they do.
    void NoteLineActivity(Clock::time_point now);

    // Bytes to send, in order, since the last call.
    std::vector<std::uint8_t> TakeOutput();
    std::vector<Event> TakeEvents();
    // True once, when the line should now be closed (the hang-up fault).
    bool TakeHangup();
    // The adapter is pulled out, whatever the controller is doing: the line is
    // closed, and comes back as a new one once the session has ended.
    void Unplug(Clock::time_point now);
    // Adds an event of the surrounding I/O (port opened, bytes lost) to the transcript.
    void Note(Clock::time_point now, std::string text, bool unexpected = false);

    Stage CurrentStage() const { return stage_; }
    int SessionsCompleted() const { return sessionsCompleted_; }
    bool AnythingUnexpected() const { return unexpected_; }
    // Flash contents from FlashStart up to FlashEnd.
    const std::vector<std::uint8_t>& Flash() const { return flash_; }
    const std::vector<std::string>& ParameterLines() const { return parameterLines_; }
    const Options& Settings() const { return options_; }

private:
    void Reboot(Clock::time_point now);
    void Emit(Clock::time_point now, std::string text, bool unexpected = false);
    // Queues bytes for the line; false when the controller has been silenced.
    bool Send(std::span<const std::uint8_t> bytes);
    // Queues a frame, its CRC broken when the fault asks so for `faultKey`; returns
    // its line of the transcript.
    std::string SendFrame(std::uint8_t command, std::uint32_t address,
                          std::span<const std::uint8_t> data, char faultKey);
    void GoSilentAfter(Clock::time_point now, Step step, int block = 0);

    void Stray(std::uint8_t byte, Clock::time_point now);
    void FlushStray(Clock::time_point now);

    void ReceiveBoot(std::uint8_t b, Clock::time_point now);
    void ReceiveUpload(std::uint8_t b, Clock::time_point now);
    void UploadByte(std::uint8_t b, Clock::time_point now);
    void ReceiveFrameByte(std::uint8_t b, Clock::time_point now);
    void HandleFrame(Clock::time_point now);
    void ReceiveParameterByte(std::uint8_t b, Clock::time_point now, unsigned lineBaud);
    void EndSession(Clock::time_point now);
    // Under --random-faults: draws this session's fault and says which.
    void BeginSession(Clock::time_point now);

    void AnswerVersion(Clock::time_point now);
    void AnswerErase(Clock::time_point now);
    void AnswerBlock(Clock::time_point now);
    void AnswerRestart(Clock::time_point now);

    Options options_;
    Clock::time_point start_{};
    Stage stage_ = Stage::BootRom;
    bool silent_ = false;
    bool hangupPending_ = false;
    bool unexpected_ = false;
    int sessionsCompleted_ = 0;
    std::mt19937 faultDraw_;
    Clock::time_point lastActivity_{};
    std::vector<std::uint8_t> output_;
    std::vector<Event> events_;

    // Boot ROM
    Clock::time_point nextAnnounce_{};
    int announcements_ = 0;
    std::string answerWindow_; // the last bytes, while "APL" is awaited

    // Loader upload
    int uploadLengthBytes_ = 0;
    std::uint32_t uploadLength_ = 0;
    std::uint32_t uploadReceived_ = 0;
    std::uint16_t uploadCrc_ = kCrcInitial;
    std::uint16_t uploadDataCrc_ = kCrcInitial; // before the CRC bytes were folded in
    std::uint8_t uploadCrcLow_ = 0;
    int uploadCrcBytes_ = 0;
    std::string repeatedAnswer_; // leading bytes that may be one more "APL"

    // Loader
    TLinkReceiver receiver_;
    std::vector<std::uint8_t> frameData_; // all data bytes, also past the receiver's 512
    std::string seekWindow_;              // bytes that may still begin a preamble
    int blocksReceived_ = 0;

    // Parameters
    std::string line_;
    bool lineTooLong_ = false;

    // Bytes that belong nowhere, shown together
    std::vector<std::uint8_t> stray_;
    std::size_t strayCount_ = 0;
    Clock::time_point lastStray_{};

    std::vector<std::uint8_t> flash_;
    std::vector<std::string> parameterLines_;
};

} // namespace sim
