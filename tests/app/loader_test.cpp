#include "loader.h"

#include <file_size_limit.h>
#include "frame.h"
#include "hex.h"
#include "loaderrules.h"
#include "modal_answer.h"
#include "pty_pair.h"
#include "recording_sink.h"
#include "scratch_dir.h"
#include "wait.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class WindowTest : public ::testing::Test {
protected:
    // Settings texts name the two pseudo-terminals as {A} and {B}.
    std::string Fill(std::string text) const
    {
        for (const auto& [mark, pty] : {std::pair{"{A}", &portA}, std::pair{"{B}", &portB}}) {
            for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
                text.replace(at, 3, pty->Link().string());
        }
        return text;
    }
    void WriteIni(const std::string& text) { dir.WriteFile("Loader.ini", Fill(text)); }
    std::string IniText() const { return dir.ReadFile("Loader.ini"); }
    bool IniExists() const { return fs::exists(dir / "Loader.ini"); }
    QString Folder() const { return QString::fromStdString(dir.Path().string() + "/"); }

    // A window on the scratch folder whose pauses return at once, noting how
    // long it was asked to wait.
    std::unique_ptr<TfmLoader> Create()
    {
        TLoaderEnvironment environment;
        environment.folder = QString::fromStdString(dir.Path().string());
        environment.pause = [this](std::chrono::milliseconds period) {
            pauses.push_back(period);
            if (onPause)
                onPause();
        };
        // The conversation's pauses end at once, and are noted alike.
        environment.timing.ResetPause = 3ms;
        environment.timing.RestartPause = 2ms;
        environment.timing.ParameterPortPause = 1ms;
        environment.sessionPaused = [this](std::chrono::milliseconds period) { pauses.push_back(period); };
        return std::make_unique<TfmLoader>(std::move(environment));
    }

    // True when the window's port is the device behind `pty`: a byte sent from
    // the far side is waiting there.
    // The conversation's handler is set aside meanwhile, so that it does not take
    // the byte as the beginning of a handshake.
    static bool Receives(TfmLoader& window, PtyPair& pty)
    {
        if (!window.ProgPort.IsOpen())
            return false;
        const TVaCommRxCharEvent handler = window.ProgPort.OnRxChar;
        // Announced at once, whatever reply the conversation may be waiting for.
        window.ProgPort.SetRxThreshold(1);
        bool received = false;
        window.ProgPort.OnRxChar = [&](TVaCustomComm* port, std::int32_t count) {
            for (std::int32_t i = 0; i < count; ++i) {
                std::uint8_t byte = 0;
                received = (port->ReadChar(byte) && byte == 0xA5) || received;
            }
        };
        pty.Write({0xA5});
        WaitUntil([&] { return received; });
        window.ProgPort.OnRxChar = handler;
        return received;
    }

    // Chooses entry `index` of the port list as the operator does: opens the list,
    // moves to the entry and presses Return.
    static void ChoosePort(TfmLoader& window, int index)
    {
        window.rgPort->showPopup();
        QAbstractItemView* list = window.rgPort->view();
        list->setCurrentIndex(list->model()->index(index, 0));
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(list, &enter);
    }

    ScratchDir dir;
    // A "%" in a device path must reach the port component unformatted.
    PtyPair portA{dir / "tty%dA"};
    PtyPair portB{dir / "ttyB"};
    TRecordingSink sink;
    std::vector<std::chrono::milliseconds> pauses;
    std::function<void()> onPause;
};

// ---- start-up --------------------------------------------------------------

