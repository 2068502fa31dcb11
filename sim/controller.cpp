#include "controller.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <ctime>
#include <utility>

namespace sim {

namespace {

constexpr std::string_view kAnswer = "APL";
// The reserved window that the programmer steps over; no block may be written there.
constexpr std::uint64_t kReservedFrom = 0xF0000;
constexpr std::uint64_t kReservedTo = 0xFC000;
// Stray bytes are shown together once this long has passed without another one.
constexpr std::chrono::milliseconds kStrayGather{100};
// A parameter line is text of a few dozen characters; anything longer is kept short.
constexpr std::size_t kMaxLine = 4096;
constexpr std::size_t kMaxFrameData = 65535;
constexpr std::size_t kStrayShown = 16;
// While no answer comes, the transcript says so after this many announcements (5 s),
// and again each time the count has doubled, so that a long wait stays short to read.
constexpr int kAnnounceReportFirst = 20;

std::string Format(const char* format, auto... args)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, format, args...);
    return buf;
}

std::string Printable(std::string_view text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')
            out += char(c);
        else
            out += Format("\\x%02X", unsigned(c));
    }
    return out;
}

std::string CommandText(std::uint8_t command)
{
    if (command >= 0x20 && command < 0x7F)
        return Format("'%c'", command);
    return Format("0x%02X", unsigned(command));
}

std::string FrameText(const char* direction, std::uint8_t command, std::uint32_t address,
                      std::size_t length)
{
    return Format("%s frame %s addr 0x%08X len %zu", direction, CommandText(command).c_str(),
                  unsigned(address), length);
}

std::string VersionText(std::uint16_t hundredths)
{
    return Format("%u.%02u", unsigned(hundredths / 100), unsigned(hundredths % 100));
}

} // namespace

const char* StageName(Stage stage)
{
    switch (stage) {
    case Stage::BootRom:
        return "boot ROM";
    case Stage::Upload:
        return "upload";
    case Stage::Halted:
        return "halted";
    case Stage::Loader:
        return "loader";
    case Stage::Parameters:
        return "parameters";
    case Stage::HungUp:
        return "hung up";
    }
    return "?";
}

Controller::Controller(Options options) : options_(std::move(options)), faultDraw_(options_.randomFaultSeed.value_or(0))
{
    if (options_.flashEnd > options_.flashStart)
        flash_.assign(options_.flashEnd - options_.flashStart, 0xFF);
}

void Controller::Start(Clock::time_point now)
{
    start_ = now;
    Reboot(now);
    BeginSession(now);
}

void Controller::Reboot(Clock::time_point now)
{
    stage_ = Stage::BootRom;
    silent_ = false;
    lastActivity_ = now;
    nextAnnounce_ = now;
    announcements_ = 0;
    answerWindow_.clear();
    uploadLengthBytes_ = 0;
    uploadLength_ = 0;
    uploadReceived_ = 0;
    uploadCrc_ = kCrcInitial;
    uploadDataCrc_ = kCrcInitial;
    uploadCrcBytes_ = 0;
    repeatedAnswer_.clear();
    receiver_.Reset();
    frameData_.clear();
    seekWindow_.clear();
    blocksReceived_ = 0;
    line_.clear();
}

void Controller::Emit(Clock::time_point now, std::string text, bool unexpected)
{
    events_.push_back({std::chrono::duration_cast<std::chrono::milliseconds>(now - start_), stage_,
                       std::move(text), unexpected});
    unexpected_ = unexpected_ || unexpected;
}

void Controller::Note(Clock::time_point now, std::string text, bool unexpected)
{
    Emit(now, std::move(text), unexpected);
}

bool Controller::Send(std::span<const std::uint8_t> bytes)
{
    if (silent_)
        return false;
    output_.insert(output_.end(), bytes.begin(), bytes.end());
    return true;
}

