// The conversation against a controller that the test plays byte by byte on a
// pseudo-terminal: the exact bytes on the wire, and the exact grouping of the
// received bytes into notifications where the outcome depends on it.

#include "fcrc.h"
#include "frame.h"
#include "hex.h"
#include "loadersession.h"
#include "programmerport.h"
#include "recording_view.h"
#include "../sim/bytes.h"

#include <pty_pair.h>
#include <scratch_dir.h>
#include <vacomm.h>
#include <wait.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

const Bytes kVersionRequest = Hex("24 41 50 4C 24 56 00 00 00 00 00 00 3A 86");
const Bytes kVersionReply = Hex("24 41 50 4C 24 56 09 00 00 40 00 00 2F 01 00 00 08 00 00 00 01 F1 DF");
const Bytes kHandshake = Hex("06 15");
const Bytes kAnswer = Text("APL");
constexpr const char* kComplete = "Flash Update Complete";

std::string Str(const Bytes& bytes)
{
    return {bytes.begin(), bytes.end()};
}

// Bytes that hold no 0xFF anywhere, so that every block cut from them is sent.
Bytes Pattern(std::size_t size)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = std::uint8_t(i % 251);
    return bytes;
}

// A 'V' reply as a loader would send it for this geometry.
Bytes VersionReplyFor(std::uint32_t flashStart, std::uint32_t flashEnd, std::uint16_t blockSize)
{
    const Bytes data = {0x2F, 0x01, // 3.03
                        std::uint8_t(flashEnd), std::uint8_t(flashEnd >> 8), std::uint8_t(flashEnd >> 16),
                        std::uint8_t(flashEnd >> 24), 0x00, std::uint8_t(blockSize),
                        std::uint8_t(blockSize >> 8)};
    return EncodeLinkFrame('V', flashStart, data);
}

// A request as the played loader saw it.
struct TFrameId {
    std::uint8_t Command = 0;
    std::uint32_t Address = 0;
    std::int32_t Length = 0;
    bool operator==(const TFrameId&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TFrameId& f)
{
    return out << "'" << char(f.Command) << "' @0x" << std::hex << f.Address << std::dec << " len "
               << f.Length;
}

struct TSeenFrame {
    TFrameId Id;
    Bytes Data; // at most the first 512 bytes
};

TFrameId Erase(std::uint32_t flashStart)
{
    return {'E', flashStart, 1};
}

// 'P' requests for the blocks from `from` up to `to`, `size` bytes each.
std::vector<TFrameId> Blocks(std::uint32_t from, std::uint32_t to, std::uint16_t size)
{
    std::vector<TFrameId> frames;
    for (std::uint64_t a = from; a < to; a += size)
        frames.push_back({'P', std::uint32_t(a), size});
    return frames;
}

std::vector<TFrameId> Then(std::vector<TFrameId> a, const std::vector<TFrameId>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The flash loader running on the controller, played by the test: it takes in
// every request the programmer writes and answers each 'E' and 'P' with a frame
// of the same letter whose first data byte is ACK, or NAK for the refused one.
class TPlayedLoader {
public:
    explicit TPlayedLoader(PtyPair& pty) : pty_(pty) {}

    // The request refused, counted from 0 over all the requests seen; -1 for none.
    int RefuseAt = -1;
    // The request answered with a frame of its letter but no data, and the one
    // from which on nothing is answered; -1 for none.
    int EmptyAt = -1;
    int SilentFrom = -1;
    std::vector<TSeenFrame> Seen;
    int BadFrames = 0;

    // Takes in whatever has arrived, without waiting.
    void Pump()
    {
        std::uint8_t buffer[4096];
        for (;;) {
            const ssize_t n = ::read(pty_.MasterFd(), buffer, sizeof buffer);
            if (n <= 0)
                return;
            Take(Bytes(buffer, buffer + n));
        }
    }

    void Take(const Bytes& bytes)
    {
        for (std::uint8_t b : bytes) {
            switch (receiver_.Feed(b)) {
            case TLinkReceiver::TResult::Pending:
                break;
            case TLinkReceiver::TResult::FrameBad:
                ++BadFrames;
                receiver_.Reset();
                break;
            case TLinkReceiver::TResult::FrameGood:
                Answer();
                receiver_.Reset();
                break;
            }
        }
    }

    std::vector<TFrameId> Ids() const
    {
        std::vector<TFrameId> ids;
        for (const auto& f : Seen)
            ids.push_back(f.Id);
        return ids;
    }

private:
    void Answer()
    {
        const TFrameId id{receiver_.RxCommand, receiver_.RxAddress, receiver_.RxLength};
        const std::string data = receiver_.DataText();
        const int index = int(Seen.size());
        Seen.push_back({id, Bytes(data.begin(), data.end())});
        if (SilentFrom >= 0 && index >= SilentFrom)
            return;
        if (id.Command == 'E' || id.Command == 'P') {
            Bytes reply = {std::uint8_t(index == RefuseAt ? 0x15 : 0x06)};
            if (index == EmptyAt)
                reply.clear();
            pty_.Write(EncodeLinkFrame(id.Command, id.Address, reply));
        }
    }

    PtyPair& pty_;
    TLinkReceiver receiver_;
};

class SessionWireTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetUpProgrammerPort(port);
        port.SetDeviceName(pty.Link().string());
        port.Open();
        port.OnOpen = [this](TVaCustomComm*) { ++opens; };
        port.OnClose = [this](TVaCustomComm*) { ++closes; };
        NewSession();
    }

    // A fresh window and conversation as the window starts them, on a quiet line.
    void NewSession()
    {
        session.reset();
        if (port.IsOpen())
            port.PurgeReadWrite();
        pty.Drain(20ms);
        view = std::make_unique<TRecordingView>();
        view->folder = QString::fromStdString(dir.Path().string()) + '/';
        view->imageName = QStringLiteral("image");
        session = std::make_unique<TLoaderSession>(port, *view, *view);
        session->SetTiming(InstantPauses());
        session->Conversation().SetReplyTimeout(2000ms);
        session->SetStage(WaitingForTarget);
        opens = 0;
        closes = 0;
    }