TEST_F(WindowTest, StartsWithWhatTheSettingsSay)
{
    struct Case {
        const char* what;
        const char* ini;
        int entry;
        const char* newVersion;
        bool autoProgram;
        const char* binary;
        const char* parameters;
    };
    const Case cases[] = {
        {"only the port map: every other key takes its default", "[Ports]\nCOM1={A}\n", 0,
         "Unknown", false, "", ""},
        {"port above 10 is taken as 10", "[Communications]\nPort=12\n[Ports]\nCOM10={A}\n", 9,
         "Unknown", false, "", ""},
        {"hexadecimal port", "[Communications]\nPort=0x3\n[Ports]\nCOM3={A}\n", 2, "Unknown",
         false, "", ""},
        {"port that is no number", "[Communications]\nPort=abc\n[Ports]\nCOM1={A}\n", 0,
         "Unknown", false, "", ""},
        {"Auto 2 leaves Auto Program clear",
         "[Communications]\nPort=2\n[Auto Mode]\nAuto=2\n[Ports]\nCOM2={A}\n", 1, "Unknown",
         false, "", ""},
        {"quoted and blank-padded values",
         "[Communications]\nPort = \"4\" \n[Software]\nNew Version =  ' 3.03 '  \n"
         "[Auto Mode]\nAuto=  1\n[Load Parameters]\nParameter File=\"site\"\n"
         "[Binary]\nQR 740=  FW00303  \n[Ports]\nCOM4 = \"{A}\"\n",
         3, " 3.03 ", true, "FW00303", "site"},
        {"names in any case; the binary's name does not set the version",
         "[COMMUNICATIONS]\npORT=5\n[ports]\ncom5={A}\n[software]\nnew version=9.99\xC3\xA9\n"
         "[AUTO MODE]\nauto=$1\n[load parameters]\nPARAMETER FILE=params\n"
         "[binary]\nqr 740=ABCD303\n",
         4, "9.99\xC3\xA9", true, "ABCD303", "params"},
        {"present but empty version", "[Software]\nNew Version=\n[Ports]\nCOM1={A}\n", 0, "",
         false, "", ""},
        {"port with a blank inside its quotes", "[Communications]\nPort=\"2 \"\n[Ports]\nCOM2={A}\n",
         1, "Unknown", false, "", ""},
        {"port with text after its digits", "[Communications]\nPort=2x\n[Ports]\nCOM2={A}\n", 1,
         "Unknown", false, "", ""},
        {"UTF-8 with a byte-order mark, as editors write it",
         "\xEF\xBB\xBF[Communications]\r\nPort=3\r\n[Ports]\r\nCOM3={A}\r\n"
         "[Software]\r\nNew Version=3.03 b\xC3\xA9ta\r\n[Binary]\r\nQR 740=Firmw\xC3\xA4re\r\n"
         "[Load Parameters]\r\nParameter File=Param\xC3\xA8tres\r\n",
         2, "3.03 b\xC3\xA9ta", false, "Firmw\xC3\xA4re", "Param\xC3\xA8tres"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteIni(c.ini);
        const std::string before = IniText();
        auto window = Create();

        EXPECT_TRUE(sink.boxes.empty()) << sink.boxes.front().text.toStdString();
        EXPECT_EQ(window->rgPort->currentIndex(), c.entry);
        EXPECT_EQ(window->ProgPort.PortNum(), c.entry + 1);
        EXPECT_TRUE(Receives(*window, portA));
        EXPECT_EQ(window->ProgPort.Baudrate(), br9600);
        EXPECT_EQ(window->eNewVersion->text(), QString::fromUtf8(c.newVersion));
        EXPECT_EQ(window->cbAuto->isChecked(), c.autoProgram);
        EXPECT_EQ(window->eBinaryFile->text(), QString::fromUtf8(c.binary));
        EXPECT_EQ(window->eParameterFile->text(), QString::fromUtf8(c.parameters));
        EXPECT_FALSE(window->bGo->isEnabled());
        EXPECT_EQ(window->Stage(), WaitingForTarget);
        EXPECT_EQ(window->lState->text(), QStringLiteral("Waiting for Target"));
        EXPECT_TRUE(window->eLdrVersion->text().isEmpty());
        EXPECT_TRUE(window->eCurrentVersion->text().isEmpty());
        EXPECT_EQ(window->pgUpload->Percent(), 0);
        EXPECT_EQ(window->BinaryFolder, Folder());
        EXPECT_EQ(window->ParamFolder, Folder());
        EXPECT_EQ(window->BinaryExtension, QStringLiteral(".bin"));
        EXPECT_EQ(window->ParamExtension, QStringLiteral(".par"));
        EXPECT_TRUE(pauses.empty()) << "selecting the port from code ran the port change";
        EXPECT_EQ(IniText(), before) << "start-up writes nothing";
        sink.boxes.clear();
    }
}

TEST_F(WindowTest, WithoutSettingsFileStartsOnCom1AndCreatesNoFile)
{
    auto window = Create();
    EXPECT_EQ(window->rgPort->currentIndex(), 0);
    EXPECT_EQ(window->ProgPort.PortNum(), 1);
    EXPECT_EQ(window->ProgPort.DeviceName(), "/dev/ttyS0");
    if (!fs::exists("/dev/ttyS0")) {
        EXPECT_EQ(sink.Texts(), std::vector<std::string>{"Invalid port number (COM1)"});
    } else if (sink.boxes.empty()) {
        EXPECT_EQ(window->eNewVersion->text(), QStringLiteral("Unknown"));
        EXPECT_FALSE(window->cbAuto->isChecked());
    }
    EXPECT_FALSE(IniExists());
}

TEST_F(WindowTest, PortFailingAtStartUpSkipsTheRestOfStartUp)
{
    // Holding port B open elsewhere makes it busy.
    TVaComm holder;
    holder.SetDeviceName(portB.Link().string());
    holder.Open();

    struct Case {
        const char* port;
        const char* device;
        int entry;
        int portNum;
        const char* shown;
    };
    const Case cases[] = {
        {"0", "", -1, 0, "Invalid port number (COM0)"},
        {"-3", "", -1, -3, "Invalid port number (COM-3)"},
        {"2", "/nonexistent/ttyUSB7", 1, 2, "Invalid port number (COM2)"},
        {"2", "{B}", 1, 2, "Can't open device COM2."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        WriteIni(std::string("[Communications]\nPort=") + c.port +
                 "\n[Software]\nNew Version=3.03\n[Auto Mode]\nAuto=1\n"
                 "[Load Parameters]\nParameter File=site\n[Binary]\nQR 740=FW00303\n"
                 "[Ports]\nCOM1={A}\nCOM2=" + c.device + "\n");
        auto window = Create();

        ASSERT_EQ(sink.boxes.size(), 1u);
        EXPECT_EQ(sink.boxes[0].kind, TShownBox::Exception);
        EXPECT_EQ(sink.boxes[0].title, QStringLiteral("app_window_test"));
        EXPECT_EQ(sink.boxes[0].text, QString::fromLatin1(c.shown));
        EXPECT_EQ(window->rgPort->currentIndex(), c.entry);
        EXPECT_EQ(window->ProgPort.PortNum(), c.portNum);
        EXPECT_FALSE(window->ProgPort.IsOpen());
        EXPECT_TRUE(window->eNewVersion->text().isEmpty()) << "not even Unknown";
        EXPECT_FALSE(window->cbAuto->isChecked());
        EXPECT_TRUE(window->eBinaryFile->text().isEmpty());
        EXPECT_TRUE(window->eParameterFile->text().isEmpty());
        EXPECT_EQ(window->lState->text(), QStringLiteral("Waiting for Target"));

        // The window still works: choosing a port that exists opens it.
        window->show();
        ChoosePort(*window, 0);
        EXPECT_TRUE(Receives(*window, portA));
        EXPECT_EQ(sink.boxes.size(), 1u);
        EXPECT_NE(IniText().find("Port=1\n"), std::string::npos);
        sink.boxes.clear();
    }
}

// What an editor on this system writes is what the window shows, and the name
// it shows, completed with folder and extension, is the file on disk.
TEST_F(WindowTest, NamesInTheSettingsFileAreTheFilesOnDisk)
{
    WriteIni("\xEF\xBB\xBF[Binary]\nQR 740=Firmw\xC3\xA4re\n"
             "[Load Parameters]\nParameter File=Param\xC3\xA8tres\n[Ports]\nCOM1={A}\n");
    dir.WriteFile("Firmw\xC3\xA4re.bin", "image");
    dir.WriteFile("Param\xC3\xA8tres.par", "P01=1\n");
    auto window = Create();

    EXPECT_EQ(window->eBinaryFile->text(), QStringLiteral("Firmw\u00E4re"));
    EXPECT_EQ(window->eParameterFile->text(), QStringLiteral("Param\u00E8tres"));
    const auto onDisk = [](const QString& path) {
        return fs::exists(fs::path(QFile::encodeName(path).toStdString()));
    };
    EXPECT_TRUE(onDisk(window->BinaryFolder + window->eBinaryFile->text() +
                       window->BinaryExtension));
    EXPECT_TRUE(onDisk(window->ParamFolder + window->eParameterFile->text() +
                       window->ParamExtension));
}

// ---- port change -----------------------------------------------------------

TEST_F(WindowTest, PortChangeClosesWaitsOpensAndThenSavesTheChoice)
{
    const std::string ini = "; bench 4, left-hand rack\r\n"
                            "[Communications]\r\nPort=1\r\nSpare=x\r\n\r\n"
                            "[Loader]\r\nQR740=loader.bin\r\n"
                            "[Ports]\r\nCOM1={A}\r\nCOM2={B}\r\n";
    WriteIni(ini);
    auto window = Create();
    window->show();
    ASSERT_TRUE(Receives(*window, portA));
    // The speed in force is kept, whatever it is.
    window->ProgPort.SetBaudrate(br19200);

    bool openDuringPause = true;
    std::string fileDuringPause;
    onPause = [&] {
        openDuringPause = window->ProgPort.IsOpen();
        fileDuringPause = IniText();
    };
    ChoosePort(*window, 1);

    EXPECT_TRUE(sink.boxes.empty()) << ::testing::PrintToString(sink.Texts());
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>{1000ms});
    EXPECT_FALSE(openDuringPause) << "the old port must be closed during the pause";
    EXPECT_EQ(fileDuringPause, Fill(ini)) << "saved before the new port opened";
    EXPECT_EQ(window->ProgPort.PortNum(), 2);
    EXPECT_TRUE(Receives(*window, portB));
    EXPECT_EQ(portB.SlaveSpeed(), 19200u);
    EXPECT_EQ(window->Stage(), WaitingForTarget);
    EXPECT_EQ(window->lState->text(), QStringLiteral("Waiting for Target"));
    std::string expected = Fill(ini);
    expected.replace(expected.find("Port=1"), 6, "Port=2");
    EXPECT_EQ(IniText(), expected) << "every other byte of the file stays";
}

TEST_F(WindowTest, PortChangeKeepsTheByteOrderMarkAndTheSectionBehindIt)
{
    WriteIni("\xEF\xBB\xBF[Communications]\r\nPort=1\r\n[Ports]\r\nCOM1={A}\r\nCOM2={B}\r\n");
    auto window = Create();
    window->show();
    ChoosePort(*window, 1);

    EXPECT_TRUE(sink.boxes.empty()) << ::testing::PrintToString(sink.Texts());
    EXPECT_TRUE(Receives(*window, portB));
    EXPECT_EQ(IniText(),
              Fill("\xEF\xBB\xBF[Communications]\r\nPort=2\r\n[Ports]\r\nCOM1={A}\r\nCOM2={B}\r\n"));
}

// Mapping a number to an adapter from the window writes its COMn= line in
// [Ports] and keeps every other byte; the chosen port is opened on the adapter.
TEST_F(WindowTest, MappingAPortToAnAdapterChangesOnlyItsLine)
{
    const std::string ini = "\xEF\xBB\xBF; bench 4\r\n[Communications]\r\nPort=1\r\n[Ports]\r\nCOM1={A}\r\n"
                            "\r\n[Loader]\r\nQR740 = qr740.ldr ; the usual\r\n";
    WriteIni(ini);
    auto window = Create();
    ASSERT_TRUE(Receives(*window, portA));

    window->MapPortTo(3, TSerialPort{.node = "/dev/ttyUSB9"});
    EXPECT_EQ(IniText(), Fill("\xEF\xBB\xBF; bench 4\r\n[Communications]\r\nPort=1\r\n[Ports]\r\nCOM1={A}\r\n"
                              "COM3=/dev/ttyUSB9\r\n\r\n[Loader]\r\nQR740 = qr740.ldr ; the usual\r\n"));
    EXPECT_TRUE(Receives(*window, portA)) << "another number: the chosen port is left alone";

    // The chosen number, to the device behind the second line.
    window->MapPortTo(1, TSerialPort{.node = portB.Link().string()});
    EXPECT_TRUE(Receives(*window, portB));
    EXPECT_NE(IniText().find(Fill("COM1={B}\r\n")), std::string::npos) << IniText();
    EXPECT_TRUE(sink.boxes.empty()) << ::testing::PrintToString(sink.Texts());
}

// Each entry of the port list says which device its number opens, and
// whether that device is there.
TEST_F(WindowTest, PortEntriesSayWhichDeviceTheyOpen)
{
    WriteIni("[Ports]\nCOM1={A}\nCOM4=/dev/serial/by-id/usb-gone-if00-port0\n");
    auto window = Create();
    const auto tip = [&](int com) { return window->rgPort->itemData(com - 1, Qt::ToolTipRole).toString().toStdString(); };
    EXPECT_NE(tip(1).find(Fill("COM1 opens {A}")), std::string::npos) << tip(1);
    EXPECT_NE(tip(4).find("COM4 opens /dev/serial/by-id/usb-gone-if00-port0"), std::string::npos) << tip(4);
    EXPECT_NE(tip(4).find("not present"), std::string::npos) << tip(4);
    EXPECT_EQ(window->rgPort->toolTip().toStdString(), tip(1));
    // Beside the list only when the window is wide enough for it.
    window->show();
    EXPECT_FALSE(window->lPortDevice->isVisible());
    window->resize(900, window->height());
    EXPECT_TRUE(window->lPortDevice->isVisible());
    EXPECT_TRUE(window->lPortDevice->text().startsWith(QStringLiteral("COM1: ")));
}

TEST_F(WindowTest, PortChangeWithoutSettingsFileCreatesOnlyThePort)
{
    auto window = Create();
    sink.boxes.clear();
    // Without a file there is no map, so COM3 is /dev/ttyS2: open it only where
    // this machine can.
    window->show();
    ChoosePort(*window, 2);
    if (window->ProgPort.IsOpen()) {
        EXPECT_EQ(IniText(), "[Communications]\nPort=3\n");
    } else {
        EXPECT_FALSE(IniExists());
    }
}

TEST_F(WindowTest, PortChangeThatFailsToOpenSavesNothing)
{
    WriteIni("[Communications]\nPort=1\n[Ports]\nCOM1={A}\nCOM2=/nonexistent/ttyUSB7\n");
    const std::string before = IniText();
    auto window = Create();
    window->show();

    ChoosePort(*window, 1);

    EXPECT_EQ(sink.Texts(), std::vector<std::string>{"Invalid port number (COM2)"});
    EXPECT_FALSE(window->ProgPort.IsOpen());
    EXPECT_EQ(window->ProgPort.PortNum(), 2);
    EXPECT_EQ(IniText(), before);
    EXPECT_EQ(window->Stage(), WaitingForTarget);
}

TEST_F(WindowTest, PortChangeThatCannotBeSavedIsReportedWithThePortOpen)
{
    std::string ini = "[Communications]\nPort=1\n[Ports]\nCOM1={A}\nCOM2={B}\n[Notes]\n";
    while (ini.size() < 8192)
        ini += "Note=the settings file is larger than the disk has room for\n";
    WriteIni(ini);
    const std::string before = IniText();
    auto window = Create();
    window->show();

    {
        const TFileSizeLimit fullDisk(4096);
        ChoosePort(*window, 1);
    }

    EXPECT_EQ(sink.Texts(),
              std::vector<std::string>{"Unable to write to " + (dir / "Loader.ini").string() + "."});
    EXPECT_TRUE(Receives(*window, portB));
    EXPECT_EQ(IniText(), before);
}

TEST_F(WindowTest, PortChangeBlocksForTheFullSecond)
{
    WriteIni("[Ports]\nCOM1={A}\nCOM2={B}\n");
    // The running program's own pause, not the test's.
    auto window = std::make_unique<TfmLoader>(
        TLoaderEnvironment{.folder = QString::fromStdString(dir.Path().string())});
    window->show();
    const auto start = std::chrono::steady_clock::now();
    ChoosePort(*window, 1);
    const auto blocked = std::chrono::steady_clock::now() - start;

    EXPECT_GE(blocked, 1000ms);
    EXPECT_TRUE(Receives(*window, portB));
    EXPECT_TRUE(sink.boxes.empty()) << ::testing::PrintToString(sink.Texts());
}

// The reset's pause on the program's own durations: the port stays closed for
// the full second, while the window goes on answering.
TEST_F(WindowTest, ResetLoaderLeavesThePortClosedForTheFullSecond)
{
    WriteIni("[Ports]\nCOM1={A}\n");
    auto window = std::make_unique<TfmLoader>(
        TLoaderEnvironment{.folder = QString::fromStdString(dir.Path().string())});
    window->show();
    ASSERT_TRUE(window->ProgPort.IsOpen());
    const auto start = std::chrono::steady_clock::now();
    window->bResetLoader->click();
    EXPECT_FALSE(window->ProgPort.IsOpen());
    EXPECT_EQ(window->lState->text(), QStringLiteral("Waiting for Target"));
    ASSERT_TRUE(WaitUntil([&] { return window->ProgPort.IsOpen(); }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_TRUE(Receives(*window, portA));
    EXPECT_TRUE(sink.boxes.empty()) << ::testing::PrintToString(sink.Texts());
}

TEST_F(WindowTest, SelectingAnEntryFromCodeRunsNoPortChange)
{
    WriteIni("[Ports]\nCOM1={A}\nCOM2={B}\n");
    const std::string before = IniText();
    auto window = Create();
    window->rgPort->setCurrentIndex(1);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(window->ProgPort.PortNum(), 1);
    EXPECT_TRUE(Receives(*window, portA));
    EXPECT_EQ(IniText(), before);
}

// ---- Auto Program, Upload Now, Exit Loader ---------------------------------

TEST_F(WindowTest, UploadNowIsOfferedOnlyAfterTheVersionReplyWithoutAutoProgram)
{
    WriteIni("[Ports]\nCOM1={A}\n[Loader]\nQR740=qr740.ldr\n");
    dir.WriteFile("qr740.ldr", "LDR");
    const std::string before = IniText();
    auto window = Create();

    // No version reply yet: whatever the stage, there is no geometry to
    // program, so clearing Auto Program offers nothing.
    struct Case {
        LoaderStage stage;
        bool autoProgram;
    };
    const Case cases[] = {
        {WaitingForTarget, false},   {WaitingForTarget, true},    {WaitingForTargetId, false},
        {LoadingTargetLoader, false}, {GettingVersion, false},     {GettingVersion, true},
        {SettingParameters, false},
    };
    for (const Case& c : cases) {
        window->SetStage(c.stage);
        // Clicking twice runs the handler twice and ends with the wanted state.
        window->cbAuto->setChecked(!c.autoProgram);
        window->cbAuto->click();
        EXPECT_EQ(window->cbAuto->isChecked(), c.autoProgram);
        EXPECT_FALSE(window->bGo->isEnabled())
            << StageText(c.stage).toStdString() << (c.autoProgram ? ", auto" : "");
    }

    // A controller, played on the line, up to its version request; Auto
    // Program cleared while the request is outstanding still offers nothing.
    // The window answers from its event loop, which runs while the test waits.
    const auto answer = [&](std::size_t count) {
        Bytes got;
        WaitUntil([&] {
            std::uint8_t buffer[256];
            const ssize_t n = ::read(portA.MasterFd(), buffer, sizeof buffer);
            if (n > 0)
                got.insert(got.end(), buffer, buffer + n);
            return got.size() >= count;
        });
        return got;
    };
    window->SetStage(WaitingForTarget);
    window->cbAuto->setChecked(true);
    portA.Write(Hex("06 15"));
    ASSERT_EQ(answer(3), Text("APL"));
    portA.Write(Join(Text("QR740"), Hex("06")));
    ASSERT_EQ(answer(7).size(), 7u);
    portA.Write(EncodeLinkFrame('L', 0, Text("LDR 1.00")));
    ASSERT_EQ(answer(14), EncodeLinkFrame('V', 0, {}));
    window->cbAuto->click();
    ASSERT_FALSE(window->cbAuto->isChecked());
    EXPECT_FALSE(window->bGo->isEnabled()) << "offered before the geometry is known";

    // The version reply offers it.
    portA.Write(EncodeLinkFrame('V', 0x4000, Hex("2F 01 00 80 00 00 00 00 01")));
    ASSERT_TRUE(WaitUntil([&] { return window->bGo->isEnabled(); }));
    EXPECT_EQ(window->lState->text(), QStringLiteral("Press Upload Now to Start"));

    // Ticking while Upload Now is offered withdraws it; clearing offers it again.
    window->cbAuto->click();
    EXPECT_FALSE(window->bGo->isEnabled());
    window->cbAuto->click();
    EXPECT_TRUE(window->bGo->isEnabled());

    // Pressed once per run: it starts the upload, which finds no image here
    // (the image is read off the window's thread) and ends in the reset;
    // nothing was sent to the controller.
    window->bGo->click();
    EXPECT_FALSE(window->bGo->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return !sink.Texts().empty(); }));
    EXPECT_EQ(sink.Texts(), std::vector<std::string>{"Target Binary File " +
                                                     Folder().toStdString() + ".bin Not Found"});
    EXPECT_EQ(window->Stage(), WaitingForTarget);
    EXPECT_TRUE(portA.Drain(50ms).empty());
    // The reset forgets the geometry: the next controller is not offered an
    // upload with it.
    window->cbAuto->click();
    window->cbAuto->click();
    EXPECT_FALSE(window->bGo->isEnabled());
    EXPECT_EQ(IniText(), before) << "Auto Program is not saved";
}

TEST_F(WindowTest, StagesShowTheirStatusTexts)
{
    WriteIni("[Ports]\nCOM1={A}\n");
    auto window = Create();
    const std::pair<LoaderStage, const char*> cases[] = {
        {WaitingForTargetId, "Waiting for Target ID"},
        {LoadingTargetLoader, "Loading Target Loader"},
        {GettingVersion, "Getting Version Information"},
        {SettingParameters, "Setting Parameters"},
        {WaitingForTarget, "Waiting for Target"},
        {LoaderStage(7), "Waiting for Target"}, // only stored
    };
    for (const auto& [stage, text] : cases) {
        window->SetStage(stage);
        EXPECT_EQ(window->Stage(), stage);
        EXPECT_EQ(window->lState->text(), QString::fromLatin1(text));
    }
}

TEST_F(WindowTest, ExitLoaderClosesTheWindowAndThePortWithoutAsking)
{
    WriteIni("[Ports]\nCOM1={A}\n");
    const std::string before = IniText();
    auto window = Create();
    window->show();
    window->SetStage(GettingVersion); // as during a programming run
    ASSERT_TRUE(Receives(*window, portA));

    window->bExit->click();

    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->ProgPort.IsOpen());
    EXPECT_FALSE(window->Ini);
    EXPECT_TRUE(sink.boxes.empty()) << ::testing::PrintToString(sink.Texts());
    EXPECT_EQ(IniText(), before);
    // The port is free again for anyone else.
    TVaComm other;
    other.SetDeviceName(DevicePattern(portA.Link().string()));
    EXPECT_NO_THROW(other.Open());
}

