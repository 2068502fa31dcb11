// Every fault the simulated controller can play, against the real conversation
// on a pseudo-terminal: what the operator is told, where the conversation ends
// up, and that the next controller is then programmed as if nothing had
// happened. A hang anywhere is caught by the waits' deadlines.

#include "loadersession.h"
#include "programmerport.h"
#include "recording_view.h"
#include "../sim/sim_runner.h"

#include <scratch_dir.h>
#include <vacomm.h>
#include <wait.h>

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <optional>
#include <ostream>

using namespace std::chrono_literals;

namespace {

constexpr auto kShortTimeout = 500ms;

struct FaultCase {
    const char* name;
    std::vector<std::string> faults; // as given to qr740-sim --fault
    std::string id = "QR740";        // what the boot ROM says it is
    bool parameters = false;         // a parameter file is named
    // The transcript line that shows the fault has been played, for faults the
    // programmer does not report.
    std::string played;
    std::vector<std::string> errors; // the "Error" boxes, in order
    LoaderStage stage = WaitingForTarget;
    std::string state;               // what the status line shows afterwards
    bool reset = false;              // the conversation was reset
    std::string reported;            // part of an error reported at the top level
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

// Every wait for the controller ends: a controller that falls silent, or whose
// replies never arrive intact, ends in the time-out's box and the reset, in
// every stage from the handshake's answer to the last parameter line.
const FaultCase kCases[] = {
    {"NakErase", {"nak-erase"}, "QR740", false, "", {"NAK rcvd while erasing Flash Blocks"},
     WaitingForTarget, "Waiting for Target", true, ""},
    {"NakBlock", {"nak-block:3"}, "QR740", false, "", {"NAK rcvd while Updating Flash"},
     WaitingForTarget, "Waiting for Target", true, ""},
    {"SilentAfterHandshake", {"silent-after:hs"}, "QR740", false, "",
     {"Target Did Not Respond To Loader"}, WaitingForTarget, "Waiting for Target", true, ""},
    {"SilentAfterIdentification", {"silent-after:id"}, "QR740", false, "",
     {"Target Did Not Respond To Loader"}, WaitingForTarget, "Waiting for Target", true, ""},
    {"SilentAfterLoader", {"silent-after:loader"}, "QR740", false, "",
     {"Target Did Not Respond To Loader"}, WaitingForTarget, "Waiting for Target", true, ""},
    {"SilentAfterVersion", {"silent-after:V"}, "QR740", false, "",
     {"Target Did Not Respond To Loader"}, WaitingForTarget, "Waiting for Target", true, ""},
    {"SilentAfterErase", {"silent-after:E"}, "QR740", false, "",
     {"Target Did Not Respond To Loader"}, WaitingForTarget, "Waiting for Target", true, ""},
    {"SilentAfterBlock", {"silent-after:P:2"}, "QR740", false, "",
     {"Target Did Not Respond To Loader"}, WaitingForTarget, "Waiting for Target", true, ""},
    {"SilentAfterRestart", {"silent-after:S"}, "QR740", true, "",
     {"Target Did Not Respond While Loading Parameters"}, WaitingForTarget, "Waiting for Target",
     true, ""},
    {"BadCrcLoader", {"bad-crc:L"}, "QR740", false, "", {"Target Did Not Respond To Loader"},
     WaitingForTarget, "Waiting for Target", true, ""},
    {"BadCrcVersion", {"bad-crc:V"}, "QR740", false, "", {"Target Did Not Respond To Loader"},
     WaitingForTarget, "Waiting for Target", true, ""},
    {"BadCrcErase", {"bad-crc:E"}, "QR740", false, "", {"Target Did Not Respond To Loader"},
     WaitingForTarget, "Waiting for Target", true, ""},
    {"BadCrcBlock", {"bad-crc:P"}, "QR740", false, "", {"Target Did Not Respond To Loader"},
     WaitingForTarget, "Waiting for Target", true, ""},
    {"BadCrcRestart", {"bad-crc:S"}, "QR740", true, "", {"Target Did Not Respond To Loader"},
     WaitingForTarget, "Waiting for Target", true, ""},
    {"AtSilent", {"at-silent"}, "QR740", true, "",
     {"Target Did Not Respond While Loading Parameters"}, WaitingForTarget, "Waiting for Target",
     true, ""},
    // Every line answered "ERROR": the whole file goes out, then the refusal is told.
    {"AtError", {"at-error"}, "QR740", true, "", {"Target Refused \"ATCODE=1\" And 2 Of 2 Parameter Lines"},
     SettingParameters, "Parameter Load Complete", false, ""},
    {"WrongIdentification", {}, "QR999", false, "", {"No Loader Defined"}, WaitingForTarget,
     "Waiting for Target", false, ""},
    // The line goes as an unplugged adapter's would: the failure is reported
    // once, in the port's own words, the session ends there rather than at the
    // time-out, and the port is looked for until the line is back.
    {"HangUpAfterBlock", {"hangup-after-block:2"}, "QR740", false, "", {}, WaitingForTarget,
     "Waiting for Target", false, "Input/output error"},
};

class FaultMatrix : public ::testing::TestWithParam<FaultCase> {
protected:
    void SetUp() override
    {
        SetVaExceptionReport([this](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                const std::lock_guard lock(mutex);
                reported.push_back(e.what());
            }
        });
        view.folder = QString::fromStdString(dir.Path().string() + "/");
        view.loaders["QR740"] = QStringLiteral("qr740.ldr");
        view.autoProgram = true;
        view.imageName = QStringLiteral("image");
        dir.WriteFile("qr740.ldr", "a small target loader");
        dir.WriteFile("bench.par", "000=1\n100=2\n");
        std::string image;
        for (int i = 0; i < 8 * 256; ++i)
            image.push_back(char(i % 7 == 0 ? 0x55 : 0x3C));
        dir.WriteFile("image.bin", image);
    }
    void TearDown() override { SetVaExceptionReport(nullptr); }