    void WriteFile(const std::string& name, const Bytes& content) { dir.WriteFile(name, Str(content)); }

    // Hands `bytes` to the installed receive handler as one notification. The
    // event loop does not run meanwhile, so the event thread's own hand-off of
    // these bytes comes later and finds nothing left to announce.
    ::testing::AssertionResult Deliver(const Bytes& bytes)
    {
        if (const auto waiting = port.ReadBufUsed(); waiting != 0)
            return ::testing::AssertionFailure() << waiting << " bytes were already waiting";
        pty.Write(bytes);
        const auto n = std::int32_t(bytes.size());
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        std::int32_t used = 0;
        while ((used = port.ReadBufUsed()) < n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        if (used != n)
            return ::testing::AssertionFailure() << used << " of " << n << " bytes arrived";
        const auto handler = port.OnRxChar;
        if (!handler)
            return ::testing::AssertionFailure() << "no receive handler installed";
        // What leaves a handler goes to the port's report, as the event
        // hand-off would send it.
        try {
            handler(&port, n);
        } catch (const std::exception& e) {
            reported.push_back(e.what());
        }
        return ::testing::AssertionSuccess();
    }

    // Handshake, identification and upload of a three-byte loader: the
    // conversation then waits for the loader's first frame.
    void ReachLoaderReply()
    {
        view->loaders["QR740"] = QStringLiteral("qr740.ldr");
        WriteFile("qr740.ldr", Hex("01 02 03"));
        ASSERT_TRUE(Deliver(kHandshake));
        ASSERT_EQ(pty.Read(3), kAnswer);
        ASSERT_TRUE(Deliver(Join(Text("QR740"), Hex("06"))));
        ASSERT_EQ(pty.Read(7), Hex("03 00 01 02 03 B3 76"));
        ASSERT_EQ(session->Stage(), LoadingTargetLoader);
    }

    // On to the 'V' request, which the conversation has written and read back here.
    void ReachVersionRequest()
    {
        ASSERT_NO_FATAL_FAILURE(ReachLoaderReply());
        ASSERT_TRUE(Deliver(EncodeLinkFrame('L', 0, Text("LDR 1.00"))));
        ASSERT_EQ(pty.Read(kVersionRequest.size()), kVersionRequest);
        ASSERT_EQ(session->Stage(), GettingVersion);
    }

    // Sends the 'V' reply and lets the played loader answer until the upload has
    // completed or failed; then takes in whatever was written after that.
    void RunUpload(TPlayedLoader& loader, const Bytes& versionReply)
    {
        pty.Write(versionReply);
        const bool ended = WaitUntil([&] {
            loader.Pump();
            return view->state == kComplete || !view->errors.empty();
        });
        loader.Take(pty.Drain(100ms));
        ASSERT_TRUE(ended) << "last state: " << view->state.toStdString();
    }

    // Programs a three-block image with `parameters` as the parameter file,
    // and answers the restart: the line is reopened at 19200 baud, and
    // "ATCODE=1" announces the download.
    void ReachParameterDownload(const std::string& parameters)
    {
        WriteFile("image.bin", Pattern(0x300));
        dir.WriteFile("params.par", parameters);
        view->autoProgram = true;
        view->parameterName = QStringLiteral("params");
        ASSERT_NO_FATAL_FAILURE(ReachVersionRequest());
        TPlayedLoader loader(pty);
        ASSERT_NO_FATAL_FAILURE(RunUpload(loader, VersionReplyFor(0x4000, 0x4300, 256)));
        ASSERT_EQ(loader.Ids().back(), (TFrameId{'S', 0, 0}));
        pty.Write(EncodeLinkFrame('S', 0, Hex("06")));
        // The restart's pause and the reopening run on the event loop.
        Bytes written;
        WaitUntil([&] {
            const Bytes more = pty.Drain(10ms);
            written.insert(written.end(), more.begin(), more.end());
            return written.size() >= 10;
        });
        ASSERT_EQ(Str(written), "ATCODE=1\r\n");
        ASSERT_EQ(pty.SlaveSpeed(), 19200u);
    }

    // The controller's answer line, in two notifications split in its middle;
    // returns what the programmer writes next.
    std::string AnswerLine(const std::string& answer)
    {
        const std::string line = answer + "\r\n";
        const std::size_t half = line.size() / 2;
        EXPECT_TRUE(Deliver(Text(line.substr(0, half))));
        EXPECT_TRUE(Deliver(Text(line.substr(half))));
        return Str(pty.Drain(50ms));
    }

    // The reset reopens the port once its pause is over.
    bool WaitForReset()
    {
        return WaitUntil([&] { return !session->Pausing(); });
    }

    // What a failure that resets the conversation leaves behind.
    void ExpectResetAfter(const std::string& error)
    {
        EXPECT_TRUE(WaitForReset());
        EXPECT_EQ(view->errors, std::vector<std::string>{error});
        EXPECT_EQ(view->pauses, std::vector<std::chrono::milliseconds>{kTestResetPause});
        EXPECT_EQ(session->Stage(), WaitingForTarget);
        EXPECT_EQ(view->state, StageText(WaitingForTarget));
        EXPECT_EQ(closes, 1);
        EXPECT_EQ(opens, 1);
        EXPECT_TRUE(port.IsOpen());
        EXPECT_EQ(port.Baudrate(), br9600);
        EXPECT_FALSE(session->ImageOpen());
        EXPECT_FALSE(session->Conversation().TimeOutArmed());
    }

    ScratchDir dir;
    PtyPair pty{dir / "ttyQR"};
    TVaComm port;
    int opens = 0;
    int closes = 0;
    std::unique_ptr<TRecordingView> view;
    std::unique_ptr<TLoaderSession> session;
    std::vector<std::string> reported; // errors that left a handler
};

// Each announcement is answered once: pairs that queued up behind the one
// answered (in the same notification) share its answer, and the bytes behind
// the pair are the identification's. A pair while the identification is awaited
// is a new announcement, answered again.
TEST_F(SessionWireTest, AnswersEachAnnouncementOfTheBootRomOnceAndNothingElse)
{
    struct TCase {
        const char* What;
        std::vector<const char*> Notifications;
        int Answers;
        LoaderStage Stage;
        std::string TargetId = "";
    };
    const TCase cases[] = {
        {"ACK, then NAK in a later notification", {"06", "15"}, 1, WaitingForTargetId},
        {"a NAK ahead of the pair", {"15 06 15"}, 1, WaitingForTargetId},
        {"two ACKs ahead of the NAK", {"06 06 15"}, 1, WaitingForTargetId},
        {"pairs queued up in one notification", {"06 15 06 15 06 15"}, 1, WaitingForTargetId},
        {"queued pairs, then the identification", {"06 15 06 15 51 52"}, 1, WaitingForTargetId, "QR"},
        {"a NAK behind the pair", {"06 15 15"}, 1, WaitingForTargetId, "\x15"},
        {"identification bytes behind the pair", {"06 15 51 52"}, 1, WaitingForTargetId, "QR"},
        {"an announcement again, in a later notification", {"06 15", "06 15"}, 2, WaitingForTargetId},
        {"an announcement again, split", {"06 15", "06", "15 51"}, 2, WaitingForTargetId, "Q"},
        {"an announcement again, behind ACKs", {"06 15", "06 06 15"}, 2, WaitingForTargetId},
        {"noise, and a NAK ahead of an ACK", {"00 15 06", "06 06 00 15 41 15 06"}, 0, WaitingForTarget},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        NewSession();
        for (const char* notification : c.Notifications)
            ASSERT_TRUE(Deliver(Hex(notification)));

        Bytes answers;
        for (int i = 0; i < c.Answers; ++i)
            answers = Join(answers, kAnswer);
        EXPECT_EQ(pty.Drain(100ms), answers);
        EXPECT_EQ(session->Stage(), c.Stage);
        EXPECT_EQ(view->state, StageText(c.Stage));
        EXPECT_EQ(std::count(view->states.begin(), view->states.end(), "Waiting for Target ID"), c.Answers);
        EXPECT_EQ(session->TargetId(), c.TargetId);
        EXPECT_TRUE(view->errors.empty());
        EXPECT_EQ(view->started, c.Answers > 0 ? 1 : 0) << "one controller, however often it announces itself";
        EXPECT_TRUE(view->records.empty());
    }
}

// An ACK before any identification byte may be the first half of another
// announcement; when no NAK follows, it ended an empty identification, which
// names no loader.
TEST_F(SessionWireTest, AnEmptyIdentificationIsToldOnceItIsNoAnnouncement)
{
    struct TCase {
        const char* What;
        std::vector<const char*> Notifications; // after the handshake
        bool byTimeOut;                         // told only when the time-out comes
    };
    const TCase cases[] = {
        {"another byte behind the ACK", {"06", "00"}, false},
        {"ACKs and another byte", {"06 06 41"}, false},
        {"nothing behind the ACK", {"06"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        NewSession();
        session->Conversation().SetReplyTimeout(300ms);
        view->loaders["QR740"] = QStringLiteral("qr740.ldr");
        ASSERT_TRUE(Deliver(kHandshake));
        ASSERT_EQ(pty.Read(3), kAnswer);
        for (const char* notification : c.Notifications)
            ASSERT_TRUE(Deliver(Hex(notification)));
        if (c.byTimeOut) {
            EXPECT_TRUE(view->errors.empty());
            EXPECT_EQ(session->Stage(), WaitingForTargetId);
            ASSERT_TRUE(WaitUntil([&] { return !view->errors.empty(); }));
        }
        EXPECT_EQ(view->errors, std::vector<std::string>{"No Loader Defined"});
        ASSERT_EQ(view->records.size(), 1u);
        EXPECT_EQ(view->records[0].Failure, TFailure::NoLoader);
        EXPECT_EQ(view->records[0].TargetId, "");
        EXPECT_EQ(session->Stage(), WaitingForTarget);
        EXPECT_FALSE(session->Conversation().TimeOutArmed());
        EXPECT_TRUE(pty.Drain(50ms).empty()) << "nothing answered or sent";
    }
}

TEST_F(SessionWireTest, UploadsTheLoaderNamedForTheIdentificationAsReceived)
{
    Bytes three00(300);
    for (std::size_t i = 0; i < three00.size(); ++i)
        three00[i] = std::uint8_t(i * 37 + 11);
    const Bytes largest = Pattern(65535);
    struct TCase {
        const char* What;
        std::string Id;
        Bytes Loader;
        const char* Head; // the length field
        Bytes Wire;
    };
    const TCase cases[] = {
        {"three bytes", "QR740", Hex("01 02 03"), "03 00", Hex("03 00 01 02 03 B3 76")},
        {"empty", "QR740", {}, "00 00", Hex("00 00 B8 F0")},
        {"300 bytes", "QR740", three00, "2C 01", LoaderUpload(three00)},
        // Control characters, a NAK and a trailing blank are part of the key.
        {"identification with control characters", std::string("Q\x15R\x01 ", 5), Hex("01 02 03"), "03 00",
         Hex("03 00 01 02 03 B3 76")},
        {"the largest the length field holds", "QR740", largest, "FF FF", LoaderUpload(largest)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        NewSession();
        view->loaders[c.Id] = QStringLiteral("target.ldr");
        view->loaders["QR74"] = QStringLiteral("wrong.ldr");
        WriteFile("target.ldr", c.Loader);
        ASSERT_TRUE(Deliver(kHandshake));
        ASSERT_EQ(pty.Read(3), kAnswer);

        // Read while it is written: the largest loader is more than the
        // pseudo-terminal holds unread.
        auto wire = std::async(std::launch::async, [&] { return pty.Read(c.Wire.size(), 20s); });
        ASSERT_TRUE(Deliver(Join(Text(c.Id), Hex("06"))));
        // What the line could not take at once goes out from the event loop.
        WaitUntil([&] { return wire.wait_for(0s) == std::future_status::ready; }, 20s);
        const Bytes written = wire.get();

        EXPECT_EQ(written, c.Wire);
        ASSERT_EQ(written.size(), c.Loader.size() + 4);
        EXPECT_EQ(Bytes(written.begin(), written.begin() + 2), Hex(c.Head));
        EXPECT_EQ(CrcOf(written), 0); // the CRC bytes close the upload as they close a frame
        EXPECT_TRUE(pty.Drain(50ms).empty());
        EXPECT_EQ(session->TargetId(), c.Id);
        EXPECT_EQ(session->LoaderFile(), QStringLiteral("target.ldr"));
        EXPECT_EQ(session->Stage(), LoadingTargetLoader);
        EXPECT_EQ(view->state, StageText(LoadingTargetLoader));
        EXPECT_TRUE(session->Conversation().TimeOutArmed());
        EXPECT_TRUE(view->errors.empty());
    }
}

TEST_F(SessionWireTest, LoaderFrameShowsItsVersionAndTheVersionReplyGivesTheGeometry)
{
    struct TCase {
        const char* What;
        Bytes Frame;
        const char* LoaderVersion;
    };
    const TCase cases[] = {
        {"version text", EncodeLinkFrame('L', 0, Text("LDR 1.00")), "LDR 1.00"},
        // Neither the command byte nor the address of this frame is looked at.
        {"no data, behind noise", Join(Hex("00 24 41 24"), EncodeLinkFrame('Z', 0x12345678, {})), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        NewSession();
        ASSERT_NO_FATAL_FAILURE(ReachLoaderReply());
        view->loaderVersion = QStringLiteral("stale");

        ASSERT_TRUE(Deliver(c.Frame));
        EXPECT_EQ(view->loaderVersion, QString::fromLatin1(c.LoaderVersion));
        EXPECT_EQ(session->Stage(), GettingVersion);
        EXPECT_EQ(view->state, StageText(GettingVersion));
        EXPECT_EQ(pty.Read(kVersionRequest.size()), kVersionRequest);
        EXPECT_TRUE(session->Conversation().TimeOutArmed());

        ASSERT_TRUE(Deliver(kVersionReply));
        EXPECT_EQ(view->currentVersion, QStringLiteral("3.03"));
        EXPECT_EQ(session->CurrentVersion(), 303);
        EXPECT_EQ(session->Geometry().FlashStart, 0x4000u);
        EXPECT_EQ(session->Geometry().FlashEnd, 0x80000u);
        EXPECT_EQ(session->Geometry().BlockSize, 256);
        EXPECT_EQ(view->state, QStringLiteral("Press Upload Now to Start"));
        EXPECT_TRUE(view->uploadNow);
        EXPECT_EQ(session->Stage(), GettingVersion);
        EXPECT_FALSE(session->Conversation().TimeOutArmed());
        EXPECT_TRUE(pty.Drain(50ms).empty()); // manual mode: nothing until the operator presses
        EXPECT_TRUE(view->errors.empty());
    }
}

TEST_F(SessionWireTest, LoaderThatCannotBeSentEndsInWaitingForTargetWithoutAReset)
{
    struct TCase {
        const char* What;
        const char* Id;
        const char* LoaderFile;
        std::optional<std::size_t> Size; // none: no file of that name
        std::string Error;
    };
    const TCase cases[] = {
        {"unknown identification", "QR741", "qr740.ldr", 3, "No Loader Defined"},
        {"missing loader file", "QR740", "absent.ldr", std::nullopt, "absent.ldr Not Found"},
        {"a folder named as the loader", "QR740", "folder.ldr", std::nullopt, "folder.ldr Not Found"},
        {"loader too large for the length field", "QR740", "big.ldr", 65536,
         "Target Loader big.ldr Is Too Large (more than 65535 bytes)"},
    };
    std::filesystem::create_directory(dir / "folder.ldr");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        NewSession();
        view->loaders["QR740"] = QString::fromLatin1(c.LoaderFile);
        if (c.Size)
            WriteFile(c.LoaderFile, Pattern(*c.Size));
        ASSERT_TRUE(Deliver(kHandshake));
        ASSERT_EQ(pty.Read(3), kAnswer);

        // Read while the identification is handled: an upload sent by mistake
        // must show up here, not stall on a full pseudo-terminal.
        auto written = std::async(std::launch::async, [&] { return pty.Drain(200ms); });
        ASSERT_TRUE(Deliver(Join(Text(c.Id), Hex("06"))));
        EXPECT_TRUE(written.get().empty());
        EXPECT_EQ(view->errors, std::vector<std::string>{c.Error});
        EXPECT_EQ(session->Stage(), WaitingForTarget);
        EXPECT_EQ(view->state, StageText(WaitingForTarget));
        EXPECT_FALSE(session->Conversation().TimeOutArmed());
        EXPECT_TRUE(view->pauses.empty());
        EXPECT_EQ(closes, 0);
        EXPECT_TRUE(port.IsOpen());

        // The next handshake is answered on the same port.
        ASSERT_TRUE(Deliver(kHandshake));
        EXPECT_EQ(pty.Read(3), kAnswer);
        EXPECT_EQ(session->Stage(), WaitingForTargetId);
    }
}

TEST_F(SessionWireTest, PortFailingWhileTheLoaderIsWrittenShowsThePortsOwnErrorAndResets)
{
    view->loaders["QR740"] = QStringLiteral("qr740.ldr");
    WriteFile("qr740.ldr", Pattern(100));
    ASSERT_TRUE(Deliver(kHandshake));
    ASSERT_EQ(pty.Read(3), kAnswer);
    // Unplugged between the identification and the first byte of the upload.
    view->onLoaderLookup = [this] { pty.HangUp(); };

    ASSERT_TRUE(Deliver(Join(Text("QR740"), Hex("06"))));
    ASSERT_EQ(view->errors.size(), 1u);
    EXPECT_EQ(view->errors[0].rfind("Write error", 0), 0u) << view->errors[0];
    // The upload was cut short: the line is reset once, and the reopen finds
    // the line gone, which is reported once.
    EXPECT_TRUE(WaitForReset());
    EXPECT_EQ(session->Stage(), WaitingForTarget);
    EXPECT_FALSE(session->Conversation().TimeOutArmed());
    EXPECT_EQ(view->pauses, std::vector<std::chrono::milliseconds>{kTestResetPause});
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(view->portErrors.size(), 1u);
    EXPECT_TRUE(reported.empty());
}

TEST_F(SessionWireTest, LoaderTimeOutCountsFromTheIdentificationsAckAndResetsThePort)
{
    constexpr auto period = 600ms;
    session->Conversation().SetReplyTimeout(period);
    view->loaders["QR740"] = QStringLiteral("qr740.ldr");
    WriteFile("qr740.ldr", Hex("01 02 03"));
    ASSERT_TRUE(Deliver(kHandshake));
    ASSERT_EQ(pty.Read(3), kAnswer);
    // A slow look-up between the ACK that arms the time-out and the upload.
    std::chrono::milliseconds blocked{0};
    view->onLoaderLookup = [&] {
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(300ms);
        blocked = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    };

    ASSERT_TRUE(Deliver(Join(Text("QR740"), Hex("06"))));
    ASSERT_EQ(pty.Read(7), Hex("03 00 01 02 03 B3 76"));
    ASSERT_TRUE(session->Conversation().TimeOutArmed());
    EXPECT_LE(session->Conversation().TimeOutRemaining(), period - blocked);

    // The reset must bring the line back to 9600 baud, so leave it elsewhere.
    port.SetBaudrate(br19200);
    ASSERT_TRUE(WaitUntil([&] { return !view->errors.empty(); }));
    EXPECT_EQ(view->errors, std::vector<std::string>{"Target Did Not Respond To Loader"});
    EXPECT_TRUE(WaitForReset());
    EXPECT_EQ(view->pauses, std::vector<std::chrono::milliseconds>{kTestResetPause});
    EXPECT_EQ(session->Stage(), WaitingForTarget);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(opens, 1);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.Baudrate(), br9600);
    EXPECT_EQ(pty.SlaveSpeed(), 9600u);
    EXPECT_FALSE(session->Conversation().TimeOutArmed());
}

TEST_F(SessionWireTest, ResetAbandonsTheOutstandingRequestForGood)
{
    constexpr auto period = 300ms;
    session->Conversation().SetReplyTimeout(period);
    ASSERT_NO_FATAL_FAILURE(ReachVersionRequest());
    ASSERT_TRUE(session->Conversation().TimeOutArmed());

    session->bResetLoaderClick();
    EXPECT_TRUE(WaitForReset());
    EXPECT_EQ(view->pauses, std::vector<std::chrono::milliseconds>{kTestResetPause});
    EXPECT_EQ(session->Stage(), WaitingForTarget);
    EXPECT_TRUE(view->loaderVersion.isEmpty());
    EXPECT_TRUE(view->currentVersion.isEmpty());
    EXPECT_FALSE(view->uploadNow);
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(port.IsOpen());

    RunEventsFor(period + 300ms);
    EXPECT_TRUE(view->errors.empty());
    EXPECT_EQ(view->pauses.size(), 1u);

    // The next controller's conversation runs undisturbed.
    ASSERT_TRUE(Deliver(kHandshake));
    EXPECT_EQ(pty.Read(3), kAnswer);
    ASSERT_TRUE(Deliver(Join(Text("QR740"), Hex("06"))));
    EXPECT_EQ(pty.Read(7), Hex("03 00 01 02 03 B3 76"));
    EXPECT_EQ(session->Stage(), LoadingTargetLoader);
    EXPECT_TRUE(view->errors.empty());
}

TEST_F(SessionWireTest, ProgramsTheFlashAsThePlayedLoaderAnswers)
{
    Bytes gappy = Pattern(0x800); // blocks 1, 2, 3 and 5 blank
    for (int block : {1, 2, 3, 5})
        std::fill_n(gappy.begin() + block * 0x100, 0x100, 0xFF);

    struct TCase {
        std::string What;
        std::uint32_t FlashStart;
        std::uint32_t FlashEnd;
        std::uint16_t BlockSize;
        std::optional<Bytes> Image; // none: no image file
        int RefuseAt;               // the request refused, counted from 0; -1 for none
        std::vector<TFrameId> Frames;
        std::string Error; // empty when the upload completes
    };
    const TCase cases[] = {
        // Nothing would be written after the erase: refused before it.
        {"empty range", 0x4000, 0x4000, 256, Pattern(0x400), -1, {},
         "Target Reported An Unusable Flash Range (0x4000 to 0x4000)"},
        {"end below the start", 0x8000, 0x4000, 256, Pattern(0x400), -1, {},
         "Target Reported An Unusable Flash Range (0x8000 to 0x4000)"},
        {"image of 0xFF only", 0x4000, 0x8000, 256, Bytes(0x4000, 0xFF), -1, {Erase(0x4000)}, ""},
        {"flash starting at 0", 0, 0x400, 256, Pattern(0x400), -1,
         Then({Erase(0)}, Blocks(0, 0x400, 256)), ""},
        {"blank blocks in between", 0x4000, 0x4800, 256, gappy, -1,
         {Erase(0x4000), {'P', 0x4000, 256}, {'P', 0x4400, 256}, {'P', 0x4600, 256}, {'P', 0x4700, 256}}, ""},
        {"window at 0xF0000 stepped over", 0xE0000, 0x100000, 0x400, Pattern(0x20000), -1,
         Then(Then({Erase(0xE0000)}, Blocks(0xE0000, 0xF0000, 0x400)), Blocks(0xFC000, 0x100000, 0x400)), ""},
        {"more blocks than the gauge has steps", 0x4000, 0x4000 + 257 * 256, 256, Pattern(257 * 256), -1,
         Then({Erase(0x4000)}, Blocks(0x4000, 0x4000 + 257 * 256, 256)), ""},
        {"tiny image in the whole address range", 0, 0xFFFFFFFF, 256, Pattern(1000), -1,
         Then({Erase(0)}, Blocks(0, 0x400, 256)), ""},
        {"last block reaching past the end", 0x4000, 0x4280, 256, Pattern(0x300), -1,
         Then({Erase(0x4000)}, Blocks(0x4000, 0x4300, 256)), ""},
        {"block size 0", 0x4000, 0x8000, 0, Pattern(0x400), -1, {},
         "Target Reported An Unusable Flash Block Size (0)"},
        {"erase refused", 0x4000, 0x4800, 256, Pattern(0x800), 0, {Erase(0x4000)},
         "NAK rcvd while erasing Flash Blocks"},
        {"second block refused", 0x4000, 0x4800, 256, Pattern(0x800), 2,
         {Erase(0x4000), {'P', 0x4000, 256}, {'P', 0x4100, 256}}, "NAK rcvd while Updating Flash"},
        {"missing image", 0x4000, 0x4800, 256, std::nullopt, -1, {},
         "Target Binary File " + dir.Path().string() + "/absent.bin Not Found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        NewSession();
        view->autoProgram = true;
        if (c.Image) {
            WriteFile("image.bin", *c.Image);
        } else {
            view->imageName = QStringLiteral("absent");
        }
        ASSERT_NO_FATAL_FAILURE(ReachVersionRequest());
        TPlayedLoader loader(pty);
        loader.RefuseAt = c.RefuseAt;

        ASSERT_NO_FATAL_FAILURE(RunUpload(loader, VersionReplyFor(c.FlashStart, c.FlashEnd, c.BlockSize)));
        EXPECT_EQ(loader.Ids(), c.Frames);
        EXPECT_EQ(loader.BadFrames, 0);
        // Each block carries its part of the image, 0xFF past the image's end.
        for (const auto& f : loader.Seen) {
            if (f.Id.Command == 'E') {
                EXPECT_EQ(f.Data, Hex("01"));
                continue;
            }
            SCOPED_TRACE(::testing::Message() << f.Id);
            Bytes expected;
            for (std::uint64_t i = 0; i < std::min<std::uint64_t>(c.BlockSize, kRxDataSize); ++i) {
                const std::uint64_t offset = f.Id.Address - c.FlashStart + i;
                expected.push_back(offset < c.Image->size() ? (*c.Image)[offset] : 0xFF);
            }
            EXPECT_EQ(f.Data, expected);
            EXPECT_FALSE(f.Id.Address >= kSkippedWindowStart && f.Id.Address < kSkippedWindowEnd);
        }
        if (c.Error.empty()) {
            EXPECT_TRUE(view->errors.empty());
            EXPECT_EQ(view->state, QString::fromLatin1(kComplete));
            EXPECT_EQ(view->progress, view->maxValue);
            EXPECT_FALSE(view->needleWentBack);
            EXPECT_EQ(session->Stage(), GettingVersion);
            EXPECT_TRUE(view->pauses.empty());
            EXPECT_FALSE(session->ImageOpen());
            EXPECT_FALSE(session->Conversation().TimeOutArmed());
        } else {
            ExpectResetAfter(c.Error);
        }
    }
}

TEST_F(SessionWireTest, RestartFrameFollowsTheLastBlockOnlyWhenParametersAreNamed)
{
    const Bytes image = Pattern(0x300);
    const auto blocks = Then({Erase(0x4000)}, Blocks(0x4000, 0x4300, 256));
    WriteFile("image.bin", image);

    {
        SCOPED_TRACE("parameter file named");
        NewSession();
        view->autoProgram = true;
        view->parameterName = QStringLiteral("params");
        ASSERT_NO_FATAL_FAILURE(ReachVersionRequest());
        TPlayedLoader loader(pty);
        ASSERT_NO_FATAL_FAILURE(RunUpload(loader, VersionReplyFor(0x4000, 0x4300, 256)));
        EXPECT_EQ(loader.Ids(), Then(blocks, {{'S', 0, 0}}));
        EXPECT_TRUE(view->errors.empty());
        EXPECT_EQ(session->Phase(), LoadingParameters);
        EXPECT_TRUE(session->Conversation().TimeOutArmed());

        // A refusal where the restart's reply is awaited.
        ASSERT_TRUE(Deliver(EncodeLinkFrame('P', 0x4000, Hex("15"))));
        ExpectResetAfter("NAK rcvd while Loading Parameters");
        EXPECT_TRUE(pty.Drain(100ms).empty());
    }
    {
        SCOPED_TRACE("no parameter file");
        NewSession();
        view->autoProgram = true;
        ASSERT_NO_FATAL_FAILURE(ReachVersionRequest());
        TPlayedLoader loader(pty);
        ASSERT_NO_FATAL_FAILURE(RunUpload(loader, VersionReplyFor(0x4000, 0x4300, 256)));
        EXPECT_EQ(loader.Ids(), blocks);
        EXPECT_EQ(session->Phase(), Programming);
        EXPECT_FALSE(session->Conversation().TimeOutArmed());

        // Replies nobody asked for, acknowledging and refusing, in one notification.
        ASSERT_TRUE(Deliver(Join(Join(EncodeLinkFrame('P', 0x4200, Hex("06")), EncodeLinkFrame('E', 0x4000, Hex("15"))),
                                 EncodeLinkFrame('P', 0x4300, Hex("06")))));
        EXPECT_TRUE(pty.Drain(100ms).empty());
        EXPECT_TRUE(view->errors.empty());
        EXPECT_TRUE(view->pauses.empty());
        EXPECT_EQ(view->state, QString::fromLatin1(kComplete));
        EXPECT_EQ(session->Stage(), GettingVersion);
        EXPECT_EQ(closes, 0);
    }
}

// The download is over when the controller has answered the last line sent,
// not when it has been written; an answer "ERROR" refuses its command, and a
// download with refusals goes on to its end, then fails.
TEST_F(SessionWireTest, TheParameterDownloadEndsWithTheAnswerToItsLastLine)
{
    struct TExchange {
        std::string Written; // without its CR LF
        std::optional<std::string> Answer;
    };
    struct TCase {
        const char* What;
        std::string File;
        std::vector<TExchange> Exchanges; // "ATCODE=1" first
        TOutcome Outcome;
        TFailure Failure;
        std::string Message;
        std::uint32_t Accepted;
        std::uint32_t Refused;
    };
    const std::string complete = "Parameter Load Complete";
    const TCase cases[] = {
        {"a last line without LF", "000=1\n100=2", {{"ATCODE=1", "OK"}, {"ATACCW=1", "OK"}, {"ATEMAX=2", "OK"}},
         TOutcome::ProgrammedWithParameters, TFailure::None, complete, 2, 0},
        {"an empty file", "", {{"ATCODE=1", "OK"}}, TOutcome::ProgrammedWithParameters, TFailure::None, complete, 0, 0},
        {"answers that are no refusals", "000=1\n100=2\n",
         {{"ATCODE=1", "OK"}, {"ATACCW=1", "ERRORS"}, {"ATEMAX=2", "NO ERROR"}},
         TOutcome::ProgrammedWithParameters, TFailure::None, complete, 2, 0},
        {"refused lines", "000=1\n102 7\n100=2\n",
         {{"ATCODE=1", "OK"}, {"ATACCW=1", "OK"}, {"ATSPNS 7", " error \t"}, {"ATEMAX=2", "ERROR"}},
         TOutcome::Failed, TFailure::ParameterRefused, "Target Refused 2 Of 3 Parameter Lines, First \"ATSPNS 7\"", 1,
         2},
        {"ATCODE=1 refused", "000=1\n", {{"ATCODE=1", "Error"}, {"ATACCW=1", "OK"}}, TOutcome::Failed,
         TFailure::ParameterRefused, "Target Refused \"ATCODE=1\" And 0 Of 1 Parameter Line", 1, 0},
        {"ATCODE=1 refused, and an empty file", "", {{"ATCODE=1", "ERROR"}}, TOutcome::Failed,
         TFailure::ParameterRefused, "Target Refused \"ATCODE=1\"", 0, 0},
        {"the last line never answered", "000=1\n100=2", {{"ATCODE=1", "OK"}, {"ATACCW=1", "OK"}, {"ATEMAX=2", {}}},
         TOutcome::Failed, TFailure::NoResponse, "Target Did Not Respond While Loading Parameters", 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        NewSession();
        session->Conversation().SetReplyTimeout(500ms);
        ASSERT_NO_FATAL_FAILURE(ReachParameterDownload(c.File));
        for (std::size_t i = 0; i < c.Exchanges.size(); ++i) {
            const TExchange& e = c.Exchanges[i];
            if (i + 1 == c.Exchanges.size()) {
                // Written, and not yet answered: the download is not over.
                EXPECT_EQ(view->state, StageText(SettingParameters));
                EXPECT_TRUE(session->ParamsPending());
                EXPECT_TRUE(session->Conversation().TimeOutArmed());
                EXPECT_TRUE(view->records.empty());
            }
            if (!e.Answer)
                break;
            const std::string next = AnswerLine(*e.Answer);
            const std::string expected = i + 1 < c.Exchanges.size() ? c.Exchanges[i + 1].Written + "\r\n" : "";
            ASSERT_EQ(next, expected);
        }
        if (c.Failure == TFailure::NoResponse) {
            ASSERT_TRUE(WaitUntil([&] { return !view->records.empty(); }));
            EXPECT_TRUE(WaitForReset());
        }

        EXPECT_EQ(view->errors, c.Failure == TFailure::None ? std::vector<std::string>{}
                                                             : std::vector<std::string>{c.Message});
        EXPECT_EQ(view->state.toStdString(),
                  c.Failure == TFailure::NoResponse ? "Waiting for Target" : "Parameter Load Complete");
        EXPECT_FALSE(session->ParamsPending());
        EXPECT_FALSE(session->Conversation().TimeOutArmed());
        ASSERT_EQ(view->records.size(), 1u);
        const TControllerRecord& r = view->records[0];
        EXPECT_EQ(r.Outcome, c.Outcome);
        EXPECT_EQ(r.Failure, c.Failure);
        EXPECT_EQ(r.Message.toStdString(), c.Message);
        EXPECT_EQ(r.ParameterLines, c.Accepted);
        EXPECT_EQ(r.ParameterLinesRefused, c.Refused);
        // Answers after the end release nothing.
        if (c.Failure != TFailure::NoResponse) {
            EXPECT_EQ(AnswerLine("OK"), "");
            EXPECT_EQ(view->records.size(), 1u);
        }
    }
}

// Whatever the controller does, the programmer acts only on an intact reply to
// the request it made, and every wait ends: the time-out's box and one reset.
TEST_F(SessionWireTest, ActsOnlyOnIntactRepliesToItsRequestAndEveryWaitEnds)
{
    WriteFile("image.bin", Pattern(0x400));
    const Bytes version = VersionReplyFor(0x4000, 0x4400, 256);
    struct TCase {
        const char* What;
        Bytes VersionReply;
        int EmptyAt = -1;
        int SilentFrom = -1;
        bool AnswerBehindTheBox = false; // the awaited reply arrives while the box is open
        std::vector<TFrameId> Frames;
    };
    const TCase cases[] = {
        {"'V' reply without data", EncodeLinkFrame('V', 0x4000, {}), -1, -1, false, {}},
        {"'V' reply of eight data bytes", EncodeLinkFrame('V', 0x4000, Hex("2F 01 00 44 00 00 00 00")),
         -1, -1, false, {}},
        {"'V' reply with another letter", EncodeLinkFrame('E', 0x4000, Hex("06 01 00 44 00 00 00 00 01")),
         -1, -1, false, {}},
        {"'E' reply without data", version, 0, -1, false, {Erase(0x4000)}},
        {"'P' reply without data", version, 1, -1, false, {Erase(0x4000), {'P', 0x4000, 256}}},
        {"'E' acknowledged behind the time-out's box", version, -1, 0, true, {Erase(0x4000)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        NewSession();
        view->autoProgram = true;
        session->Conversation().SetReplyTimeout(300ms);
        ASSERT_NO_FATAL_FAILURE(ReachVersionRequest());
        TPlayedLoader loader(pty);
        loader.EmptyAt = c.EmptyAt;
        loader.SilentFrom = c.SilentFrom;
        bool armedBehindTheBox = true;
        Bytes writtenBehindTheBox;
        view->onError = [&] {
            // The box runs an event loop: the port goes on announcing bytes,
            // and a time-out would go on firing.
            armedBehindTheBox = session->Conversation().TimeOutArmed();
            if (c.AnswerBehindTheBox)
                pty.Write(EncodeLinkFrame('E', 0x4000, Hex("06")));
            RunEventsFor(400ms);
            writtenBehindTheBox = pty.Drain(20ms);
        };

        ASSERT_NO_FATAL_FAILURE(RunUpload(loader, c.VersionReply));
        RunEventsFor(400ms); // long enough for a second time-out that must not come
        EXPECT_EQ(loader.Ids(), c.Frames);
        EXPECT_TRUE(writtenBehindTheBox.empty()) << writtenBehindTheBox.size() << " bytes sent";
        EXPECT_FALSE(armedBehindTheBox);
        ExpectResetAfter("Target Did Not Respond To Loader");
    }
}

// A refused reply with stray bytes behind it in the same notification: the
// reset reopens the port while they are being read, and what the new port then
// holds is the next controller's handshake, not the rest of the old reply.
TEST_F(SessionWireTest, BytesAnnouncedBeforeTheResetAreNotReadFromTheReopenedPort)
{
    WriteFile("image.bin", Pattern(0x400));
    view->autoProgram = true;
    ASSERT_NO_FATAL_FAILURE(ReachVersionRequest());
    pty.Write(VersionReplyFor(0x4000, 0x4400, 256));
    ASSERT_TRUE(WaitUntil([&] { return session->Phase() == Erasing && session->EraseStep() == 1; }))
        << view->state.toStdString() << " " << (view->errors.empty() ? "" : view->errors[0]);
    ASSERT_EQ(pty.Drain(50ms), EncodeLinkFrame('E', 0x4000, Hex("01")));
    port.OnOpen = [this](TVaCustomComm*) {
        // The next controller announces itself at once on the reopened line.
        // The event loop must not run here, or the new stage's handler would
        // take the bytes before the old one resumes.
        if (++opens == 1) {
            pty.Write(kHandshake);
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (port.ReadBufUsed() < 2 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
        }
    };

    ASSERT_TRUE(Deliver(Join(EncodeLinkFrame('E', 0x4000, Hex("15")), Hex("00 00"))));
    EXPECT_EQ(view->errors, std::vector<std::string>{"NAK rcvd while erasing Flash Blocks"});
    ASSERT_TRUE(WaitForReset());
    EXPECT_EQ(opens, 1);
    // The handshake is the new stage's to answer.
    Bytes answered;
    EXPECT_TRUE(WaitUntil([&] {
        const Bytes more = pty.Drain(10ms);
        answered.insert(answered.end(), more.begin(), more.end());
        return answered.size() >= 3;
    }));
    EXPECT_EQ(answered, kAnswer);
    EXPECT_EQ(session->Stage(), WaitingForTargetId);
}

// A boot ROM that stops taking the loader: the write gives up after the port's
// write time-out, the component's own text is shown once, and the line is
// reset once, not once per byte.
TEST_F(SessionWireTest, ALoaderTheControllerStopsTakingFailsOnceAndResets)
{
    view->loaders["QR740"] = QStringLiteral("big.ldr");
    WriteFile("big.ldr", Pattern(60000));
    ASSERT_TRUE(Deliver(kHandshake));
    ASSERT_EQ(pty.Read(3), kAnswer);
    // Nobody reads the master side from here on: the line's queues fill, and
    // the programmer goes on meanwhile.
    ASSERT_TRUE(Deliver(Join(Text("QR740"), Hex("06"))));
    EXPECT_TRUE(view->errors.empty());
    EXPECT_GT(port.SendPending(), 0);

    ASSERT_TRUE(WaitUntil([&] { return !view->errors.empty(); }));
    ASSERT_TRUE(WaitForReset());
    RunEventsFor(300ms);
    EXPECT_EQ(view->errors, std::vector<std::string>{"Write error (110), Connection timed out"});
    EXPECT_EQ(view->pauses, std::vector<std::chrono::milliseconds>{kTestResetPause});
    EXPECT_EQ(session->Stage(), WaitingForTarget);
    EXPECT_FALSE(session->Conversation().TimeOutArmed());
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(reported.empty());
}

// What the flash range cannot take is refused before the erase; what it can is
// programmed, the rest of the range staying erased.
TEST_F(SessionWireTest, AnImageIsRefusedBeforeTheEraseWhenNothingOrNotAllOfItWouldBeWritten)
{
    Bytes longErased = Pattern(0x400);
    longErased.resize(0x1000, 0xFF);
    Bytes longWritten = longErased;
    longWritten[0xFFF] = 0x00;
    enum TKind { File, Fifo, Folder };
    struct TCase {
        const char* What;
        TKind Kind;
        Bytes Image;
        std::vector<TFrameId> Frames;
        std::string Error; // after the path; empty when the upload completes
    };
    const TCase cases[] = {
        {"0 bytes", File, {}, {}, " Is Empty"},
        {"a fifo", Fifo, {}, {}, " Is Not A File"},
        {"a folder", Folder, {}, {}, " Is Not A File"},
        {"past the range, erased", File, longErased, Then({Erase(0x4000)}, Blocks(0x4000, 0x4400, 256)), ""},
        {"past the range, written", File, longWritten, {}, " Does Not Fit The Flash (0x4000 to 0x4400)"},
        {"shorter than the range", File, Pattern(0x180), Then({Erase(0x4000)}, Blocks(0x4000, 0x4200, 256)), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        NewSession();
        view->autoProgram = true;
        const auto path = dir / "image.bin";
        std::filesystem::remove_all(path);
        if (c.Kind == File)
            WriteFile("image.bin", c.Image);
        else if (c.Kind == Fifo)
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        else
            std::filesystem::create_directory(path);
        ASSERT_NO_FATAL_FAILURE(ReachVersionRequest());
        TPlayedLoader loader(pty);

        ASSERT_NO_FATAL_FAILURE(RunUpload(loader, VersionReplyFor(0x4000, 0x4400, 256)));
        EXPECT_EQ(loader.Ids(), c.Frames);
        if (c.Error.empty()) {
            EXPECT_TRUE(view->errors.empty());
            EXPECT_EQ(view->state, QString::fromLatin1(kComplete));
        } else {
            ExpectResetAfter("Target Binary File " + path.string() + c.Error);
        }
    }
    std::filesystem::remove_all(dir / "image.bin");
}

} // namespace