TEST_F(WindowTest, NothingOfTheConversationRunsAfterTheWindowHasClosed)
{
    // A request outstanding and bytes on their way when the window goes: the
    // time-out and the reply would otherwise reset the conversation and reopen
    // the port through the settings the window has already let go.
    WriteIni("[Ports]\nCOM1={A}\n");
    auto window = Create();
    window->show();
    window->Session->Conversation().SetReplyTimeout(100ms);
    window->SetStage(LoadingTargetLoader);
    ASSERT_TRUE(window->Session->Conversation().TimeOutArmed());

    window->bExit->click();
    portA.Write({0x06, 0x15});
    RunEventsFor(300ms);

    EXPECT_FALSE(window->ProgPort.IsOpen());
    EXPECT_FALSE(window->Session->Conversation().TimeOutArmed());
    EXPECT_TRUE(pauses.empty()) << "no reset ran";
    EXPECT_TRUE(sink.boxes.empty()) << ::testing::PrintToString(sink.Texts());
    window->bResetLoader->click(); // a stray click on the closed window
    EXPECT_FALSE(window->ProgPort.IsOpen());
}

// ---- file choice -----------------------------------------------------------

struct DialogSeen {
    QString name;
    QString folder;
    QStringList filters;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
};

// Notes what the dialog offers, then chooses `file` in it, or cancels when
// `file` is empty.
TModalAnswer<QFileDialog>* Answer(DialogSeen& seen, const fs::path& file)
{
    return new TModalAnswer<QFileDialog>([&seen, file](QFileDialog* dialog) {
        if (seen.name.isEmpty()) // as first shown, before the answer moves it
            seen = {dialog->objectName(), dialog->directory().absolutePath() + "/",
                    dialog->nameFilters(), dialog->fileMode()};
        if (file.empty()) {
            dialog->reject();
            return;
        }
        // Typed into the name box, as an operator would: selectFile leaves that
        // box alone once it has the keyboard focus.
        const QString path = QString::fromStdString(file.string());
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            name->setText(path);
        else
            dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->accept(); // public as a QDialog
    });
}

