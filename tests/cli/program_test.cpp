// qr740-flash as the program a script starts: its exit statuses, its streams,
// and what it leaves of the port, against the simulated controller.

#include "../sim/sim_runner.h"

#include <child_process.h>
#include <pty_pair.h>
#include <scratch_dir.h>
#include <vacomm.h>
#include <wait.h>

#include <journal.h>

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sqlite3.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <sstream>
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
        // A port named by its path is told by its path, and what is wrong with it.
        {"a device that is not there", {"--port", (dir / "ttyQRnone").string()}, false, 3, "ttyQRnone: no such device"},
        {"a device that is no serial line", {"--port", "/dev/null"}, false, 3, "/dev/null: not a serial line"},
        {"a file that is no serial line", {"--port", (dir / "qr740.ldr").string()}, false, 3,
         "qr740.ldr: not a serial line"},
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

// The line settings of a device as a program that opens it finds them.
struct TLineSettings {
    termios settings{};
    bool operator==(const TLineSettings& other) const
    {
        return settings.c_iflag == other.settings.c_iflag && settings.c_oflag == other.settings.c_oflag &&
               settings.c_cflag == other.settings.c_cflag && settings.c_lflag == other.settings.c_lflag &&
               std::equal(std::begin(settings.c_cc), std::end(settings.c_cc), std::begin(other.settings.c_cc)) &&
               cfgetospeed(&settings) == cfgetospeed(&other.settings);
    }
};

TLineSettings ReadLineSettings(const std::filesystem::path& device)
{
    TLineSettings line;
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0) << device;
    ::tcgetattr(fd, &line.settings);
    ::close(fd);
    return line;
}

// What the journal's table holds, as SQLite reads it, without the journal's
// own reading.
std::string StoredOutcomes(const std::filesystem::path& file)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    std::string outcomes;
    if (sqlite3_prepare_v2(db, "SELECT outcome, owner IS NULL FROM sessions ORDER BY seq", -1, &statement,
                           nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW)
            outcomes += std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))) +
                        (sqlite3_column_int(statement, 1) ? "" : " (owned)") + ";";
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return outcomes;
}

