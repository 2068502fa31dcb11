// The simulator on real pseudo-terminals: in-process on a thread, and as the
// qr740-sim program.
#include "bytes.h"
#include "child_process.h"
#include "programmer_end.h"
#include "scratch_dir.h"
#include "sim_loop.h"
#include "sim_runner.h"
#include "wait.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>

extern char** environ;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

Bytes Frame(char command, std::uint32_t address, const Bytes& data = {})
{
    return EncodeLinkFrame(std::uint8_t(command), address, data);
}

// Reads until the bytes received end with `tail`; announcements that were on
// their way may come first.
bool ReadUntil(ProgrammerEnd& p, const Bytes& tail, std::chrono::milliseconds deadline = 5s)
{
    Bytes seen;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        const Bytes b = p.Read(1, 100ms);
        seen.insert(seen.end(), b.begin(), b.end());
        if (seen.size() >= tail.size() && std::equal(tail.rbegin(), tail.rend(), seen.rbegin()))
            return true;
    }
    return false;
}

// Expects one intact reply with `command` whose first data byte is `first`.
void ExpectReply(ProgrammerEnd& p, char command, std::uint8_t first)
{
    const auto f = p.ReadFrame();
    ASSERT_TRUE(f) << "no reply to '" << command << "'";
    EXPECT_EQ(f->result, TLinkReceiver::TResult::FrameGood);
    EXPECT_EQ(f->command, command);
    ASSERT_FALSE(f->data.empty());
    EXPECT_EQ(f->data[0], first);
}

// The programmer's side up to the running loader: answer, identification, upload.
void ReachLoader(ProgrammerEnd& p)
{
    ASSERT_TRUE(ReadUntil(p, Hex("06 15")));
    p.Write(Text("APL"));
    ASSERT_TRUE(ReadUntil(p, Text("QR740\x06")));
    p.Write(LoaderUpload(Text("a small target loader")));
    const auto f = p.ReadFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->result, TLinkReceiver::TResult::FrameGood);
    EXPECT_EQ(f->data, Text("LDR 1.00"));
}

struct Block {
    std::uint32_t address;
    Bytes data;
};

// A whole programming run as the programmer makes it, ending in the parameter mode.
void PlayProgrammerRun(const fs::path& link, const std::vector<Block>& blocks,
                       const std::vector<std::string>& lines)
{
    ProgrammerEnd p(link, 9600);
    ReachLoader(p);
    p.Write(Frame('V', 0));
    const auto version = p.ReadFrame();
    ASSERT_TRUE(version);
    EXPECT_EQ(version->command, 'V');
    p.Write(Frame('E', version->address, {0x01}));
    ExpectReply(p, 'E', 0x06);
    for (const Block& b : blocks) {
        p.Write(Frame('P', b.address, b.data));
        ExpectReply(p, 'P', 0x06);
    }
    p.Write(Frame('S', 0));
    ExpectReply(p, 'S', 0x06);
    // The programmer reopens the port at the parameter speed.
    p.Close();
    p.Open(19200);
    for (const std::string& line : lines) {
        p.Write(Text(line + "\r\n"));
        EXPECT_EQ(p.Read(4), Text("OK\r\n")) << line;
    }
}

// ------------------------------------------------------------------ in-process

class SimOnPty : public ::testing::Test {
protected:
    void Start(sim::Options options = {})
    {
        options.link = link_;
        ASSERT_TRUE(sim_.Start(std::move(options)));
    }
    void StopSim() { sim_.Stop(); }

    bool Said(const std::string& text) const { return sim_.Said(text); }
    std::string Transcript() const { return sim_.Transcript(); }

    ScratchDir dir_;
    fs::path link_ = dir_ / "ttyQR740";
    TSimRunner sim_;
};