TEST_F(WindowTest, ChoosingTheBinaryShowsItsNameAndVersionAndMovesOnlyItsFolder)
{
    WriteIni("[Software]\nNew Version=1.00\n[Binary]\nQR 740=FW00100\n[Ports]\nCOM1={A}\n");
    const std::string before = IniText();
    fs::create_directories(dir / "images" / "v3");
    // Names that differ only in the case of the extension are different files.
    for (const char* name :
         {"ABCD303.bin", "ABC.bin", "fw.new.bin", "fw.bin", "FW00304.hex", "FW00305.s37", "FW00303.BIN", "FW00303.bin"})
        dir.WriteFile(std::string("images/v3/") + name, name);
    const QString images = QString::fromStdString((dir / "images" / "v3").string() + "/");
    auto window = Create();
    window->show();

    struct Case {
        const char* file;
        const char* name;
        const char* version;
    };
    const Case cases[] = {
        {"ABCD303.bin", "ABCD303", "3.03"},
        // A name without a version leaves the settings' version, not the last
        // file's.
        {"ABC.bin", "ABC", "1.00"},
        // The name must lead back to the chosen file, not to fw.bin beside it.
        {"fw.new.bin", "fw.new", "1.00"},
        // Nor to FW00303.bin beside it.
        // A toolchain's HEX or S-record file follows the same rule.
        {"FW00304.hex", "FW00304", "3.04"},
        {"FW00305.s37", "FW00305", "3.05"},
        {"FW00303.BIN", "FW00303", "3.03"},
    };
    QString expectedStart = Folder();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        DialogSeen seen;
        std::unique_ptr<TModalAnswer<QFileDialog>> answer(
            Answer(seen, dir / "images" / "v3" / c.file));
        window->sbSelectBFile->click();
        ASSERT_TRUE(answer->Answered());

        EXPECT_EQ(seen.name, QStringLiteral("OpenBFile"));
        EXPECT_EQ(seen.folder, expectedStart);
        EXPECT_EQ(seen.filters, (QStringList{QStringLiteral("Binary Files (*.bin)"),
                                              QStringLiteral("Intel HEX Files (*.hex *.ihx)"),
                                              QStringLiteral("S-Record Files (*.s19 *.s28 *.s37 *.srec *.mot)")}));
        EXPECT_EQ(seen.mode, QFileDialog::ExistingFile);
        EXPECT_EQ(window->eBinaryFile->text(), QString::fromLatin1(c.name));
        EXPECT_EQ(window->eNewVersion->text(), QString::fromLatin1(c.version));
        EXPECT_EQ(window->BinaryFolder, images);
        EXPECT_EQ(window->BinaryFolder + window->eBinaryFile->text() + window->BinaryExtension,
                  images + QString::fromLatin1(c.file));
        EXPECT_EQ(window->ParamFolder, Folder());
        EXPECT_EQ(window->ParamExtension, QStringLiteral(".par"));
        expectedStart = images;
    }

    // Cancelling changes nothing.
    DialogSeen seen;
    std::unique_ptr<TModalAnswer<QFileDialog>> cancel(Answer(seen, {}));
    window->sbSelectBFile->click();
    ASSERT_TRUE(cancel->Answered());
    EXPECT_EQ(window->eBinaryFile->text(), QStringLiteral("FW00303"));
    EXPECT_EQ(window->eNewVersion->text(), QStringLiteral("3.03"));
    EXPECT_EQ(window->BinaryFolder, images);
    EXPECT_EQ(window->BinaryExtension, QStringLiteral(".BIN"));

    EXPECT_EQ(IniText(), before) << "a choice is not saved";
    EXPECT_TRUE(sink.boxes.empty()) << ::testing::PrintToString(sink.Texts());
}