std::string Controller::SendFrame(std::uint8_t command, std::uint32_t address,
                                  std::span<const std::uint8_t> data, char faultKey)
{
    auto frame = EncodeLinkFrame(command, address, data);
    const bool broken = options_.faults.badCrc.count(faultKey) != 0;
    if (broken)
        frame.back() ^= 0xFF;
    std::string text = FrameText("->", command, address, data.size());
    text += broken ? Format(" CRC broken (fault bad-crc:%c)", faultKey) : std::string(" CRC ok");
    if (!Send(frame))
        text += " [silent: not sent]";
    return text;
}

void Controller::GoSilentAfter(Clock::time_point now, Step step, int block)
{
    if (silent_ || !options_.faults.SilentAfter(step, block))
        return;
    silent_ = true;
    Emit(now, "falls silent from here on (fault silent-after)");
}

std::vector<std::uint8_t> Controller::TakeOutput()
{
    return std::exchange(output_, {});
}

std::vector<Event> Controller::TakeEvents()
{
    return std::exchange(events_, {});
}

bool Controller::TakeHangup()
{
    return std::exchange(hangupPending_, false);
}

void Controller::Unplug(Clock::time_point now)
{
    if (stage_ == Stage::HungUp)
        return;
    Emit(now, "the adapter is unplugged");
    stage_ = Stage::HungUp;
    hangupPending_ = true;
    lastActivity_ = std::max(lastActivity_, now);
}

void Controller::NoteLineActivity(Clock::time_point now)
{
    lastActivity_ = std::max(lastActivity_, now);
}

// ---------------------------------------------------------------- time

void Controller::Advance(Clock::time_point now)
{
    if (stage_ == Stage::BootRom && !silent_ && now >= nextAnnounce_) {
        const std::uint8_t announcement[] = {kAck, kNak};
        Send(announcement);
        ++announcements_;
        if (announcements_ == 1)
            Emit(now, "-> ACK NAK, repeated every 250 ms until \"APL\" comes");
        else if (announcements_ % kAnnounceReportFirst == 0 &&
                 std::has_single_bit(unsigned(announcements_ / kAnnounceReportFirst)))
            Emit(now, Format("-> ACK NAK (%d times, no answer yet)", announcements_));
        while (nextAnnounce_ <= now)
            nextAnnounce_ += kAnnouncePeriod;
    }

    if (strayCount_ != 0 && now - lastStray_ >= kStrayGather)
        FlushStray(now);

    if (now - lastActivity_ < options_.quietPeriod)
        return;
    switch (stage_) {
    case Stage::BootRom:
        break;
    case Stage::Upload:
        if (uploadLengthBytes_ == 0 && repeatedAnswer_.empty()) {
            // The programmer never began the upload (it may know no loader for
            // this identification). A silenced controller stays as it is,
            // unless sessions draw their faults: a soak goes on with the next
            // one. Otherwise the technician would switch it off and on again.
            if (!silent_) {
                Emit(now, "no loader upload came; the boot ROM starts again");
                Reboot(now);
            } else if (options_.randomFaultSeed) {
                EndSession(now);
            }
            break;
        }
        Emit(now,
             Format("loader upload incomplete: %u of %u bytes", unsigned(uploadReceived_),
                    unsigned(uploadLength_)),
             true);
        EndSession(now);
        break;
    case Stage::Loader:
        if (receiver_.RxState != TLinkReceiver::SeekPreamble)
            Emit(now, "incomplete frame discarded", true);
        EndSession(now);
        break;
    case Stage::Parameters:
        if (!line_.empty())
            Emit(now, "unterminated line discarded: \"" + Printable(line_) + "\"", true);
        EndSession(now);
        break;
    case Stage::Halted:
    case Stage::HungUp:
        EndSession(now);
        break;
    }
}