TEST_F(SimOnPty, ServesAWholeRunAndRemovesItsLink)
{
    sim::Options options;
    options.flashStart = 0x4000;
    options.flashEnd = 0x4400;
    Start(options);
    const Bytes first(256, 0x11), third(256, 0x33);
    PlayProgrammerRun(link_, {{0x4000, first}, {0x4200, third}}, {"ATCODE=1", "ATACCW=25"});
    StopSim();
    ASSERT_FALSE(sim_.Failure());

    Bytes expected(0x400, 0xFF);
    std::copy(first.begin(), first.end(), expected.begin());
    std::copy(third.begin(), third.end(), expected.begin() + 0x200);
    EXPECT_EQ(sim_.Sim().Flash(), expected);
    EXPECT_EQ(sim_.Sim().ParameterLines(), (std::vector<std::string>{"ATCODE=1", "ATACCW=25"}));
    EXPECT_FALSE(sim_.Sim().AnythingUnexpected()) << Transcript();
    EXPECT_TRUE(Said("the programmer opened the port (9600 baud)")) << Transcript();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
}

TEST_F(SimOnPty, AnnouncementsDoNotPileUpWhileNobodyListens)
{
    Start();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        // Long enough for a few announcements to go unheard.
        RunEventsFor(700ms);
        ProgrammerEnd p(link_);
        const Bytes first = p.Drain(100ms);
        EXPECT_TRUE(first.empty() || first == Hex("06 15")) << first.size() << " bytes waiting";
        EXPECT_EQ(p.Read(2), Hex("06 15"));
    }
    EXPECT_TRUE(Said("the programmer closed the port")) << Transcript();
}

TEST_F(SimOnPty, ChecksTheParameterSpeedOnTheLine)
{
    Start();
    ProgrammerEnd p(link_, 9600);
    ReachLoader(p);
    p.Write(Frame('S', 0));
    ExpectReply(p, 'S', 0x06);

    p.Write(Text("ATCODE=1\r\n"));
    EXPECT_EQ(p.Drain(300ms), Bytes{});
    EXPECT_TRUE(WaitUntil([&] { return Said("<- \"ATCODE=1\" at 9600 baud: the line should run at 19200"); }))
        << Transcript();

    p.SetSpeed(19200);
    p.Write(Text("ATCODE=1\r\n"));
    EXPECT_EQ(p.Read(4), Text("OK\r\n"));
}

TEST_F(SimOnPty, PacedRepliesTakeTheLinesTime)
{
    sim::Options options;
    options.pace = true;
    Start(options);
    ProgrammerEnd p(link_, 9600);
    ReachLoader(p);

    const Bytes block(256, 0x5A);
    const auto sent = std::chrono::steady_clock::now();
    p.Write(Frame('P', 0x4000, block));
    ExpectReply(p, 'P', 0x06);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - sent;

    // The block's 270 bytes go one way and the 15 of the reply come back, ten
    // bit times each at 9600 baud.
    const double line = (270 + 15) * 10 / 9600.0;
    std::cout << "paced block of 256 bytes at 9600 baud: " << took.count() * 1000 << " ms (line "
              << line * 1000 << " ms)\n";
    RecordProperty("paced_block_ms", int(took.count() * 1000));
    EXPECT_GE(took.count(), line * 0.99);
}

TEST_F(SimOnPty, HangsUpAndComesBackAsANewLine)
{
    sim::Options options;
    // Long enough for the test to look at the unplugged line before it is back.
    options.quietPeriod = 2s;
    ASSERT_TRUE(sim::AddFault(options.faults, "hangup-after-block:1"));
    Start(options);
    {
        ProgrammerEnd p(link_, 9600);
        ReachLoader(p);
        // The second block is on its way when the line goes: it is lost with
        // the line, not taken for stray bytes.
        p.Write(Join(Frame('P', 0x4000, Bytes(256, 0x01)), Frame('P', 0x4100, Bytes(256, 0x02))));
        EXPECT_TRUE(p.WaitForHangUp());
    }
    // Unplugged, the device is gone, not left to a number the system may reuse.
    ASSERT_TRUE(WaitUntil([&] { return Said("unplugged adapter"); })) << Transcript();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link_))) << Transcript();
    // Plugged in again: a new device behind the same link, announcing afresh.
    ASSERT_TRUE(WaitUntil([&] { return Said("plugged in again"); })) << Transcript();
    ProgrammerEnd again(link_, 9600);
    EXPECT_EQ(again.Read(2), Hex("06 15"));
    StopSim();
    EXPECT_FALSE(sim_.Sim().AnythingUnexpected()) << Transcript();
}