// [Binary] SHA256= pins the image: a file with another digest is refused when
// it is chosen, with an "Error" box naming both, and the choice stays as it
// was; the pinned file itself is taken, whatever the letter case of the pin.
TEST_F(WindowTest, ChoosingAnImageThatIsNotThePinnedOneIsRefused)
{
    fs::create_directories(dir / "images");
    dir.WriteFile("images/FW00304.bin", "the pinned image");
    dir.WriteFile("images/FW00305.bin", "another image");
    const auto digest = [](const char* text) {
        return QCryptographicHash::hash(QByteArray(text), QCryptographicHash::Sha256).toHex();
    };
    const QString pinned = QString::fromLatin1(digest("the pinned image"));
    const QString other = QString::fromLatin1(digest("another image"));
    WriteIni("[Software]\nNew Version=1.00\n[Binary]\nQR 740=FW00100\nSHA256=" + pinned.toUpper().toStdString() +
             "\n[Ports]\nCOM1={A}\n");
    auto window = Create();
    window->show();
    const auto choose = [&](const char* file) {
        DialogSeen seen;
        std::unique_ptr<TModalAnswer<QFileDialog>> answer(Answer(seen, dir / "images" / file));
        window->sbSelectBFile->click();
        ASSERT_TRUE(answer->Answered());
    };

    choose("FW00305.bin");
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_EQ(sink.boxes[0].kind, TShownBox::Error);
    EXPECT_EQ(sink.boxes[0].text, QStringLiteral("Target Binary File %1 Is Not The Pinned Image: Its SHA-256 Is %2, Not %3")
                                      .arg(QString::fromStdString((dir / "images" / "FW00305.bin").string()), other,
                                           pinned));
    EXPECT_EQ(window->eBinaryFile->text(), QStringLiteral("FW00100"));
    EXPECT_EQ(window->eNewVersion->text(), QStringLiteral("1.00"));
    EXPECT_EQ(window->BinaryFolder, Folder());

    choose("FW00304.bin");
    EXPECT_EQ(sink.boxes.size(), 1u) << ::testing::PrintToString(sink.Texts());
    EXPECT_EQ(window->eBinaryFile->text(), QStringLiteral("FW00304"));
    EXPECT_EQ(window->eNewVersion->text(), QStringLiteral("3.04"));
}

