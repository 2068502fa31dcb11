#pragma once

// The programmer's one window. It holds the application's state as fields and its
// logic as handlers, named after the controls they serve. Every handler runs on
// the user-interface thread, and an exception that escapes one goes to the
// application's top-level report (messages.h); the window carries on.

#include "inifile.h"
#include "loadersession.h"
#include "sessionjournal.h"
#include "unitsettings.h"
#include "programmerport.h"
#include "needlegauge.h"
#include "portmap.h"
#include "vacomm.h"

#include <QString>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QToolButton;

enum TCloseAction : std::uint8_t { caNone, caHide, caFree, caMinimize };

// How long a port change leaves the old port closed before opening the new one,
// so that the adapter and its driver have let go of the line.
inline constexpr std::chrono::milliseconds kPortChangePause{1000};

// What the window takes from its surroundings. The defaults are the running
// program's; tests give each window its own folder, a port change that returns
// at once, and shorter waits.
struct TLoaderEnvironment {
    // Folder holding Loader.ini; empty means the executable's folder.
    QString folder{};
    // Blocks the user-interface thread for the given time (the port change).
    std::function<void(std::chrono::milliseconds)> pause{};
    // The conversation's durations.
    TSessionTiming timing{};
    // Told of each pause of the conversation as it begins.
    std::function<void(std::chrono::milliseconds)> sessionPaused{};
    // Ctrl+G and bGang: the gang view instead. Unset: neither is offered.
    std::function<void()> openGang{};
};

class TfmLoader : public QWidget, private TSessionHost, private TSessionListener {
public:
    // Builds the controls and runs FormCreate before the window is first shown.
    explicit TfmLoader(TLoaderEnvironment environment = {}, QWidget* parent = nullptr);
    ~TfmLoader() override;

    // Handlers. Each takes the object that raised it.
    void FormCreate(QObject* Sender);
    void FormClose(QObject* Sender, TCloseAction& Action);
    void rgPortChange(QObject* Sender);
    void cbAutoClick(QObject* Sender);
    void bGoClick(QObject* Sender);
    void bResetLoaderClick(QObject* Sender);
    void bExitClick(QObject* Sender);
    void sbSelectBFileClick(QObject* Sender);
    void sbSelectPFileClick(QObject* Sender);

    // Enters a stage of the conversation.
    void SetStage(LoaderStage stage);
    LoaderStage Stage() const { return Session->Stage(); }
    // Opens ProgPort on the device mapped to its PortNum. The device is resolved
    // here, once per port choice: the conversation reopens the port without
    // going back to the settings file.
    void OpenProgPort();

    // Settings file, open from FormCreate to FormClose.
    std::unique_ptr<TIniFile> Ini;
    // The record of every controller's session; none when the journal could
    // not be opened (the operator was told, and programming goes on).
    std::unique_ptr<TSessionJournal> Journal;
    // Folders, with a trailing separator, in which the image and the parameter
    // file are looked for.
    QString BinaryFolder;
    QString ParamFolder;
    // Extensions, with their dot, that complete folder and name to the image and
    // the parameter file: the chosen file's own, in its letter case, so that
    // FW00303.BIN is not looked for as FW00303.bin.
    QString BinaryExtension = QStringLiteral(".bin");
    QString ParamExtension = QStringLiteral(".par");

    TVaComm ProgPort;
    // The conversation with the controller. Declared after the port it talks
    // through, so that it is gone before the port is.
    std::unique_ptr<TLoaderSession> Session;

    QGroupBox* gbControl = nullptr;
    QLabel* Label5 = nullptr;
    QComboBox* rgPort = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* eBinaryFile = nullptr;
    QToolButton* sbSelectBFile = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* eParameterFile = nullptr;
    QToolButton* sbSelectPFile = nullptr;
    QCheckBox* cbAuto = nullptr;
    QPushButton* bExit = nullptr;
    QPushButton* bResetLoader = nullptr;
    QPushButton* bGo = nullptr;

    QGroupBox* gbTarget = nullptr;
    QLabel* Label7 = nullptr;
    QLineEdit* eLdrVersion = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* eNewVersion = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* eCurrentVersion = nullptr;
    // The unit: a label a barcode scanner types in (ending with Enter), taken by
    // the next controller that identifies itself and cleared when it ends; or,
    // with [Serial Numbers], the number the journal gave the controller last.
    QLabel* lUnit = nullptr;
    QLineEdit* eUnit = nullptr;