    sim::Options Options(const FaultCase& c) const
    {
        sim::Options options;
        options.link = dir / "ttyQR740";
        options.id = c.id;
        options.flashEnd = 0x4000 + 8 * 256;
        // A hung-up line comes back as a new device once the line has been quiet
        // this long, after the programmer's time-out and failed reopen;
        // otherwise the controller keeps still long enough for the outcome to
        // be looked at before it starts another session.
        options.quietPeriod = c.reported.empty() ? 5000ms : 6 * kShortTimeout;
        for (const std::string& fault : c.faults)
            EXPECT_TRUE(sim::AddFault(options.faults, fault)) << fault;
        return options;
    }

    // The port's failures, as the session reports them, and anything that
    // reached the application's report instead (nothing should).
    std::vector<std::string> Reported()
    {
        const std::lock_guard lock(mutex);
        std::vector<std::string> all = view.portErrors;
        all.insert(all.end(), reported.begin(), reported.end());
        return all;
    }

    ScratchDir dir;
    TVaComm port;
    TRecordingView view;
    TLoaderSession session{port, view, view};
    std::mutex mutex; // the report may come from the port's event hand-off
    std::vector<std::string> reported;
};

TEST_P(FaultMatrix, EndsWhereExpectedAndTheNextControllerIsProgrammed)
{
    const FaultCase& c = GetParam();
    view.parameterName = c.parameters ? QStringLiteral("bench") : QString();
    {
        TSimRunner faulty;
        ASSERT_TRUE(faulty.Start(Options(c)));
        SetUpProgrammerPort(port);
        port.SetDeviceName((dir / "ttyQR740").string());
        port.Open();
        session.SetTiming(InstantPauses());
        session.Conversation().SetReplyTimeout(kShortTimeout);
        session.SetStage(WaitingForTarget);

        if (!c.errors.empty()) {
            ASSERT_TRUE(WaitUntil([&] { return view.errors.size() >= c.errors.size(); }, 20s))
                << faulty.Transcript();
        } else {
            const std::string marker = c.played.empty() ? c.state : c.played;
            ASSERT_TRUE(WaitUntil([&] {
                return c.played.empty() ? view.state.toStdString() == c.state
                                        : faulty.Said(c.played);
            }, 20s)) << "waiting for " << marker << "\n" << faulty.Transcript();
        }
        if (c.reported.empty()) {
            // Long enough for a time-out that should not come.
            RunEventsFor(3 * kShortTimeout);
        } else {
            const auto wasReported = [&] {
                const auto texts = Reported();
                return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) {
                    return t.find(c.reported) != std::string::npos;
                });
            };
            std::vector<std::string> reportsWhenLooking;
            ASSERT_TRUE(WaitUntil([&] {
                if (!wasReported() || !session.LookingForPort())
                    return false;
                reportsWhenLooking = Reported();
                return true;
            }, 20s)) << faulty.Transcript();
            // Judged now: once the line is back the simulator announces the
            // next controller at once, and that session rightly times its
            // requests and opens the image again.
            EXPECT_FALSE(session.Conversation().TimeOutArmed());
            EXPECT_FALSE(session.ImageOpen()) << "the image is released at the reset";
            // Taken as the port is opened again: the next controller, playing
            // the same fault, may lose the line again soon after.
            std::optional<std::vector<std::string>> reportsWhenFound;
            port.OnOpen = [&](TVaCustomComm*) {
                if (!reportsWhenFound)
                    reportsWhenFound = Reported();
            };
            ASSERT_TRUE(WaitUntil([&] { return reportsWhenFound.has_value(); }, 20s))
                << "the port should be found again once the line is back\n" << faulty.Transcript();
            port.OnOpen = nullptr;
            // The lost line once, and nothing while the port was looked for.
            const auto reopenReports = std::count_if(reportsWhenFound->begin(), reportsWhenFound->end(),
                                                     [&](const std::string& t) { return t.find(c.reported) != std::string::npos; });
            EXPECT_EQ(reopenReports, 1) << ::testing::PrintToString(*reportsWhenFound);
            EXPECT_EQ(*reportsWhenFound, reportsWhenLooking) << "reported while the port was looked for\n"
                                                             << faulty.Transcript();
            // Before the same fault is played to the next session.
            faulty.Stop();
        }