TEST_F(WindowTest, ChoosingTheParameterFileLeavesTheVersionAndTheBinaryFolder)
{
    WriteIni("[Software]\nNew Version=1.00\n[Load Parameters]\nParameter File=old\n"
             "[Ports]\nCOM1={A}\n");
    const std::string before = IniText();
    fs::create_directories(dir / "params");
    for (const char* name : {"site.v2.par", "SITE.PAR", "SITE.par"})
        dir.WriteFile(std::string("params/") + name, "P01=1\n");
    const QString params = QString::fromStdString((dir / "params").string() + "/");
    auto window = Create();
    window->show();

    const std::pair<const char*, const char*> cases[] = {
        {"site.v2.par", "site.v2"},
        {"SITE.PAR", "SITE"},
    };
    QString expectedStart = Folder();
    for (const auto& [file, name] : cases) {
        SCOPED_TRACE(file);
        DialogSeen seen;
        std::unique_ptr<TModalAnswer<QFileDialog>> answer(Answer(seen, dir / "params" / file));
        window->sbSelectPFile->click();
        ASSERT_TRUE(answer->Answered());

        EXPECT_EQ(seen.name, QStringLiteral("openPFile"));
        EXPECT_EQ(seen.folder, expectedStart);
        EXPECT_EQ(seen.filters, QStringList{QStringLiteral("Parameter Files (*.par)")});
        EXPECT_EQ(seen.mode, QFileDialog::ExistingFile);
        EXPECT_EQ(window->eParameterFile->text(), QString::fromLatin1(name));
        EXPECT_EQ(window->ParamFolder, params);
        EXPECT_EQ(window->ParamFolder + window->eParameterFile->text() + window->ParamExtension,
                  params + QString::fromLatin1(file));
        EXPECT_EQ(window->eNewVersion->text(), QStringLiteral("1.00"));
        EXPECT_EQ(window->BinaryFolder, Folder());
        EXPECT_EQ(window->BinaryExtension, QStringLiteral(".bin"));
        expectedStart = params;
    }

    // The binary dialog still opens in its own folder.
    DialogSeen binary;
    std::unique_ptr<TModalAnswer<QFileDialog>> cancel(Answer(binary, {}));
    window->sbSelectBFile->click();
    ASSERT_TRUE(cancel->Answered());
    EXPECT_EQ(binary.folder, Folder());

    EXPECT_EQ(IniText(), before);
}