    QGroupBox* gbState = nullptr;
    QLabel* lState = nullptr;
    TNeedleGauge* pgUpload = nullptr;
    QLabel* Label8 = nullptr;

    // Which device the chosen port opens, and whether it is there: beside the
    // port list when the window is wide enough for it, and in the entries' tool
    // tips always.
    QLabel* lPortDevice = nullptr;
    // Under it, on the same terms: the gang view (also Ctrl+G).
    QPushButton* bGang = nullptr;
    // Under the gauge: today's counts from the journal, an image that changed
    // on disk, and, when the records are forwarded to a server, how many wait
    // for it, and why, when it cannot be reached. Never a box.
    QLabel* lJournal = nullptr;
    // Looks at the serial devices present again and shows, for each COM number,
    // which device it opens.
    void RefreshPortLabels();
    // Maps COM `com` to `port`, one of the devices present: [Ports] gets its
    // COMn= line and nothing else changes. The chosen port is opened anew on it.
    void MapPortTo(std::int32_t com, const TSerialPort& port);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void ConnectHandlers();
    // The port list's context menu: map the chosen COM number to an adapter.
    void ShowPortMenu(const QPoint& at);
    // Runs the file-open dialog for one kind of file; empty when cancelled.
    QString ChooseFile(const QString& dialogName, const QString& filter, const QString& folder);

    // What the conversation shows.
    void StatusChanged(TSessionStatus status, const QString& text) override;
    void ShowLoaderVersion(const QString& text) override;
    void ShowCurrentVersion(const QString& text) override;
    void EnableUploadNow(bool enabled) override;
    void SetProgressRange(std::int32_t maxValue) override;
    void SetProgress(std::int32_t value) override;
    void AdvanceProgress(std::int32_t step) override;
    void ShowError(const QString& text) override;
    void ShowPortError(const QString& text) override;
    void Pausing(std::chrono::milliseconds period) override;
    void ControllerStarted() override;
    void ControllerIdentified(const TControllerRecord& record) override;
    // [Serial Numbers]: read when the window starts, checked against the journal.
    void ReadUnits();
    void ControllerEnded(const TControllerRecord& record) override;
    void ImageChanged(const QString& before, const QString& now) override;
    TJournalContext JournalContext() const;
    // A journal that fails is told once, in an "Error" box, until it works again.
    void JournalFailed(const QString& text);
    void ShowForwarding();
    // What it reads.
    bool AutoProgram() const override;
    QString ImageFolder() const override;
    QString ImageName() const override;
    QString ImageExtension() const override;
    QString ParameterFolder() const override;
    QString ParameterName() const override;
    QString ParameterExtension() const override;
    QString LoaderFor(const std::string& targetId) const override;
    QString ProgramFolder() const override;
    TUnitAnswer UnitOfController() const override { return unit_; }
    TImageExpectation ExpectedImage() const override;

    QString folder_;
    std::string device_; // the device the chosen port maps to
    TPortSurvey survey_; // the devices present when last looked at
    bool journalFailing_ = false;
    QString journalError_;   // the last failure to write a record
    std::string journalId_;  // the record of the controller under way
    std::optional<TUnitSeries> unitSeries_; // [Serial Numbers], when sound
    TUnitAnswer unit_;                       // of the controller under way
    QString labelTaken_;                     // the label it took from eUnit
    QString unitSettingsError_;              // [Serial Numbers] cannot be used: why
    std::uint64_t identified_ = 0;           // controllers identified so far
    QTimer* forwardingLook_ = nullptr;
    QTimer* countLook_ = nullptr;
    std::optional<TJournalCounts> today_; // as the journal's thread last counted
    QString imagePin_;   // [Binary] SHA256=; empty: none
    QString imageHeard_; // without a pin, the image's digest as last read
    QString imageNotice_; // the image changed on disk, said under the gauge
    std::function<void(std::chrono::milliseconds)> pause_;
    std::function<void(std::chrono::milliseconds)> sessionPaused_;
    std::function<void()> openGang_;
};