Clock::time_point Controller::NextDeadline() const
{
    auto next = Clock::time_point::max();
    if (stage_ == Stage::BootRom && !silent_)
        next = nextAnnounce_;
    if (strayCount_ != 0)
        next = std::min(next, lastStray_ + kStrayGather);
    const bool waitsForever =
        stage_ == Stage::BootRom ||
        (stage_ == Stage::Upload && silent_ && uploadLengthBytes_ == 0 && repeatedAnswer_.empty() &&
         !options_.randomFaultSeed);
    if (!waitsForever)
        next = std::min(next, lastActivity_ + options_.quietPeriod);
    return next;
}

void Controller::EndSession(Clock::time_point now)
{
    FlushStray(now);
    ++sessionsCompleted_;
    Emit(now, Format("session complete (line quiet for %.1f s)",
                     std::chrono::duration<double>(options_.quietPeriod).count()));
    // The next session begins as if the controller had been switched off and on.
    Reboot(now);
    BeginSession(now);
}

void Controller::BeginSession(Clock::time_point now)
{
    if (!options_.randomFaultSeed)
        return;
    const auto& faults = RandomFaults();
    const std::string& fault = faults[std::uniform_int_distribution<std::size_t>(0, faults.size() - 1)(faultDraw_)];
    options_.faults = {};
    AddFault(options_.faults, fault);
    // The time of day lets a session be matched with the programmer's record of it.
    const auto wall = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(wall);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char day[32];
    std::strftime(day, sizeof day, "%Y-%m-%dT%H:%M:%S", &utc);
    Emit(now, Format("session %d: fault %s, started %s.%03dZ", sessionsCompleted_ + 1,
                     fault.empty() ? "none" : fault.c_str(), day, int(ms)));
}

// ---------------------------------------------------------------- bytes in

void Controller::Receive(std::span<const std::uint8_t> bytes, Clock::time_point now, unsigned lineBaud)
{
    for (std::uint8_t b : bytes)
        Receive(b, now, lineBaud);
}

void Controller::Receive(std::uint8_t byte, Clock::time_point now, unsigned lineBaud)
{
    lastActivity_ = std::max(lastActivity_, now);
    switch (stage_) {
    case Stage::BootRom:
        ReceiveBoot(byte, now);
        break;
    case Stage::Upload:
        ReceiveUpload(byte, now);
        break;
    case Stage::Loader:
        ReceiveFrameByte(byte, now);
        break;
    case Stage::Parameters:
        ReceiveParameterByte(byte, now, lineBaud);
        break;
    case Stage::Halted:
    case Stage::HungUp:
        Stray(byte, now);
        break;
    }
}

void Controller::Stray(std::uint8_t byte, Clock::time_point now)
{
    if (stray_.size() < kStrayShown)
        stray_.push_back(byte);
    ++strayCount_;
    lastStray_ = now;
}

void Controller::FlushStray(Clock::time_point now)
{
    if (strayCount_ == 0)
        return;
    std::string text = Format("<- %zu stray byte%s ignored:", strayCount_, strayCount_ == 1 ? "" : "s");
    for (std::uint8_t b : stray_)
        text += Format(" %02X", unsigned(b));
    if (strayCount_ > stray_.size())
        text += " ...";
    stray_.clear();
    strayCount_ = 0;
    Emit(now, text, true);
}