TEST_F(SimOnPty, LeavesAnythingButALinkAlone)
{
    {
        std::ofstream(link_) << "precious";
    }
    sim::Options options;
    options.link = link_;
    sim::Loop loop(options);
    EXPECT_THROW(loop.Run(), std::runtime_error);
    EXPECT_EQ(dir_.ReadFile("ttyQR740"), "precious");
}

// ------------------------------------------------------------------ the program

// qr740-sim as a child process, its transcript going to a file.
class SimProcess : public ChildProcess {
public:
    SimProcess(std::vector<std::string> args, const fs::path& transcript)
        : ChildProcess(QR740_SIM_PATH, std::move(args), transcript)
    {
    }
};

class SimProgram : public ::testing::Test {
protected:
    std::string Read(const std::string& name) { return dir_.ReadFile(name); }
    bool WaitForLink() { return WaitUntil([&] { return fs::is_symlink(link_); }); }

    ScratchDir dir_;
    fs::path link_ = dir_ / "ttyQR740";
    fs::path transcript_ = dir_ / "transcript.txt";
};

TEST_F(SimProgram, HelpDocumentsEveryOption)
{
    SimProcess help({"--help"}, transcript_);
    ASSERT_TRUE(help.Started());
    EXPECT_EQ(help.WaitForExit(), 0);
    const std::string text = Read("transcript.txt");
    for (const char* option :
         {"--link PATH", "--id TEXT", "--loader-version TEXT", "--flash-start N", "--flash-end N",
          "--block-size N", "--fw-version N", "--fault NAME", "--pace", "--flash-out FILE",
          "--params-out FILE", "--once", "--quiet-ms N", "--help", "nak-erase", "nak-block:N",
          "silent-after:STEP", "bad-crc:CMD", "hangup-after-block:N", "at-silent", "at-error"})
        EXPECT_NE(text.find(option), std::string::npos) << option;

    SimProcess wrong({"--link", link_.string(), "--fault", "nak-everything"}, transcript_);
    EXPECT_EQ(wrong.WaitForExit(), 2);
    EXPECT_NE(Read("transcript.txt").find("unknown fault nak-everything"), std::string::npos);
}

TEST_F(SimProgram, EndsAfterOneSessionAndLeavesItsFiles)
{
    SimProcess sim({"--link", link_.string(), "--once", "--quiet-ms", "500", "--flash-start", "0x4000",
                    "--flash-end", "0x4400", "--flash-out", (dir_ / "flash.bin").string(), "--params-out",
                    (dir_ / "params.txt").string()},
                   transcript_);
    ASSERT_TRUE(WaitForLink());
    Bytes second(256);
    for (int i = 0; i < 256; ++i)
        second[i] = std::uint8_t(i);
    PlayProgrammerRun(link_, {{0x4100, second}}, {"ATCODE=1", "ATACCW=25", "ATPILT12"});

    EXPECT_EQ(sim.WaitForExit(), 0) << Read("transcript.txt");
    std::string flash(0x400, '\xFF');
    std::copy(second.begin(), second.end(), flash.begin() + 0x100);
    EXPECT_EQ(Read("flash.bin"), flash);
    EXPECT_EQ(Read("params.txt"), "ATCODE=1\nATACCW=25\nATPILT12\n");
    EXPECT_NE(Read("transcript.txt").find("session complete"), std::string::npos);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
}