// The reader of the output goes away in the middle of a gang's work
// (`qr740-flash --json | head`): the run ends as on SIGTERM, for the text and
// the JSON output alike. Both controllers under way are recorded as
// interrupted, both ports are let go with their line settings as they were
// found, and the status is SIGPIPE's.
TEST_F(FlashProgram, EndsAsOnSigtermWhenTheReaderOfItsOutputGoes)
{
    const struct {
        const char* what;
        std::vector<std::string> args;
    } cases[] = {{"for programs", {"--json"}}, {"for people", {}}};
    const std::vector<std::filesystem::path> links = {dir / "ttyQR1", dir / "ttyQR2"};
    dir.WriteFile("Loader.ini", "[Ports]\nCOM1=" + links[0].string() + "\nCOM2=" + links[1].string() +
                                    "\n[Loader]\nQR740=qr740.ldr\n[Binary]\nQR 740=FW00303\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(dir / "journal.sqlite");
        std::vector<std::unique_ptr<TSimRunner>> sims;
        std::vector<TLineSettings> found;
        for (const auto& link : links) {
            sim::Options options = SimOptions(true);
            options.link = link;
            sims.push_back(std::make_unique<TSimRunner>());
            ASSERT_TRUE(sims.back()->Start(options));
            // Settings the program does not use, so that leaving its own
            // behind would show.
            const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            termios settings{};
            ::tcgetattr(fd, &settings);
            settings.c_cc[VMIN] = 7;
            settings.c_cc[VTIME] = 3;
            ::tcsetattr(fd, TCSANOW, &settings);
            ::close(fd);
            found.push_back(ReadLineSettings(link));
        }

        int pipe[2];
        ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
        std::vector<std::string> args = {"--folder", dir.Path().string(), "--ports", "COM1,COM2", "--count", "0"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ChildProcess flash(QR740_FLASH_PATH, args, pipe[1], dir / "err.txt");
        ::close(pipe[1]);
        ::fcntl(pipe[0], F_SETFL, O_NONBLOCK);
        std::string read;
        const bool underWay = WaitUntil(
            [&] {
                char buffer[4096];
                for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
                    read.append(buffer, std::size_t(n));
                return sims[0]->Count("(block ") >= 2 && sims[1]->Count("(block ") >= 2;
            },
            30s);
        ::close(pipe[0]);
        ASSERT_TRUE(underWay) << read;
        EXPECT_EQ(flash.WaitForExit(20s), 128 + SIGPIPE) << Err();

        const auto records = ReadJournal(dir / "journal.sqlite");
        ASSERT_EQ(records.size(), 2u) << Err();
        for (const TJournalRecord& record : records) {
            EXPECT_EQ(record.Outcome, "interrupted");
            EXPECT_EQ(record.Message, "Interrupted: standard output was closed (SIGPIPE)");
        }
        for (std::size_t i = 0; i < links.size(); ++i) {
            EXPECT_TRUE(WaitUntil([&] { return sims[i]->Said("the programmer closed the port"); }))
                << sims[i]->Transcript();
            EXPECT_TRUE(ReadLineSettings(links[i]) == found[i]) << links[i];
            TVaComm other;
            other.SetDeviceName(links[i].string());
            EXPECT_NO_THROW(other.Open());
        }
    }
}

// A reader that stops reading (a terminal paused with Ctrl-S, a script that
// falls behind) holds up no port. Standard output is a pipe that is full
// before the program starts and is not read until both controllers of a gang
// are programmed and recorded, at the line's own pace; then every stage,
// controller and done event is there, and each port's progress reaches its
// end (progress alone may have been merged while it waited).
TEST_F(FlashProgram, AStalledOutputHoldsUpNoPort)
{
    const std::vector<std::filesystem::path> links = {dir / "ttyQR1", dir / "ttyQR2"};
    dir.WriteFile("Loader.ini", "[Ports]\nCOM1=" + links[0].string() + "\nCOM2=" + links[1].string() +
                                    "\n[Loader]\nQR740=qr740.ldr\n[Binary]\nQR 740=FW00303\n");
    std::vector<std::unique_ptr<TSimRunner>> sims;
    for (std::size_t i = 0; i < links.size(); ++i) {
        sim::Options options = SimOptions(true);
        options.link = links[i];
        options.turnaroundOut = dir / ("turnarounds" + std::to_string(i));
        sims.push_back(std::make_unique<TSimRunner>());
        ASSERT_TRUE(sims.back()->Start(options));
    }

    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    ::fcntl(pipe[1], F_SETPIPE_SZ, 4096);
    // Filled with empty lines, which no reader of JSON lines minds; the
    // program's very first write finds no room.
    ::fcntl(pipe[1], F_SETFL, O_NONBLOCK);
    const std::string blank(512, '\n');
    std::size_t filled = 0;
    for (ssize_t n; (n = ::write(pipe[1], blank.data(), blank.size())) > 0;)
        filled += std::size_t(n);
    ::fcntl(pipe[1], F_SETFL, 0);
    ASSERT_GT(filled, 0u);

    ChildProcess flash(QR740_FLASH_PATH, {"--folder", dir.Path().string(), "--ports", "COM1,COM2", "--json"},
                       pipe[1], dir / "err.txt");
    ::close(pipe[1]);
    const auto programmed = [&] {
        try {
            const auto records = ReadJournal(dir / "journal.sqlite");
            return records.size() == 2 && std::all_of(records.begin(), records.end(), [](const auto& r) {
                       return r.Outcome == "programmed";
                   });
        } catch (const TJournalError&) {
            return false; // not made yet
        }
    };
    const bool done = WaitUntil(programmed, 30s);
    int stillFull = 0;
    ::ioctl(pipe[0], FIONREAD, &stillFull);

    std::string read;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        read.append(buffer, std::size_t(n));
    ::close(pipe[0]);
    ASSERT_TRUE(done) << Err();
    EXPECT_EQ(std::size_t(stillFull), filled) << "the pipe was read meanwhile";
    EXPECT_EQ(flash.WaitForExit(20s), 0) << Err();

    std::map<std::string, std::map<std::string, int>> told; // port, event or stage: how often
    std::map<std::string, QJsonObject> lastProgress;
    std::istringstream lines(read);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty())
            continue;
        const QJsonObject e = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        const std::string port = e["port"].toString().toStdString();
        const std::string event = e["event"].toString().toStdString();
        ++told[port][event == "stage" ? e["stage"].toString().toStdString() : event];
        if (event == "progress")
            lastProgress[port] = e;
    }
    for (const std::string port : {"COM1", "COM2"}) {
        SCOPED_TRACE(port);
        for (const char* what : {"waiting", "waiting-for-target-id", "loading-target-loader", "getting-version",
                                 "programming-flash", "flash-update-complete", "controller"})
            EXPECT_EQ(told[port][what], 1) << what << "\n" << read;
        EXPECT_GE(told[port]["progress"], 1);
        EXPECT_EQ(lastProgress[port]["blocks_examined"], lastProgress[port]["blocks_total"]);
    }
    EXPECT_EQ(told[""]["done"], 1);
    for (std::size_t i = 0; i < sims.size(); ++i) {
        sims[i]->Stop();
        // The turnarounds, for whoever compares a run with a stalled reader
        // with one without: figures only, nothing here times them.
        std::cout << "port " << i + 1 << " turnarounds (s): " << dir.ReadFile("turnarounds" + std::to_string(i));
    }
}