void Controller::ReceiveBoot(std::uint8_t b, Clock::time_point now)
{
    answerWindow_ += char(b);
    if (answerWindow_.size() >= kAnswer.size() &&
        answerWindow_.compare(answerWindow_.size() - kAnswer.size(), kAnswer.size(), kAnswer) == 0) {
        for (std::size_t i = 0; i + kAnswer.size() < answerWindow_.size(); ++i)
            Stray(std::uint8_t(answerWindow_[i]), now);
        FlushStray(now);
        answerWindow_.clear();
        Emit(now, Format("<- \"APL\" after %d announcement%s", announcements_,
                         announcements_ == 1 ? "" : "s"));
        GoSilentAfter(now, Step::Handshake);
        stage_ = Stage::Upload;

        std::vector<std::uint8_t> identification(options_.id.begin(), options_.id.end());
        identification.push_back(kAck);
        std::string text = "-> identification \"" + Printable(options_.id) + "\" + ACK";
        if (!Send(identification))
            text += " [silent: not sent]";
        Emit(now, text);
        GoSilentAfter(now, Step::Identification);
        return;
    }
    // Keep only what may still grow into "APL"; "APL" cannot overlap itself, so
    // that is the longest tail that is a beginning of it.
    std::size_t keep = 0;
    for (std::size_t n = std::min(answerWindow_.size(), kAnswer.size() - 1); n > 0; --n) {
        if (answerWindow_.compare(answerWindow_.size() - n, n, kAnswer.substr(0, n)) == 0) {
            keep = n;
            break;
        }
    }
    for (std::size_t i = 0; i + keep < answerWindow_.size(); ++i)
        Stray(std::uint8_t(answerWindow_[i]), now);
    answerWindow_.erase(0, answerWindow_.size() - keep);
}

void Controller::ReceiveUpload(std::uint8_t b, Clock::time_point now)
{
    if (uploadLengthBytes_ == 0) {
        // A programmer that found several ACK NAK pairs waiting answers every one
        // of them, all before it can have seen the identification; those extra
        // answers come ahead of the upload.
        repeatedAnswer_ += char(b);
        if (kAnswer.substr(0, repeatedAnswer_.size()) == repeatedAnswer_) {
            if (repeatedAnswer_.size() == kAnswer.size()) {
                repeatedAnswer_.clear();
                Emit(now, "<- \"APL\" again, an answer to an earlier announcement; ignored");
            }
            return;
        }
        const std::string held = std::exchange(repeatedAnswer_, {});
        for (char c : held)
            UploadByte(std::uint8_t(c), now);
        return;
    }
    UploadByte(b, now);
}

void Controller::UploadByte(std::uint8_t b, Clock::time_point now)
{
    if (uploadLengthBytes_ < 2) {
        CrcUpdate(uploadCrc_, b);
        uploadLength_ |= std::uint32_t(b) << (8 * uploadLengthBytes_);
        ++uploadLengthBytes_;
        if (uploadLengthBytes_ == 2)
            uploadDataCrc_ = uploadCrc_;
        return;
    }
    if (uploadReceived_ < uploadLength_) {
        CrcUpdate(uploadCrc_, b);
        uploadDataCrc_ = uploadCrc_;
        ++uploadReceived_;
        return;
    }
    CrcUpdate(uploadCrc_, b);
    if (++uploadCrcBytes_ == 1) {
        uploadCrcLow_ = b;
        return;
    }

    const unsigned received = unsigned(uploadCrcLow_) | unsigned(b) << 8;
    if (uploadCrc_ != 0) {
        Emit(now,
             Format("<- loader upload: %u bytes, CRC mismatch (received 0x%04X, computed 0x%04X); "
                    "the loader does not start",
                    unsigned(uploadLength_), received, unsigned(uploadDataCrc_)),
             true);
        stage_ = Stage::Halted;
        return;
    }
    Emit(now, Format("<- loader upload: %u bytes, CRC ok (0x%04X)", unsigned(uploadLength_), received));
    stage_ = Stage::Loader;
    receiver_.Reset();
    seekWindow_.clear();

    const std::vector<std::uint8_t> version(options_.loaderVersion.begin(), options_.loaderVersion.end());
    Emit(now, SendFrame('L', 0, version, 'L') + ": version \"" + Printable(options_.loaderVersion) + "\"");
    GoSilentAfter(now, Step::Loader);
}

