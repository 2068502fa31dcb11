// qr740-flash as the program a script starts: its exit statuses, its streams,
// and what it leaves of the port, against the simulated controller.

#include "../sim/sim_runner.h"

#include <child_process.h>
#include <pty_pair.h>
#include <scratch_dir.h>
#include <vacomm.h>
#include <wait.h>

#include <gtest/gtest.h>

#include <fstream>

using namespace std::chrono_literals;

namespace {

class FlashProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string image(8 * 256, '\0');
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = char(i * 3 + 1);
        dir.WriteFile("FW00303.bin", image);
        dir.WriteFile("qr740.ldr", "a small target loader");
        dir.WriteFile("Loader.ini", "[Ports]\nCOM1=" + link.string() +
                                        "\n[Loader]\nQR740=qr740.ldr\n[Binary]\nQR 740=FW00303\n");
    }

    sim::Options SimOptions(bool pace = false) const
    {
        sim::Options options;
        options.link = link;
        options.flashEnd = 0x4000 + 8 * 256;
        options.pace = pace;
        return options;
    }

    int Run(std::vector<std::string> args, std::chrono::milliseconds deadline = 30s)
    {
        args.insert(args.begin(), {"--folder", dir.Path().string()});
        ChildProcess flash(QR740_FLASH_PATH, args, dir / "out.txt", dir / "err.txt");
        return flash.Started() ? flash.WaitForExit(deadline) : -1;
    }
    std::string Out() const { return dir.ReadFile("out.txt"); }
    std::string Err() const { return dir.ReadFile("err.txt"); }

    ScratchDir dir;
    std::filesystem::path link = dir / "ttyQR740";
};

TEST_F(FlashProgram, ProgramsAControllerAndExitsWithZero)
{
    TSimRunner sim;
    ASSERT_TRUE(sim.Start(SimOptions()));
    EXPECT_EQ(Run({}), 0) << Out() << Err();
    sim.Stop();
    EXPECT_NE(Out().find("COM1: controller 1: QR740 programmed;"), std::string::npos) << Out();
    EXPECT_EQ(Err(), "");
    EXPECT_EQ(sim.Count("(block "), 8u);
}

// Mistakes in what the run is given end it before any line is opened, with the
// status that tells a usage error (2) from a set-up error (3).
TEST_F(FlashProgram, RefusesWhatItCannotRunWithBeforeOpeningThePort)
{
    TSimRunner sim;
    ASSERT_TRUE(sim.Start(SimOptions()));
    const struct {
        const char* what;
        std::vector<std::string> args;
        bool iniIsAFolder;
        int status;
        const char* error;
    } cases[] = {
        {"an unknown option", {"--colour"}, false, 2, "unknown option '--colour'"},
        {"a missing image", {"--image", "absent.bin"}, false, 3, "absent.bin Not Found"},
        {"one port twice", {"--ports", "COM1,com1"}, false, 2, "port COM1 named twice"},
        {"an unreadable Loader.ini", {}, true, 3, "Unable to read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string ini = dir.ReadFile("Loader.ini");
        if (c.iniIsAFolder) {
            std::filesystem::remove(dir / "Loader.ini");
            std::filesystem::create_directory(dir / "Loader.ini");
        }
        EXPECT_EQ(Run(c.args), c.status);
        EXPECT_NE(Err().find(c.error), std::string::npos) << Err();
        EXPECT_EQ(Out(), "");
        if (c.iniIsAFolder) {
            std::filesystem::remove(dir / "Loader.ini");
            dir.WriteFile("Loader.ini", ini);
        }
    }
    sim.Stop();
    EXPECT_FALSE(sim.Said("the programmer opened the port")) << sim.Transcript();
}

TEST_F(FlashProgram, GivesUpWaitingForAControllerWithStatusFour)
{
    PtyPair quiet(link); // a line where no controller ever announces itself
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run({"--wait", "2", "--json"}), 4) << Out() << Err();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_NE(Err().find("qr740-flash: COM1: no controller announced itself within 2 s"), std::string::npos) << Err();
    EXPECT_NE(Out().find("\"exit_status\":4"), std::string::npos) << Out();
}

// SIGTERM in the middle of programming: the controller's session is recorded as
// interrupted, the port is let go, and the status says which signal ended it.
TEST_F(FlashProgram, EndsOnSigtermWithTheControllerInterruptedAndThePortLetGo)
{
    TSimRunner sim;
    ASSERT_TRUE(sim.Start(SimOptions(true)));
    ChildProcess flash(QR740_FLASH_PATH, {"--folder", dir.Path().string(), "--json"}, dir / "out.txt",
                       dir / "err.txt");
    ASSERT_TRUE(WaitUntil([&] { return sim.Count("(block ") >= 2; }, 20s)) << sim.Transcript();
    flash.Signal(SIGTERM);
    EXPECT_EQ(flash.WaitForExit(), 143);
    EXPECT_TRUE(WaitUntil([&] { return sim.Said("the programmer closed the port"); })) << sim.Transcript();
    EXPECT_NE(Out().find("\"outcome\":\"interrupted\""), std::string::npos) << Out();
    EXPECT_NE(Out().find("\"message\":\"Interrupted by SIGTERM\""), std::string::npos) << Out();
    EXPECT_NE(Out().find("\"exit_status\":143"), std::string::npos) << Out();
    // Nobody holds the line any more.
    TVaComm other;
    other.SetDeviceName(link.string());
    EXPECT_NO_THROW(other.Open());
    sim.Stop();
}

// What a technician runs to find an adapter: the devices present on this
// machine, and the COM numbers of Loader.ini that map to nothing present.
TEST_F(FlashProgram, ListsTheSerialDevicesPresentAndTheMappingsToNothing)
{
    dir.WriteFile("Loader.ini", "[Ports]\nCOM7=/dev/serial/by-id/usb-gone-if00-port0\n");
    EXPECT_EQ(Run({"--list-ports"}), 0) << Err();
    EXPECT_EQ(Err(), "");
    EXPECT_NE(Out().find("COM7=/dev/serial/by-id/usb-gone-if00-port0"), std::string::npos) << Out();
    if (std::filesystem::exists("/dev/ttyS0")) {
        EXPECT_NE(Out().find("/dev/ttyS0"), std::string::npos) << Out();
    }
    EXPECT_EQ(Out().find("/dev/pts/"), std::string::npos) << "no pseudo-terminal is a serial device";
}

} // namespace
