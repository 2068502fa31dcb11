// The gang view against four simulated controllers, one per COM number: two
// sound, one that refuses a block, one whose line goes in the middle of its
// upload. None of them holds up the others, and nothing opens a box.

#include "gangview.h"
#include "inifile.h"
#include "viewswitch.h"
#include "journal.h"
#include "portsession.h"
#include "recording_sink.h"

#include "../sim/sim_runner.h"

#include <pty_pair.h>
#include <scratch_dir.h>
#include <wait.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <fstream>

using namespace std::chrono_literals;

namespace {

constexpr int kBlocks = 24;

// The machine's own serial ports are no part of the bench under test.
std::vector<TSerialPort> NoOtherDevices()
{
    return {};
}

TEST(GangView, ProgramsSoundPortsWhileOthersFail)
{
    ScratchDir dir;
    std::vector<std::uint8_t> image;
    for (int i = 0; i < kBlocks; ++i) {
        for (int k = 0; k < 256; ++k)
            image.push_back(std::uint8_t(i * 7 + k));
    }
    std::ofstream(dir / "FW00303.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    dir.WriteFile("qr740.ldr", "a small target loader");
    dir.WriteFile("bench.par", "000=25\n102 7\n");
    std::string ports;
    for (int com = 1; com <= 4; ++com)
        ports += "COM" + std::to_string(com) + "=" + (dir / ("tty" + std::to_string(com))).string() + "\n";
    // COM5 is mapped to an adapter that is not plugged in: no tile.
    ports += "COM5=" + (dir / "absent").string() + "\n";
    dir.WriteFile("Loader.ini", "[Ports]\n" + ports +
                                    "[Load Parameters]\nParameter File=bench\n"
                                    "[Binary]\nQR 740=FW00303\n"
                                    "[Loader]\nQR740=qr740.ldr\n");

    // COM1 and COM4 sound, COM2 refusing its third block, COM3 at the line's
    // own pace so that it can be pulled out between blocks.
    std::array<TSimRunner, 4> sims;
    for (int i = 0; i < 4; ++i) {
        sim::Options options;
        options.link = dir / ("tty" + std::to_string(i + 1));
        options.flashEnd = 0x4000 + kBlocks * 256;
        options.quietPeriod = 300ms;
        if (i == 1) {
            ASSERT_TRUE(sim::AddFault(options.faults, "nak-block:3"));
        }
        if (i == 2)
            options.pace = true;
        ASSERT_TRUE(sims[i].Start(options));
    }

    TRecordingSink sink;
    TGangEnvironment environment;
    environment.folder = QString::fromStdString(dir.Path().string());
    environment.timing.ResetPause = 3ms;
    environment.timing.RestartPause = 2ms;
    environment.timing.ParameterPortPause = 1ms;
    environment.devices = NoOtherDevices;
    auto view = std::make_unique<TfmGang>(std::move(environment));
    view->show();

    const auto& tiles = view->Tiles();
    ASSERT_EQ(tiles.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(tiles[i]->Port.Name, QStringLiteral("COM%1").arg(i + 1));

    ASSERT_TRUE(WaitUntil([&] { return sims[2].Count("(block ") >= 1; }, 20s)) << sims[2].Transcript();
    sims[2].Stop();

    ASSERT_TRUE(WaitUntil([&] {
        return tiles[0]->Programmed >= 1 && tiles[3]->Programmed >= 1 && tiles[1]->Failed >= 1 &&
               tiles[2]->Failed >= 1;
    }, 30s)) << view->mLog->toPlainText().toStdString();
    // The sound ports have gone round again meanwhile, while the others failed.
    RunEventsFor(200ms);

    EXPECT_EQ(tiles[0]->lOutcome->text(), QStringLiteral("Programmed with parameters"));
    EXPECT_EQ(tiles[3]->lOutcome->text(), QStringLiteral("Programmed with parameters"));
    EXPECT_EQ(tiles[1]->lOutcome->text(), QStringLiteral("Failed: NAK rcvd while Updating Flash"));
    EXPECT_TRUE(tiles[2]->lOutcome->text().startsWith(QStringLiteral("Failed: "))) << tiles[2]->lOutcome->text().toStdString();
    EXPECT_EQ(tiles[1]->Programmed, 0);
    EXPECT_EQ(tiles[2]->Programmed, 0);
    EXPECT_EQ(tiles[2]->Failed, 1) << "a line that is gone brings no controller more";
    EXPECT_EQ(tiles[0]->Failed, 0);
    EXPECT_EQ(tiles[3]->Failed, 0);
    EXPECT_EQ(tiles[1]->lCounts->text(), QStringLiteral("Programmed 0, failed %1").arg(tiles[1]->Failed));
    // The full text is on hover, and the failure is in the log with its port.
    EXPECT_EQ(tiles[1]->lOutcome->toolTip(), tiles[1]->lOutcome->text());
    EXPECT_TRUE(view->mLog->toPlainText().contains(QStringLiteral("COM2: Failed: NAK rcvd while Updating Flash")))
        << view->mLog->toPlainText().toStdString();
    EXPECT_TRUE(sink.boxes.empty()) << ::testing::PrintToString(sink.Texts());

    // Today's counts come from the journal, after the records it has taken.
    ASSERT_TRUE(WaitUntil([&] { return view->lToday->text().startsWith(QStringLiteral("Today: ")) &&
                                       !view->lToday->text().contains(QStringLiteral("counting")); }));

    view->close();
    // Closing waits for the journal: every count is of a record written.
    const int tilesProgrammed = tiles[0]->Programmed + tiles[3]->Programmed;
    view.reset();
    for (TSimRunner& s : sims)
        s.Stop();
    EXPECT_EQ(sims[0].Sim().Flash(), image);
    EXPECT_EQ(sims[3].Sim().Flash(), image);
    EXPECT_NE(sims[1].Sim().Flash(), image);

    // Every controller's record is the window's, and names its port.
    const auto records = TJournal(dir / "journal.sqlite").Records();
    int programmed = 0;
    for (const TJournalRecord& r : records) {
        EXPECT_EQ(r.FrontEnd, "window");
        EXPECT_GE(r.ComNumber, 1);
        EXPECT_LE(r.ComNumber, 4);
        if (r.ComNumber == 1 || r.ComNumber == 4)
            programmed += r.Outcome == "programmed with parameters";
        else
            EXPECT_NE(r.Outcome, "programmed with parameters") << r.ComNumber;
    }
    EXPECT_EQ(programmed, tilesProgrammed);
}

// Each view hands the port over to the other, and the one open last opens
// at the next start.
TEST(GangView, SwitchesViewsAndRemembersTheLastOne)
{
    ScratchDir dir;
    PtyPair line(dir / "ttyUSB0");
    dir.WriteFile("FW00303.bin", std::string(512, '\x5a'));
    const std::string ini = "[Ports]\nCOM1=" + line.Link().string() + "\n[Binary]\nQR 740=FW00303\n"
                            "[Loader]\nQR740=qr740.ldr\n";
    dir.WriteFile("Loader.ini", ini);
    dir.WriteFile("qr740.ldr", "a small target loader");
    TRecordingSink sink;
    const QString folder = QString::fromStdString(dir.Path().string());
    const auto kept = [&] { return TIniFile((dir / "Loader.ini").string()).ReadString("Auto Mode", "View", ""); };
    const auto single = [&] {
        return TLoaderEnvironment{.folder = folder, .pause = [](std::chrono::milliseconds) {}};
    };

    {
        TViewSwitch views(single(), TGangEnvironment{.folder = folder, .devices = NoOtherDevices}, false);
        views.Open();
        auto* window = dynamic_cast<TfmLoader*>(views.View());
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(dir.ReadFile("Loader.ini"), ini) << "the view it would open anyway is not written";
        window->bGang->click();
        ASSERT_TRUE(WaitUntil([&] { return views.Gang() && views.View(); }));
        auto* gang = dynamic_cast<TfmGang*>(views.View());
        ASSERT_NE(gang, nullptr);
        EXPECT_EQ(kept(), "gang");
        ASSERT_EQ(gang->Tiles().size(), 1u);
        // The window let the line go before the tile opened it.
        EXPECT_EQ(gang->Tiles()[0]->lOutcome->text().toStdString(), "Waiting");
        EXPECT_TRUE(gang->Tiles()[0]->Session != nullptr);

        gang->bSingle->click();
        ASSERT_TRUE(WaitUntil([&] { return !views.Gang() && views.View(); }));
        EXPECT_NE(dynamic_cast<TfmLoader*>(views.View()), nullptr);
        EXPECT_EQ(kept(), "single");
        gang = nullptr;
        dynamic_cast<TfmLoader*>(views.View())->bGang->click();
        ASSERT_TRUE(WaitUntil([&] { return views.Gang(); }));
        views.View()->close();
    }
    // The gang view was open last; --gang asks for it whatever was.
    for (const bool asked : {false, true}) {
        TViewSwitch views(single(), TGangEnvironment{.folder = folder, .devices = NoOtherDevices}, asked);
        views.Open();
        EXPECT_NE(dynamic_cast<TfmGang*>(views.View()), nullptr) << asked;
        views.View()->close();
    }
    EXPECT_TRUE(sink.boxes.empty()) << ::testing::PrintToString(sink.Texts());
}

// A bench folder with one image, loader and parameter file; the ports are
// the caller's.
void WriteBench(ScratchDir& dir, const std::string& ports, const std::string& more = {})
{
    std::vector<char> image(kBlocks * 256);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = char(i * 13);
    std::ofstream(dir / "FW00303.bin", std::ios::binary).write(image.data(), std::streamsize(image.size()));
    dir.WriteFile("qr740.ldr", "a small target loader");
    dir.WriteFile("Loader.ini", "[Ports]\n" + ports + "[Binary]\nQR 740=FW00303\n[Loader]\nQR740=qr740.ldr\n" + more);
}

TGangEnvironment QuickBench(const ScratchDir& dir)
{
    TGangEnvironment environment;
    environment.folder = QString::fromStdString(dir.Path().string());
    environment.timing.ResetPause = 3ms;
    environment.devices = NoOtherDevices;
    return environment;
}

// Who is on the line shows while it is programmed, not only at its end: its
// identification, its version and the serial number the journal gave it. A
// stopped port's session goes at once, and the record of the controller it
// cut off still reaches the tile once the journal has it.
TEST(GangView, ShowsTheControllerAtOnceAndLetsAStoppedSessionGo)
{
    ScratchDir dir;
    WriteBench(dir, "COM1=" + (dir / "tty1").string() + "\n",
               "[Serial Numbers]\nFormat=SN%04d\nFirst=42\nLast=99\n");
    TSimRunner sim;
    sim::Options options;
    options.link = dir / "tty1";
    options.flashEnd = 0x4000 + kBlocks * 256;
    options.fwVersion = 251;
    options.pace = true; // slow enough to be caught between blocks
    ASSERT_TRUE(sim.Start(options));

    TRecordingSink sink;
    auto view = std::make_unique<TfmGang>(QuickBench(dir));
    TGangTile& tile = *view->Tiles().at(0);
    ASSERT_TRUE(WaitUntil([&] { return sim.Count("(block ") >= 1; }, 20s)) << sim.Transcript();
    RunEventsFor(50ms);
    EXPECT_EQ(tile.Programmed + tile.Failed, 0);
    EXPECT_EQ(tile.lIdentity->text(), QStringLiteral("QR740, was 2.51, unit SN0042"));

    view->StopPort(tile);
    EXPECT_EQ(tile.Session, nullptr) << "a stopped session is let go at once";
    EXPECT_EQ(tile.lStage->text(), QStringLiteral("Stopped"));
    ASSERT_TRUE(WaitUntil([&] { return tile.Failed == 1; }, 10s)) << view->mLog->toPlainText().toStdString();
    EXPECT_EQ(tile.Outcome, TTileOutcome::Interrupted);
    EXPECT_EQ(tile.lOutcome->text(), QStringLiteral("Interrupted: Stopped by the technician"));
    EXPECT_EQ(tile.lIdentity->text(), QStringLiteral("QR740, was 2.51, unit SN0042"));

    // Reset and Start after a Stop each open the line anew.
    view->ResetPort(tile);
    ASSERT_NE(tile.Session, nullptr);
    view->ResetPort(tile);
    ASSERT_NE(tile.Session, nullptr);
    EXPECT_TRUE(tile.Session->Line().IsOpen());
    view.reset();
    EXPECT_TRUE(sink.boxes.empty()) << ::testing::PrintToString(sink.Texts());
}

// [Ports] numbers ten ports. Devices no number opens get tiles by their path,
// unticked and closed unless the technician ticked them before; the ticks are
// kept in [Gang] Devices= when the view closes, with those of devices that are
// not plugged in now.
TEST(GangView, OffersDevicesNoComNumberOpens)
{
    ScratchDir dir;
    PtyPair com1(dir / "ttyUSB0");
    PtyPair spare(dir / "ttyUSB10");
    PtyPair kept(dir / "ttyUSB11");
    const std::string gone = "/dev/serial/by-id/usb-FTDI_unplugged-if00-port0";
    WriteBench(dir, "COM1=" + com1.Link().string() + "\n",
               "[Gang]\nDevices=" + gone + ", " + kept.Link().string() + "\n");
    TGangEnvironment environment = QuickBench(dir);
    environment.devices = [&] {
        return std::vector<TSerialPort>{{.node = com1.Link().string()},
                                        {.node = spare.Link().string()},
                                        {.node = kept.Link().string()}};
    };
    TRecordingSink sink;
    auto view = std::make_unique<TfmGang>(std::move(environment));
    const auto& tiles = view->Tiles();
    ASSERT_EQ(tiles.size(), 3u);
    const struct {
        QString name;
        bool ticked;
    } expected[] = {
        {QStringLiteral("COM1"), true},
        {QString::fromStdString(spare.Link().string()), false},
        {QString::fromStdString(kept.Link().string()), true},
    };
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        SCOPED_TRACE(expected[i].name.toStdString());
        EXPECT_EQ(tiles[i]->Port.Name, expected[i].name);
        EXPECT_EQ(tiles[i]->cbUse->isChecked(), expected[i].ticked);
        EXPECT_EQ(tiles[i]->Session != nullptr, expected[i].ticked) << "a device nobody ticked is never opened";
    }
    EXPECT_EQ(tiles[1]->Port.ComNumber, 0);

    // Start all leaves the unticked device alone; ticking it opens it.
    view->StartAll();
    EXPECT_EQ(tiles[1]->Session, nullptr);
    tiles[1]->cbUse->setChecked(true);
    ASSERT_NE(tiles[1]->Session, nullptr);
    EXPECT_TRUE(tiles[1]->Session->Line().IsOpen());
    tiles[2]->cbUse->setChecked(false);
    EXPECT_EQ(tiles[2]->Session, nullptr);

    view->close();
    view.reset();
    EXPECT_EQ(TIniFile((dir / "Loader.ini").string()).ReadString("Gang", "Devices", ""),
              gone + "," + spare.Link().string());
    EXPECT_TRUE(sink.boxes.empty()) << ::testing::PrintToString(sink.Texts());
}

// A bench screen of 1280x800 shows every tile whole, from one port to
// sixteen (ten COM numbers and six adapters no number opens), in at most four
// columns, none narrower than its texts need.
TEST(GangView, TilesReflowAndStayWholeOnABenchScreen)
{
    const struct {
        int ports;
        int columns;
    } cases[] = {{1, 1}, {3, 3}, {10, 4}, {16, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ports);
        ScratchDir dir;
        std::vector<std::unique_ptr<PtyPair>> lines;
        std::string mapped;
        std::vector<TSerialPort> present;
        for (int i = 0; i < c.ports; ++i) {
            lines.push_back(std::make_unique<PtyPair>(dir / ("ttyUSB" + std::to_string(i))));
            present.push_back({.node = lines.back()->Link().string()});
            if (i < 10)
                mapped += "COM" + std::to_string(i + 1) + "=" + lines.back()->Link().string() + "\n";
        }
        WriteBench(dir, mapped);
        TGangEnvironment environment = QuickBench(dir);
        environment.devices = [&] { return present; };
        TfmGang view(std::move(environment));
        view.resize(1280, 800);
        view.show();
        RunEventsFor(50ms);
        ASSERT_EQ(int(view.Tiles().size()), c.ports);
        std::set<int> columns;
        for (const TGangTile* tile : view.Tiles()) {
            SCOPED_TRACE(tile->Port.Name.toStdString());
            columns.insert(tile->mapTo(&view, QPoint(0, 0)).x());
            const QRect seen = tile->visibleRegion().boundingRect();
            EXPECT_TRUE(seen == tile->rect()) << "the tile is cut off or scrolled away: " << seen.width() << "x"
                                              << seen.height() << " of " << tile->width() << "x" << tile->height();
            EXPECT_GE(tile->width(), 280);
        }
        EXPECT_EQ(int(columns.size()), c.columns);
        view.close();
    }
}

} // namespace