// ---- the window itself -----------------------------------------------------

TEST_F(WindowTest, ControlsSitWhereTheLayoutPutsThem)
{
    WriteIni("[Ports]\nCOM1={A}\n");
    auto window = Create();
    EXPECT_EQ(window->objectName(), QStringLiteral("fmLoader"));
    EXPECT_EQ(window->windowTitle(),
              QStringLiteral("QR740  Programmer V3.03 (Released 15th October 2009)"));

    struct Placed {
        QWidget* widget;
        QWidget* group;
        QRect geometry;
    };
    const Placed placed[] = {
        {window->gbControl, window.get(), {8, 0, 449, 113}},
        {window->gbTarget, window.get(), {8, 112, 449, 97}},
        {window->gbState, window.get(), {8, 208, 449, 281}},
        {window->rgPort, window->gbControl, {8, 32, 105, 21}},
        {window->eBinaryFile, window->gbControl, {192, 24, 97, 21}},
        {window->sbSelectBFile, window->gbControl, {296, 24, 23, 23}},
        {window->eParameterFile, window->gbControl, {192, 56, 97, 21}},
        {window->sbSelectPFile, window->gbControl, {296, 56, 23, 23}},
        {window->cbAuto, window->gbControl, {192, 88, 97, 17}},
        {window->bExit, window->gbControl, {344, 16, 97, 25}},
        {window->bResetLoader, window->gbControl, {344, 48, 97, 25}},
        {window->bGo, window->gbControl, {344, 80, 97, 25}},
        {window->eLdrVersion, window->gbTarget, {192, 16, 177, 21}},
        {window->eNewVersion, window->gbTarget, {192, 40, 57, 21}},
        {window->eCurrentVersion, window->gbTarget, {192, 64, 57, 21}},
        {window->lState, window->gbState, {8, 16, 433, 33}},
        {window->pgUpload, window->gbState, {8, 56, 433, 193}},
    };
    for (const Placed& p : placed) {
        EXPECT_EQ(p.widget->parentWidget(), p.group) << p.widget->objectName().toStdString();
        EXPECT_EQ(p.widget->geometry(), p.geometry) << p.widget->objectName().toStdString();
    }

    // Labels sit where laid out, unless the font in use is wider than the one
    // the layout was made for; then a label ends just before its box.
    struct Label {
        QLabel* label;
        QPoint at;
        QWidget* boxAfter;
    };
    const Label labels[] = {
        {window->Label5, {48, 16}, nullptr},
        {window->Label4, {139, 32}, window->eBinaryFile},
        {window->Label3, {120, 64}, window->eParameterFile},
        {window->Label7, {112, 24}, window->eLdrVersion},
        {window->Label1, {48, 48}, window->eNewVersion},
        {window->Label2, {125, 72}, window->eCurrentVersion},
        {window->Label8, {184, 256}, nullptr},
    };
    for (const Label& l : labels) {
        SCOPED_TRACE(l.label->text().toStdString());
        EXPECT_EQ(l.label->width(), l.label->sizeHint().width()) << "labels take their text's width";
        EXPECT_EQ(l.label->y(), l.at.y());
        const bool fits = !l.boxAfter || l.at.x() + l.label->width() + 3 <= l.boxAfter->x();
        if (fits)
            EXPECT_EQ(l.label->x(), l.at.x());
        else
            EXPECT_EQ(l.label->geometry().right(), l.boxAfter->x() - 4);
    }

    QStringList entries;
    for (int i = 0; i < window->rgPort->count(); ++i)
        entries << window->rgPort->itemText(i);
    EXPECT_EQ(entries, QStringList({"Com 1", "Com 2", "Com 3", "Com 4", "Com 5", "Com 6",
                                    "Com 7", "Com 8", "Com 9", "Com 10"}));
    EXPECT_EQ(window->rgPort->maxVisibleItems(), 8);
    EXPECT_FALSE(window->rgPort->isEditable());

    for (QLineEdit* display : {window->eLdrVersion, window->eNewVersion, window->eCurrentVersion}) {
        EXPECT_TRUE(display->isReadOnly());
        EXPECT_EQ(display->focusPolicy(), Qt::NoFocus);
        EXPECT_EQ(display->palette().color(QPalette::Base), QColor(0, 255, 255));
    }
    for (QLineEdit* box : {window->eBinaryFile, window->eParameterFile})
        EXPECT_TRUE(box->isReadOnly());
    for (QToolButton* picture : {window->sbSelectBFile, window->sbSelectPFile}) {
        EXPECT_EQ(picture->focusPolicy(), Qt::NoFocus);
        EXPECT_FALSE(picture->icon().isNull());
    }
    EXPECT_EQ(window->bExit->shortcut(), QKeySequence(Qt::ALT | Qt::Key_E));
    EXPECT_EQ(window->bResetLoader->shortcut(), QKeySequence(Qt::ALT | Qt::Key_L));
    EXPECT_EQ(window->bGo->shortcut(), QKeySequence(Qt::ALT | Qt::Key_U));
    EXPECT_EQ(window->lState->font().pixelSize(), 24);
    EXPECT_TRUE(window->lState->alignment() & Qt::AlignHCenter);
}