        EXPECT_EQ(view.errors, c.errors) << faulty.Transcript();
        if (c.reported.empty()) {
            EXPECT_EQ(session.Stage(), c.stage);
            EXPECT_EQ(view.state.toStdString(), c.state);
        }
        EXPECT_EQ(view.resets > 0, c.reset);
        if (c.reported.empty()) {
            EXPECT_FALSE(session.Conversation().TimeOutArmed());
            if (c.reset) {
                EXPECT_FALSE(session.ImageOpen()) << "the image is released at the reset";
            }
        }
    }

    // The faulty controller is replaced by a sound one, and the operator resets.
    view.errors.clear();
    view.parameterName.clear();
    TSimRunner sound;
    FaultCase clean;
    ASSERT_TRUE(sound.Start(Options(clean)));
    session.bResetLoaderClick();
    ASSERT_TRUE(WaitUntil([&] {
        return view.state.toStdString() == "Flash Update Complete" || !view.errors.empty();
    }, 20s)) << sound.Transcript();
    EXPECT_EQ(view.state.toStdString(), "Flash Update Complete");
    EXPECT_TRUE(view.errors.empty());
    port.Close();
    sound.Stop();
    EXPECT_FALSE(sound.SaidAnythingUnexpected()) << sound.Transcript();
}

INSTANTIATE_TEST_SUITE_P(Sim, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