void Controller::ReceiveFrameByte(std::uint8_t b, Clock::time_point now)
{
    const bool seeking = receiver_.RxState == TLinkReceiver::SeekPreamble;
    const bool dataByte = receiver_.RxState == TLinkReceiver::ReadData;
    const auto result = receiver_.Feed(b);

    if (seeking) {
        seekWindow_ += char(b);
        if (receiver_.RxState != TLinkReceiver::SeekPreamble) {
            // Only the bytes older than the preamble's five can be strays, and
            // those have already been set aside below.
            FlushStray(now);
            seekWindow_.clear();
            frameData_.clear();
        } else if (seekWindow_.size() >= kPreamble.size()) {
            Stray(std::uint8_t(seekWindow_.front()), now);
            seekWindow_.erase(0, 1);
        }
        return;
    }
    if (dataByte && frameData_.size() < kMaxFrameData)
        frameData_.push_back(b);

    if (result == TLinkReceiver::TResult::FrameGood) {
        HandleFrame(now);
        receiver_.Reset();
    } else if (result == TLinkReceiver::TResult::FrameBad) {
        Emit(now,
             FrameText("<-", receiver_.RxCommand, receiver_.RxAddress, std::size_t(receiver_.RxLength)) +
                 " CRC bad; not answered",
             true);
        receiver_.Reset();
    }
}

void Controller::HandleFrame(Clock::time_point now)
{
    const std::uint8_t command = receiver_.RxCommand;
    const std::string received =
        FrameText("<-", command, receiver_.RxAddress, std::size_t(receiver_.RxLength)) + " CRC ok";
    switch (command) {
    case 'V':
        Emit(now, received);
        AnswerVersion(now);
        break;
    case 'E':
        Emit(now, received);
        AnswerErase(now);
        break;
    case 'P':
        ++blocksReceived_;
        Emit(now, received + Format(" (block %d)", blocksReceived_));
        AnswerBlock(now);
        break;
    case 'S':
        Emit(now, received);
        AnswerRestart(now);
        break;
    default:
        Emit(now, received + ": unknown command; not answered", true);
        break;
    }
}

// ---------------------------------------------------------------- answers

void Controller::AnswerVersion(Clock::time_point now)
{
    if (receiver_.RxLength != 0 || receiver_.RxAddress != 0)
        Emit(now, "the version request should have length 0 and address 0", true);
    const std::uint32_t end = options_.flashEnd;
    const std::uint16_t version = options_.fwVersion;
    const std::uint16_t block = options_.blockSize;
    const std::uint8_t data[9] = {
        std::uint8_t(version),    std::uint8_t(version >> 8),
        std::uint8_t(end),        std::uint8_t(end >> 8),
        std::uint8_t(end >> 16),  std::uint8_t(end >> 24),
        0, // not used by the programmer
        std::uint8_t(block),      std::uint8_t(block >> 8),
    };
    Emit(now, SendFrame('V', options_.flashStart, data, 'V') +
                  Format(": version %s, flash 0x%08X to 0x%08X, block size %u",
                         VersionText(version).c_str(), unsigned(options_.flashStart), unsigned(end),
                         unsigned(block)));
    GoSilentAfter(now, Step::Version);
}

void Controller::AnswerErase(Clock::time_point now)
{
    if (receiver_.RxAddress != options_.flashStart || receiver_.RxLength != 1 || frameData_.size() != 1 ||
        frameData_[0] != 0x01)
        Emit(now, Format("the erase request should have address 0x%08X, length 1 and data 01",
                         unsigned(options_.flashStart)),
             true);
    const bool refuse = options_.faults.nakErase;
    if (!refuse)
        std::fill(flash_.begin(), flash_.end(), 0xFF);
    const std::uint8_t reply[] = {refuse ? kNak : kAck};
    Emit(now, SendFrame('E', receiver_.RxAddress, reply, 'E') +
                  (refuse ? ": NAK (fault nak-erase)" : ": ACK, flash erased"));
    GoSilentAfter(now, Step::Erase);
}