TEST_F(SimProgram, EndsWithStatusOneAfterSomethingUnexpected)
{
    SimProcess sim({"--link", link_.string(), "--once", "--quiet-ms", "300"}, transcript_);
    ASSERT_TRUE(WaitForLink());
    {
        ProgrammerEnd p(link_);
        ASSERT_TRUE(ReadUntil(p, Hex("06 15")));
        p.Write(Text("APL"));
        ASSERT_TRUE(ReadUntil(p, Text("QR740\x06")));
        p.Write(Hex("03 00 01 02 03 B3 77"));
    }
    EXPECT_EQ(sim.WaitForExit(), 1);
    EXPECT_NE(Read("transcript.txt").find("!! <- loader upload: 3 bytes, CRC mismatch"), std::string::npos)
        << Read("transcript.txt");
}

TEST_F(SimProgram, WritesItsFilesWhenStoppedBySignal)
{
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        SimProcess sim({"--link", link_.string(), "--flash-out", (dir_ / "flash.bin").string(), "--params-out",
                        (dir_ / "params.txt").string()},
                       transcript_);
        ASSERT_TRUE(WaitForLink());
        sim.Signal(signal);
        EXPECT_EQ(sim.WaitForExit(), 0);
        EXPECT_EQ(Read("flash.bin"), std::string(0x4000, '\xFF')); // the default 0x4000 to 0x8000
        EXPECT_TRUE(fs::exists(dir_ / "params.txt"));
        EXPECT_EQ(Read("params.txt"), "");
        EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
        fs::remove(dir_ / "flash.bin");
        fs::remove(dir_ / "params.txt");
    }
}

// SIGUSR1 pulls the adapter out whatever the controller is doing: here while it
// waits in its boot ROM, which a hang-up fault cannot reach.
TEST_F(SimProgram, PullsTheAdapterOutOnSigusr1AndPlugsItInAgain)
{
    SimProcess sim({"--link", link_.string(), "--quiet-ms", "300"}, transcript_);
    ASSERT_TRUE(WaitForLink());
    {
        ProgrammerEnd p(link_, 9600);
        EXPECT_EQ(p.Read(2), Hex("06 15"));
        sim.Signal(SIGUSR1);
        EXPECT_TRUE(p.WaitForHangUp());
    }
    ASSERT_TRUE(WaitUntil([&] { return Read("transcript.txt").find("plugged in again") != std::string::npos; }))
        << Read("transcript.txt");
    ASSERT_TRUE(WaitForLink());
    ProgrammerEnd again(link_, 9600);
    EXPECT_EQ(again.Read(2), Hex("06 15"));
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.WaitForExit(), 0) << Read("transcript.txt");
    EXPECT_NE(Read("transcript.txt").find("the adapter is unplugged"), std::string::npos);
}

TEST_F(SimProgram, WaitsTheFullQuietPeriodBeforeEndingASession)
{
    // The real five seconds, once: the programmer's own pauses (1 s before it
    // reopens the port, 2 s after the restart reply) must never end a session.
    SimProcess sim({"--link", link_.string(), "--once"}, transcript_);
    ASSERT_TRUE(WaitForLink());
    ProgrammerEnd p(link_);
    ASSERT_TRUE(ReadUntil(p, Hex("06 15")));
    p.Write(Text("APL"));
    ASSERT_TRUE(ReadUntil(p, Text("QR740\x06")));
    // The simulator's last activity comes after this moment.
    const auto quietFrom = std::chrono::steady_clock::now();
    p.Write(LoaderUpload(Text("loader")));
    ASSERT_TRUE(p.ReadFrame());
    EXPECT_EQ(sim.WaitForExit(15s), 0);
    const std::chrono::duration<double> quiet = std::chrono::steady_clock::now() - quietFrom;
    std::cout << "session ended after " << quiet.count() << " s of quiet\n";
    EXPECT_GE(quiet.count(), 5.0);
}

} // namespace
