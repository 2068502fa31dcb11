// The conversation against the simulated controller on a pseudo-terminal: whole
// sessions from the boot ROM's handshake to the last parameter line, checked by
// what the controller ended up holding.

#include "loadersession.h"
#include "programmerport.h"
#include "recording_view.h"
#include "../sim/sim_runner.h"
#include "srec_cat.h"

#include <scratch_dir.h>
#include <vacomm.h>
#include <wait.h>

#include <QCryptographicHash>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

// An image of `blocks` blocks of `blockSize` bytes, blank where `blank` says, cut
// to `length` bytes when that is shorter.
Bytes MakeImage(std::size_t blocks, std::size_t blockSize, const std::function<bool(std::size_t)>& blank,
                std::size_t length = SIZE_MAX)
{
    Bytes image;
    for (std::size_t i = 0; i < blocks; ++i) {
        for (std::size_t k = 0; k < blockSize; ++k)
            image.push_back(blank(i) ? 0xFF : std::uint8_t((i * 7 + k) % 251));
    }
    image.resize(std::min(length, image.size()));
    return image;
}

std::size_t NonBlankBlocks(const Bytes& image, std::size_t blockSize)
{
    std::size_t count = 0;
    for (std::size_t at = 0; at < image.size(); at += blockSize) {
        const auto end = image.begin() + std::ptrdiff_t(std::min(image.size(), at + blockSize));
        count += std::any_of(image.begin() + std::ptrdiff_t(at), end, [](auto b) { return b != 0xFF; });
    }
    return count;
}

// Serves the first controller of the simulator started with `options`, in
// automatic mode, until its record; then the port and the simulator stop.
void ProgramOneController(TRecordingView& view, const sim::Options& options, TSimRunner& sim)
{
    ASSERT_TRUE(sim.Start(options));
    TVaComm port;
    TLoaderSession session{port, view, view};
    session.SetTiming(InstantPauses());
    SetUpProgrammerPort(port);
    port.SetDeviceName(options.link.string());
    port.Open();
    session.SetStage(WaitingForTarget);
    ASSERT_TRUE(WaitUntil([&] { return !view.records.empty(); }, 20s)) << sim.Transcript();
    port.Close();
    sim.Stop();
}

class SessionOnSimulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        view.folder = QString::fromStdString(dir.Path().string() + "/");
        view.loaders["QR740"] = QStringLiteral("qr740.ldr");
        dir.WriteFile("qr740.ldr", "a small target loader");
        view.imageName = QStringLiteral("FW00303");
    }

    // Starts the simulator with `options` and opens the port on it, waiting for a
    // target.
    void Start(sim::Options options)
    {
        options.link = dir / "ttyQR740";
        ASSERT_TRUE(sim.Start(options));
        SetUpProgrammerPort(port);
        port.SetDeviceName((dir / "ttyQR740").string());
        port.Open();
        session.SetTiming(InstantPauses());
        session.Conversation().SetReplyTimeout(3s);
        session.SetStage(WaitingForTarget);
    }

    void WriteImage(const Bytes& image)
    {
        std::ofstream(dir / "FW00303.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    }

    bool WaitForState(const std::string& text, std::chrono::milliseconds deadline = 20s)
    {
        return WaitUntil([&] { return view.state.toStdString() == text || !view.errors.empty(); },
                         deadline) &&
               view.state.toStdString() == text;
    }

    // The simulated flash once the simulator has stopped.
    Bytes FlashAfterStop()
    {
        port.Close();
        sim.Stop();
        return sim.Sim().Flash();
    }

    ScratchDir dir;
    TSimRunner sim;
    TVaComm port;
    TRecordingView view;
    TLoaderSession session{port, view, view};
};

TEST_F(SessionOnSimulator, ManualSessionWaitsForUploadNowThenProgramsTheFlash)
{
    sim::Options options;
    options.fwVersion = 1234;
    const Bytes image = MakeImage(64, 256, [](std::size_t i) { return i % 4 == 1; });
    WriteImage(image);
    Start(options);

    ASSERT_TRUE(WaitForState("Press Upload Now to Start")) << sim.Transcript();
    EXPECT_EQ(view.states,
              (std::vector<std::string>{"Waiting for Target", "Waiting for Target ID",
                                        "Loading Target Loader", "Loading Target Loader",
                                        "Getting Version Information",
                                        "Press Upload Now to Start"}));
    EXPECT_EQ(view.loaderVersion.toStdString(), "LDR 1.00");
    EXPECT_EQ(view.currentVersion.toStdString(), "12.34");
    EXPECT_EQ(session.Geometry().FlashStart, 0x4000u);
    EXPECT_EQ(session.Geometry().FlashEnd, 0x8000u);
    EXPECT_EQ(session.Geometry().BlockSize, 256u);
    EXPECT_TRUE(view.uploadNow);
    EXPECT_FALSE(session.Conversation().TimeOutArmed());
    EXPECT_EQ(sim.Count("<- E"), 0u) << "nothing is erased before Upload Now";

    session.bGoClick();
    EXPECT_FALSE(view.uploadNow);
    ASSERT_TRUE(WaitForState("Flash Update Complete")) << sim.Transcript();
    EXPECT_TRUE(view.errors.empty());
    EXPECT_EQ(view.progress, view.maxValue);
    EXPECT_EQ(view.maxValue, 64);
    EXPECT_FALSE(view.needleWentBack);
    EXPECT_EQ(session.BlocksSent(), NonBlankBlocks(image, 256));
    EXPECT_EQ(FlashAfterStop(), image);
    EXPECT_EQ(sim.Count("(block "), NonBlankBlocks(image, 256)) << "no blank block is sent";
    EXPECT_FALSE(sim.SaidAnythingUnexpected()) << sim.Transcript();
}

TEST_F(SessionOnSimulator, AutomaticSessionProgramsEveryBlockOfALargeFlash)
{
    // 0x4000 to 0x80000 in 256-byte blocks: 1984 blocks, far more than 256. The
    // image covers 700 of them and ends inside a block; the rest of the range
    // lies past its end and is blank.
    sim::Options options;
    options.flashEnd = 0x80000;
    const Bytes image =
        MakeImage(700, 256, [](std::size_t i) { return (i >= 40 && i < 300) || i % 9 == 0; },
                  700 * 256 - 100);
    WriteImage(image);
    view.autoProgram = true;
    Start(options);

    ASSERT_TRUE(WaitForState("Flash Update Complete", 60s)) << sim.Transcript();
    EXPECT_TRUE(view.errors.empty());
    EXPECT_EQ(view.maxValue, 1984);
    EXPECT_EQ(view.progress, 1984);
    EXPECT_FALSE(view.needleWentBack);
    EXPECT_FALSE(session.ImageOpen()) << "the image is released when the upload is done";

    Bytes expected = image;
    expected.resize(0x80000 - 0x4000, 0xFF);
    EXPECT_EQ(FlashAfterStop(), expected);
    EXPECT_EQ(sim.Count("(block "), NonBlankBlocks(image, 256));
    EXPECT_FALSE(sim.SaidAnythingUnexpected()) << sim.Transcript();
}

// One firmware as a toolchain hands it over, as a HEX file and as an S-record
// file, written by srec_cat from the raw image with its erased stretches left
// out: each programs the very flash the raw image does, and records one digest.
TEST(ImageFiles, ProgramTheSameFlashAsTheirRawTwin)
{
    REQUIRE_SREC_CAT(tool);
    ScratchDir files;
    const Bytes image = MakeImage(24, 256, [](std::size_t i) { return i % 5 == 2 || i >= 20; }, 23 * 256 + 17);
    std::ofstream(files / "FW00303.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    const std::string bin = (files / "FW00303.bin").string();
    for (const auto& [name, format] : {std::pair{"FW00303.hex", "-intel"}, {"FW00303.s37", "-motorola"}}) {
        ASSERT_EQ(RunSrecCat(tool, files,
                             {bin, "-binary", "-unfill", "0xFF", "16", "-offset", "0x4000", "-o",
                              (files / name).string(), format, "-address-length=4"}),
                  "");
    }

    Bytes expected = image;
    expected.resize(0x4000 + 24 * 256 - 0x4000, 0xFF);
    QString digest;
    for (const char* extension : {".bin", ".hex", ".s37"}) {
        SCOPED_TRACE(extension);
        ScratchDir dir;
        fs::copy_file(files / (std::string("FW00303") + extension), dir / (std::string("FW00303") + extension));
        dir.WriteFile("qr740.ldr", "a small target loader");
        TRecordingView view;
        view.folder = QString::fromStdString(dir.Path().string() + "/");
        view.loaders["QR740"] = QStringLiteral("qr740.ldr");
        view.imageName = QStringLiteral("FW00303");
        view.imageExtension = QString::fromLatin1(extension);
        view.autoProgram = true;
        sim::Options options;
        options.link = dir / "ttyQR740";
        options.flashEnd = 0x4000 + 24 * 256;
        TSimRunner sim;
        ASSERT_NO_FATAL_FAILURE(ProgramOneController(view, options, sim));

        ASSERT_EQ(view.records.size(), 1u);
        const TControllerRecord& r = view.records[0];
        EXPECT_EQ(r.Outcome, TOutcome::Programmed) << r.Message.toStdString();
        EXPECT_EQ(sim.Sim().Flash(), expected);
        EXPECT_EQ(sim.Count("(block "), NonBlankBlocks(image, 256));
        EXPECT_FALSE(r.FlashSha256.isEmpty());
        if (digest.isEmpty())
            digest = r.FlashSha256;
        EXPECT_EQ(r.FlashSha256, digest);
        EXPECT_EQ(r.ImageSize, fs::file_size(dir / (std::string("FW00303") + extension)));
    }
}

// What the front end knows of the unit decides before the erase: a unit that
// is known goes into the record and into the parameter lines that hold the
// placeholder; one that cannot be had, or could not be written into a command
// whole, leaves the controller untouched.
TEST(UnitOfController, IsKnownBeforeTheEraseOrTheControllerIsLeftUntouched)
{
    struct TCase {
        const char* what;
        std::vector<TUnitAnswer> answers;
        TOutcome outcome;
        std::string message;
        std::vector<std::string> parameterLines; // what the controller received
    };
    const TUnitAnswer pending{TUnitAnswer::Pending, QStringLiteral("Serial Number From The Journal")};
    const TCase cases[] = {
        {"a serial number", {{TUnitAnswer::Known, QStringLiteral("QR000007")}}, TOutcome::ProgrammedWithParameters,
         "Parameter Load Complete", {"ATCODE=1", "ATACCW=QR000007", "ATPILT12"}},
        {"a number that comes while the upload waits", {pending, pending, {TUnitAnswer::Known, QStringLiteral("QR9")}},
         TOutcome::ProgrammedWithParameters, "Parameter Load Complete", {"ATCODE=1", "ATACCW=QR9", "ATPILT12"}},
        {"a series used up", {{TUnitAnswer::Refused, QStringLiteral("Serial Number Series QR%06d Is Used Up")}},
         TOutcome::Failed, "Serial Number Series QR%06d Is Used Up", {}},
        {"a label with a control character", {{TUnitAnswer::Known, QStringLiteral("QR1\r\nATERASE")}},
         TOutcome::Failed, "Unit \"QR1??ATERASE\" Holds A Control Character", {}},
        {"no unit for the placeholder", {}, TOutcome::Failed,
         "Parameter File Line \"000={serial}\" Needs A Serial Number: Give [Serial Numbers] In Loader.ini",
         {"ATCODE=1"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        const Bytes image = MakeImage(4, 256, [](std::size_t i) { return i == 1; });
        std::ofstream(dir / "FW00303.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        dir.WriteFile("qr740.ldr", "a small target loader");
        dir.WriteFile("unit.par", "000={serial}\nT12\n");
        TRecordingView view;
        view.folder = QString::fromStdString(dir.Path().string() + "/");
        view.loaders["QR740"] = QStringLiteral("qr740.ldr");
        view.imageName = QStringLiteral("FW00303");
        view.parameterName = QStringLiteral("unit");
        view.autoProgram = true;
        view.unitAnswers = c.answers;
        sim::Options options;
        options.link = dir / "ttyQR740";
        options.flashEnd = 0x4000 + 4 * 256;
        TSimRunner sim;
        ASSERT_NO_FATAL_FAILURE(ProgramOneController(view, options, sim));

        const TControllerRecord& r = view.records[0];
        EXPECT_EQ(r.Outcome, c.outcome);
        EXPECT_EQ(r.Message.toStdString(), c.message);
        EXPECT_EQ(sim.Sim().ParameterLines(), c.parameterLines);
        if (c.outcome == TOutcome::Failed && c.parameterLines.empty()) {
            EXPECT_EQ(sim.Count("<- E"), 0u) << "nothing is erased";
            EXPECT_EQ(r.Failure, TFailure::ParameterFile);
        } else if (!c.answers.empty()) {
            EXPECT_EQ(r.Unit, c.answers.back().Text);
        }
    }
}

// A file refused by its content is refused before the erase: the controller
// keeps the firmware it had, and the message names the line.
TEST_F(SessionOnSimulator, AMalformedImageFileIsRefusedBeforeTheErase)
{
    dir.WriteFile("FW00303.hex", ":0140000001BE\n:0140010002BD\n:00000001FF\n");
    view.imageExtension = QStringLiteral(".hex");
    view.autoProgram = true;
    Start({});
    ASSERT_TRUE(WaitUntil([&] { return !view.records.empty(); }, 20s)) << sim.Transcript();
    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_TRUE(view.errors[0].starts_with("Target Binary File " + (dir / "FW00303.hex").string() + ": Line 2: "))
        << view.errors[0];
    EXPECT_EQ(view.records[0].Failure, TFailure::ImageUnusable);
    EXPECT_EQ(sim.Count("<- E"), 0u) << "nothing is erased";
    EXPECT_EQ(FlashAfterStop(), Bytes(0x4000, 0xFF));
}

// The image is read off the session's thread, and a read that does not end in
// time (a share gone away) fails the controller before its erase rather than
// holding it. A file far larger than the flash, whose whole digest is taken,
// stands for the slow read here.
TEST_F(SessionOnSimulator, AnImageReadThatDoesNotEndInTimeLeavesTheControllerUntouched)
{
    WriteImage(Bytes(64 * 1024 * 1024, 0xFF));
    view.autoProgram = true;
    Start({});
    TSessionTiming timing = InstantPauses();
    timing.ImageRead = 1ms;
    session.SetTiming(timing);
    ASSERT_TRUE(WaitUntil([&] { return !view.records.empty(); }, 20s)) << sim.Transcript();
    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_EQ(view.errors[0], "Target Binary File " + (dir / "FW00303.bin").string() + " Could Not Be Read In 0.001 s");
    EXPECT_EQ(view.records[0].Outcome, TOutcome::Failed);
    EXPECT_EQ(view.records[0].Failure, TFailure::ImageUnusable);
    EXPECT_EQ(sim.Count("<- E"), 0u) << "nothing is erased";
    EXPECT_EQ(FlashAfterStop(), Bytes(0x4000, 0xFF));
}

// A port's passing fault reported while the image is read (the box a window
// shows for it) sets the read aside with everything else, and the upload goes
// on once the report is done: the controller is programmed, not left waiting.
TEST_F(SessionOnSimulator, AReportWhileTheImageIsReadLeavesTheUploadToGoOn)
{
    // Large enough that the report comes while it is still being read.
    Bytes image(0x4000);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = std::uint8_t(i % 251);
    const Bytes flash = image;
    image.resize(64 * 1024 * 1024, 0xFF);
    WriteImage(image);
    view.autoProgram = true;
    Start({});
    ASSERT_TRUE(WaitUntil([&] { return session.ReadingImage() || !view.records.empty(); }, 20s)) << sim.Transcript();
    session.PortFailed(std::make_exception_ptr(std::runtime_error("a passing fault")));
    ASSERT_TRUE(WaitUntil([&] { return !view.records.empty(); }, 20s)) << sim.Transcript();

    EXPECT_EQ(view.portErrors, std::vector<std::string>{"a passing fault"});
    EXPECT_TRUE(view.errors.empty()) << view.errors[0];
    EXPECT_EQ(view.records[0].Outcome, TOutcome::Programmed);
    EXPECT_EQ(FlashAfterStop(), flash);
}

// ---------------------------------------------------------------- records

// Each controller's session ends in one record: its facts checked against what
// the simulated controller saw, for a success with and without parameters, a
// refused block, refused parameters, a time-out, an adapter pulled out and a
// reset in the middle of programming.
TEST(ControllerRecords, HoldWhatTheControllerSaw)
{
    struct TCase {
        const char* what;
        std::vector<std::string> faults;
        bool parameters;
        bool resetAfterTwoBlocks;
        TOutcome outcome;
        TFailure failure;
        std::string message;
    };
    const TCase cases[] = {
        {"programmed", {}, false, false, TOutcome::Programmed, TFailure::None, "Flash Update Complete"},
        {"with parameters", {}, true, false, TOutcome::ProgrammedWithParameters, TFailure::None,
         "Parameter Load Complete"},
        {"a refused block", {"nak-block:3"}, false, false, TOutcome::Failed, TFailure::BlockRefused,
         "NAK rcvd while Updating Flash"},
        {"refused parameters", {"at-error"}, true, false, TOutcome::Failed, TFailure::ParameterRefused,
         "Target Refused \"ATCODE=1\" And 3 Of 3 Parameter Lines"},
        {"no answer to the erase", {"silent-after:E"}, false, false, TOutcome::Failed, TFailure::NoResponse,
         "Target Did Not Respond To Loader"},
        // Not left to the time-out: the record says what the operator saw.
        {"adapter pulled out", {"hangup-after-block:2"}, false, false, TOutcome::Failed, TFailure::PortError,
         "Error retrieving statistics (5), Input/output error"},
        {"reset while programming", {}, false, true, TOutcome::Interrupted, TFailure::None, "Reset Loader"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        const Bytes image = MakeImage(8, 256, [](std::size_t i) { return i == 1 || i == 6; });
        std::ofstream(dir / "FW00303.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        dir.WriteFile("qr740.ldr", "a small target loader");
        dir.WriteFile("bench.par", "000=25\n102 7\nT12\n");
        TRecordingView view;
        view.folder = QString::fromStdString(dir.Path().string() + "/");
        view.loaders["QR740"] = QStringLiteral("qr740.ldr");
        view.imageName = QStringLiteral("FW00303");
        view.autoProgram = true;
        view.parameterName = c.parameters ? QStringLiteral("bench") : QString();
        sim::Options options;
        options.link = dir / "ttyQR740";
        options.fwVersion = 250;
        options.flashEnd = 0x4000 + 8 * 256;
        // Paced, so that a reset can come between blocks.
        options.pace = c.resetAfterTwoBlocks;
        for (const std::string& fault : c.faults)
            ASSERT_TRUE(sim::AddFault(options.faults, fault));
        TSimRunner sim;
        ASSERT_TRUE(sim.Start(options));
        TVaComm port;
        TLoaderSession session{port, view, view};
        session.SetTiming(InstantPauses());
        session.Conversation().SetReplyTimeout(1s);
        SetUpProgrammerPort(port);
        port.SetDeviceName(options.link.string());
        const auto before = std::chrono::system_clock::now();
        port.Open();
        session.SetStage(WaitingForTarget);
        if (c.resetAfterTwoBlocks) {
            ASSERT_TRUE(WaitUntil([&] { return sim.Count("(block ") >= 2; }, 20s)) << sim.Transcript();
            session.bResetLoaderClick();
        }
        ASSERT_TRUE(WaitUntil([&] { return !view.records.empty(); }, 20s)) << sim.Transcript();
        RunEventsFor(100ms);
        port.Close();
        sim.Stop();

        ASSERT_EQ(view.records.size(), 1u);
        EXPECT_EQ(view.started, 1);
        const TControllerRecord& r = view.records[0];
        EXPECT_EQ(r.Outcome, c.outcome);
        EXPECT_EQ(r.Failure, c.failure);
        EXPECT_EQ(r.Message.toStdString(), c.message);
        EXPECT_LE(before, r.Started);
        EXPECT_LE(r.Started, r.Ended);
        EXPECT_EQ(r.TargetId, "QR740");
        EXPECT_EQ(r.LoaderFile, QStringLiteral("qr740.ldr"));
        EXPECT_EQ(r.LoaderPath.toStdString(), (dir / "qr740.ldr").string());
        EXPECT_EQ(r.LoaderSha256, QCryptographicHash::hash("a small target loader", QCryptographicHash::Sha256).toHex());
        EXPECT_EQ(r.LoaderVersion, QStringLiteral("LDR 1.00"));
        EXPECT_TRUE(r.VersionKnown);
        EXPECT_EQ(r.InstalledVersion, 250);
        EXPECT_EQ(r.Geometry.FlashStart, 0x4000u);
        EXPECT_EQ(r.Geometry.FlashEnd, 0x4800u);
        EXPECT_EQ(r.Geometry.BlockSize, 256u);
        EXPECT_EQ(r.ImagePath.toStdString(), (dir / "FW00303.bin").string());
        EXPECT_EQ(r.ImageSize, image.size());
        EXPECT_EQ(r.ImageSha256, QCryptographicHash::hash(QByteArrayView(image.data(), qsizetype(image.size())),
                                                          QCryptographicHash::Sha256)
                                     .toHex());
        EXPECT_EQ(r.BlocksTotal, 8u);
        // A refused block was sent; the block the controller went silent after
        // never came.
        EXPECT_EQ(r.BlocksSent, sim.Count("(block "));
        EXPECT_EQ(r.BlocksSkipped(), r.BlocksExamined - r.BlocksSent);
        if (c.outcome == TOutcome::Programmed || c.outcome == TOutcome::ProgrammedWithParameters ||
            c.failure == TFailure::ParameterRefused) {
            EXPECT_EQ(r.BlocksExamined, 8u);
            EXPECT_EQ(r.BlocksSent, 6u);
        }
        if (c.parameters) {
            EXPECT_EQ(r.ParameterPath.toStdString(), (dir / "bench.par").string());
            EXPECT_EQ(r.ParameterSha256,
                      QCryptographicHash::hash("000=25\n102 7\nT12\n", QCryptographicHash::Sha256).toHex());
            // Every line was answered, and counts as accepted or refused.
            EXPECT_EQ(r.ParameterLines + r.ParameterLinesRefused + 1, sim.Sim().ParameterLines().size())
                << "and ATCODE=1";
            EXPECT_EQ(r.ParameterLinesRefused, c.failure == TFailure::ParameterRefused ? 3u : 0u);
        } else {
            EXPECT_TRUE(r.ParameterPath.isEmpty());
            EXPECT_EQ(r.ParameterLines, 0u);
            EXPECT_EQ(r.ParameterLinesRefused, 0u);
        }
    }
}

// ---------------------------------------------------------------- parameters

class ParameterDownload : public SessionOnSimulator {
protected:
    void SetUp() override
    {
        SessionOnSimulator::SetUp();
        WriteImage(MakeImage(4, 256, [](std::size_t i) { return i == 2; }));
        view.autoProgram = true;
        view.parameterName = QStringLiteral("bench");
    }
};

TEST_F(ParameterDownload, SendsEveryLineAtTheParameterSpeed)
{
    dir.WriteFile("bench.par", "000=25\r\n102 7\nT12\n\n999=1\nt5\n222\n12\n001=3");
    Start({});

    ASSERT_TRUE(WaitForState("Parameter Load Complete")) << sim.Transcript();
    EXPECT_TRUE(view.errors.empty());
    EXPECT_EQ(port.Baudrate(), br19200);
    EXPECT_EQ(view.maxValue, 40);
    EXPECT_EQ(view.progress, 40);
    EXPECT_FALSE(session.ParamsPending());
    // The restart reply is acted on after the controller's restart, and the port
    // is reopened at the parameter speed after a pause of its own.
    EXPECT_EQ(view.pauses, (std::vector<std::chrono::milliseconds>{kTestRestartPause, kTestParameterPortPause}));

    // The last line has no LF; completion came with its answer all the same.
    EXPECT_TRUE(WaitUntil([&] { return sim.Said("<- \"ATSINP=3\""); }, 20s)) << sim.Transcript();
    ASSERT_EQ(view.records.size(), 1u);
    EXPECT_EQ(view.records[0].ParameterLines, 9u);
    port.Close();
    sim.Stop();
    EXPECT_EQ(sim.Sim().ParameterLines(),
              (std::vector<std::string>{"ATCODE=1", "ATACCW=25", "ATSPNS 7", "ATPILT12", "ATZZZZ",
                                        "ATZZZZ=1", "ATZZZZ", "ATPITC", "ATZZZZ", "ATSINP=3"}));
    EXPECT_FALSE(sim.SaidAnythingUnexpected()) << sim.Transcript();
}

// An error answer releases the next line like any other, and the download,
// once every line is answered, fails with the count; no answer at all ends the
// download after the reply time-out, with the reset.
struct AnswerCase {
    const char* what;
    bool atError;
    bool atSilent;
    const char* finalState;
    std::vector<std::string> errors;
    std::vector<std::string> lines;
};

void PrintTo(const AnswerCase& c, std::ostream* out) { *out << c.what; }

class ParameterAnswers : public ParameterDownload,
                         public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(ParameterAnswers, AreCountedAndAreWaitedForNoLongerThanTheTimeOut)
{
    const AnswerCase& c = GetParam();
    sim::Options options;
    options.faults.atError = c.atError;
    options.faults.atSilent = c.atSilent;
    dir.WriteFile("bench.par", "000=1\n100=2\n");
    Start(options);
    if (c.atSilent) {
        ASSERT_TRUE(WaitUntil([&] { return sim.Said("<- \"ATCODE=1\""); }, 20s)) << sim.Transcript();
        ASSERT_TRUE(WaitUntil([&] { return !view.errors.empty(); }, 20s)) << sim.Transcript();
    }
    ASSERT_TRUE(WaitUntil([&] { return view.state.toStdString() == c.finalState; }, 20s)) << sim.Transcript();
    EXPECT_EQ(view.errors, c.errors);
    port.Close();
    sim.Stop();
    EXPECT_EQ(sim.Sim().ParameterLines(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ParameterAnswers,
    ::testing::Values(AnswerCase{"ErrorAnswers", true, false, "Parameter Load Complete",
                                 {"Target Refused \"ATCODE=1\" And 2 Of 2 Parameter Lines"},
                                 {"ATCODE=1", "ATACCW=1", "ATEMAX=2"}},
                      AnswerCase{"NoAnswers", false, true, "Waiting for Target",
                                 {"Target Did Not Respond While Loading Parameters"}, {"ATCODE=1"}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(ParameterDownload, AFileThatCannotBeReadIsReportedNotCompleted)
{
    // A directory opens like a file, and its first read fails.
    fs::create_directory(dir / "bench.par");
    Start({});

    ASSERT_TRUE(WaitUntil([&] { return !view.errors.empty(); }, 20s)) << sim.Transcript();
    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_EQ(view.errors[0],
              "Unable to read Parameter File " + dir.Path().string() + "/bench.par: Is a directory");
    EXPECT_EQ(view.state.toStdString(), "Parameter Load Failed");
    EXPECT_FALSE(session.ParamsPending());
    EXPECT_EQ(session.Stage(), SettingParameters) << "no reset: the operator decides";

    // Further answers send nothing.
    port.Close();
    sim.Stop();
    EXPECT_EQ(sim.Sim().ParameterLines(), std::vector<std::string>{"ATCODE=1"});
}

TEST_F(ParameterDownload, AMissingFileIsReportedWithoutAReset)
{
    Start({});

    ASSERT_TRUE(WaitUntil([&] { return !view.errors.empty(); }, 20s)) << sim.Transcript();
    EXPECT_EQ(view.errors, std::vector<std::string>{"Parameter File Not Found"});
    EXPECT_EQ(view.state.toStdString(), "Flash Update Complete");
    EXPECT_EQ(session.Stage(), GettingVersion);
    EXPECT_EQ(port.Baudrate(), br9600);
    EXPECT_EQ(view.pauses, std::vector<std::chrono::milliseconds>{kTestRestartPause});
}

} // namespace