void Controller::AnswerBlock(Clock::time_point now)
{
    const int n = blocksReceived_;
    const std::uint64_t address = receiver_.RxAddress;
    const std::size_t length = frameData_.size();
    const std::uint64_t start = options_.flashStart;
    const std::uint64_t end = options_.flashEnd;

    if (std::size_t(receiver_.RxLength) != options_.blockSize)
        Emit(now, Format("block %d has %zu data bytes; the block size is %u", n,
                         std::size_t(receiver_.RxLength), unsigned(options_.blockSize)),
             true);

    std::string verdict;
    bool refuse = false;
    if (options_.faults.nakBlocks.count(n)) {
        refuse = true;
        verdict = Format(": NAK (fault nak-block:%d)", n);
    } else if (address < start || address >= end) {
        refuse = true;
        verdict = ": NAK";
        Emit(now, Format("block %d at 0x%08X lies outside the flash (0x%08X to 0x%08X); refused", n,
                         unsigned(address), unsigned(start), unsigned(end)),
             true);
    } else if (address >= kReservedFrom && address < kReservedTo) {
        refuse = true;
        verdict = ": NAK";
        Emit(now, Format("block %d at 0x%08X lies in the reserved window 0x000F0000 to 0x000FC000; "
                         "refused",
                         n, unsigned(address)),
             true);
    } else {
        const std::size_t stored = std::size_t(std::min<std::uint64_t>(length, end - address));
        std::copy_n(frameData_.begin(), stored, flash_.begin() + std::ptrdiff_t(address - start));
        verdict = ": ACK";
        if (stored < length)
            verdict += Format(", %zu bytes past the flash end not stored", length - stored);
    }

    if (options_.faults.hangupAfterBlock.count(n)) {
        Emit(now, Format("hangs up the line after block %d, without answering (fault hangup-after-block)", n));
        stage_ = Stage::HungUp;
        hangupPending_ = true;
        return;
    }
    const std::uint8_t reply[] = {refuse ? kNak : kAck};
    Emit(now, SendFrame('P', receiver_.RxAddress, reply, 'P') + verdict);
    GoSilentAfter(now, Step::Block, n);
}

void Controller::AnswerRestart(Clock::time_point now)
{
    if (receiver_.RxLength != 0 || receiver_.RxAddress != 0)
        Emit(now, "the restart request should have length 0 and address 0", true);
    const std::uint8_t reply[] = {kAck};
    Emit(now, SendFrame('S', 0, reply, 'S') + ": ACK; parameter mode at 19200 baud follows");
    stage_ = Stage::Parameters;
    line_.clear();
    lineTooLong_ = false;
    GoSilentAfter(now, Step::Restart);
}

void Controller::ReceiveParameterByte(std::uint8_t b, Clock::time_point now, unsigned lineBaud)
{
    if (b != '\n') {
        if (line_.size() < kMaxLine)
            line_ += char(b);
        else
            lineTooLong_ = true;
        return;
    }
    std::string text = std::exchange(line_, {});
    const bool tooLong = std::exchange(lineTooLong_, false);
    const bool hadCr = !text.empty() && text.back() == '\r';
    if (hadCr)
        text.pop_back();

    std::string received = "<- \"" + Printable(text) + "\"" + Format(" at %u baud", lineBaud);
    if (lineBaud != kParameterBaud) {
        // On a real line the controller would have heard only noise.
        Emit(now, received + ": the line should run at 19200 baud; not answered", true);
        return;
    }
    parameterLines_.push_back(text);
    if (!hadCr || tooLong) {
        Emit(now, received + (tooLong ? ": line cut at 4096 bytes" : ": line ended by LF without CR"), true);
    } else {
        Emit(now, received);
    }

    if (options_.faults.atSilent) {
        Emit(now, "no answer (fault at-silent)");
        return;
    }
    const std::string reply = options_.faults.atError ? "ERROR" : "OK";
    const std::string wire = reply + "\r\n";
    std::string answer = "-> \"" + reply + "\"";
    if (options_.faults.atError)
        answer += " (fault at-error)";
    if (!Send(std::span(reinterpret_cast<const std::uint8_t*>(wire.data()), wire.size())))
        answer += " [silent: not sent]";
    Emit(now, answer);
}

} // namespace sim