// What the opened list shows, not the property that asks for it: some styles
// ignore the property.
TEST_F(WindowTest, PortListShowsEightEntriesAtATime)
{
    WriteIni("[Ports]\nCOM1={A}\n");
    auto window = Create();
    window->show();
    QAbstractItemView* list = window->rgPort->view();
    for (const int current : {0, 9}) {
        SCOPED_TRACE(current);
        window->rgPort->setCurrentIndex(current);
        window->rgPort->showPopup();
        ASSERT_TRUE(list->isVisible());

        QStringList shown;
        for (int row = 0; row < window->rgPort->count(); ++row) {
            const QRect place = list->visualRect(list->model()->index(row, 0));
            if (place.top() >= 0 && place.bottom() < list->viewport()->height())
                shown << window->rgPort->itemText(row);
        }
        EXPECT_EQ(shown.size(), 8) << shown.join(QStringLiteral(", ")).toStdString();
        EXPECT_TRUE(shown.contains(window->rgPort->itemText(current)));
        window->rgPort->hidePopup();
    }
}

TEST_F(WindowTest, TabVisitsTheControlsInTheirOrderSkippingTheDisplays)
{
    WriteIni("[Ports]\nCOM1={A}\n");
    auto window = Create();
    window->show();
    window->activateWindow();
    ASSERT_TRUE(WaitUntil([&] { return window->isActiveWindow(); }));

    const auto tour = [&] {
        window->cbAuto->setFocus();
        QStringList visited;
        for (int i = 0; i < 8; ++i) {
            QWidget* focus = QApplication::focusWidget();
            visited << (focus ? focus->objectName() : QStringLiteral("(none)"));
            QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
            QApplication::sendEvent(focus, &tab);
        }
        return visited;
    };

    // The unit's field, where a scanner types, closes the round.
    EXPECT_EQ(tour(), QStringList({"cbAuto", "bExit", "bResetLoader", "eParameterFile",
                                   "eBinaryFile", "rgPort", "eUnit", "cbAuto"}));
    window->bGo->setEnabled(true); // as after a version reply
    ASSERT_TRUE(window->bGo->isEnabled());
    EXPECT_EQ(tour(), QStringList({"cbAuto", "bExit", "bGo", "bResetLoader", "eParameterFile",
                                   "eBinaryFile", "rgPort", "eUnit"}));
}

} // namespace