// The gang's block of status lines on a real terminal: a tmux pane, resized
// from 120 columns to 80 and to 60 while three ports program. At each width
// every port has exactly one line, and none is wider than the pane (no line is
// left wrapped, no fragment of an earlier drawing stays); at the end the table
// takes the block's place.
TEST_F(FlashProgram, TheGangsStatusBlockFitsTheTerminalAsItIsResized)
{
    constexpr int kPorts = 3;
    std::string image(24 * 256, '\0');
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = char(i * 5 + 3);
    dir.WriteFile("FW00303.bin", image);
    std::string ini = "[Ports]\n";
    std::vector<std::unique_ptr<TSimRunner>> sims;
    for (int i = 1; i <= kPorts; ++i) {
        sim::Options options = SimOptions(true); // at 9600 baud: long enough to resize meanwhile
        options.link = dir / ("ttyQR" + std::to_string(i));
        options.flashEnd = 0x4000 + std::uint32_t(image.size());
        ini += "COM" + std::to_string(i) + "=" + options.link.string() + "\n";
        sims.push_back(std::make_unique<TSimRunner>());
        ASSERT_TRUE(sims.back()->Start(options));
    }
    dir.WriteFile("Loader.ini", ini + "[Loader]\nQR740=qr740.ldr\n[Binary]\nQR 740=FW00303\n");

    const std::string socket = (dir / "tmux.sock").string();
    int calls = 0;
    const auto tmux = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"-S", socket, "-f", "/dev/null"});
        const std::filesystem::path out = dir / ("tmux" + std::to_string(++calls) + ".txt");
        ChildProcess call("/usr/bin/tmux", args, out, dir / "tmux.err");
        EXPECT_EQ(call.WaitForExit(), 0) << dir.ReadFile("tmux.err");
        return dir.ReadFile(out.filename().string());
    };
    // The status is kept by the shell: tmux may mark the pane dead before it
    // has learned how its program ended.
    const std::string command = std::string(QR740_FLASH_PATH) + " --folder " + dir.Path().string() +
                                " --ports COM1,COM2,COM3 --no-journal; echo $? >" + (dir / "status").string();
    tmux({"new-session", "-d", "-s", "flash", "-x", "120", "-y", "40", command, ";", "set-option", "-t", "flash",
          "remain-on-exit", "on"});

    // The status lines on the screen: "COM1  Programming Flash ...", where the
    // controllers' own lines read "COM1: controller 1: ...".
    std::string screen;
    const auto fits = [&](int width, const char* showing) {
        // -J: a line the terminal wrapped comes back whole, wider than the pane.
        screen = tmux({"capture-pane", "-p", "-J", "-t", "flash"});
        std::map<std::string, int> lines;
        bool shown = false;
        std::istringstream rows(screen);
        for (std::string row; std::getline(rows, row);) {
            for (int i = 1; i <= kPorts; ++i) {
                const std::string port = "COM" + std::to_string(i) + " ";
                if (row.starts_with(port)) {
                    ++lines[port];
                    if (int(row.size()) > width)
                        return false;
                    shown = shown || row.find(showing) != std::string::npos;
                }
            }
        }
        return lines.size() == std::size_t(kPorts) &&
               std::all_of(lines.begin(), lines.end(), [](const auto& l) { return l.second == 1; }) && shown;
    };
    for (const int width : {120, 80, 60}) {
        SCOPED_TRACE(width);
        if (width != 120)
            tmux({"resize-window", "-t", "flash", "-x", std::to_string(width)});
        EXPECT_TRUE(WaitUntil([&] { return fits(width, "Programming Flash"); }, 20s)) << screen;
    }
    // Dead: tmux has read all the pane's terminal had.
    const bool ended = WaitUntil(
        [&] { return tmux({"display-message", "-p", "-t", "flash", "#{pane_dead}"}) == "1\n"; }, 60s);
    EXPECT_TRUE(ended) << screen;
    EXPECT_EQ(dir.ReadFile("status"), "0\n");
    // The table: "COM1             1       0", once a port.
    EXPECT_TRUE(fits(60, "1       0")) << screen;
    tmux({"kill-server"});
    for (auto& sim : sims)
        sim->Stop();
}

// Killed in the middle of a block, as by a power cut: the controller's record,
// written when it identified itself, comes out as interrupted to --history,
// which writes nothing; the next run that writes the journal closes it so, and
// programs the next controller.
TEST_F(FlashProgram, AKilledRunsControllerComesOutInterruptedAndTheNextRunClosesIt)
{
    TSimRunner sim;
    sim::Options options = SimOptions(true);
    options.quietPeriod = 300ms;
    ASSERT_TRUE(sim.Start(options));
    {
        ChildProcess flash(QR740_FLASH_PATH, {"--folder", dir.Path().string(), "--json"}, dir / "out.txt",
                           dir / "err.txt");
        ASSERT_TRUE(WaitUntil([&] { return sim.Count("(block ") >= 2; }, 20s)) << sim.Transcript();
        flash.Signal(SIGKILL);
        EXPECT_EQ(flash.WaitForExit(), 128 + SIGKILL);
    }
    const auto file = dir / "journal.sqlite";
    EXPECT_EQ(StoredOutcomes(file), "under way (owned);");
    const std::string stored = dir.ReadFile("journal.sqlite") + dir.ReadFile("journal.sqlite-wal");

    EXPECT_EQ(Run({"--history", "--format", "json"}), 0) << Err();
    const QJsonObject shown = QJsonDocument::fromJson(QByteArray::fromStdString(Out())).object();
    EXPECT_EQ(shown["outcome"].toString(), QStringLiteral("interrupted")) << Out();
    EXPECT_EQ(shown["identification"].toString(), QStringLiteral("QR740")) << Out();
    EXPECT_NE(shown["message"].toString().indexOf(QStringLiteral("killed, crashed or powered off")), -1) << Out();
    EXPECT_EQ(dir.ReadFile("journal.sqlite") + dir.ReadFile("journal.sqlite-wal"), stored) << "--history wrote";
    EXPECT_EQ(StoredOutcomes(file), "under way (owned);");

    EXPECT_EQ(Run({}), 0) << Out() << Err();
    sim.Stop();
    EXPECT_EQ(StoredOutcomes(file), "interrupted;programmed;");
}

} // namespace
