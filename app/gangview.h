#pragma once

// The gang view: one tile per mapped port whose adapter is present, each
// programming every controller that announces itself until stopped, with the
// same sessions as qr740-flash's gang. [Ports] maps ten COM numbers; a bench
// with more adapters gets a tile for each device no number opens, named by its
// path and left unticked until the technician ticks it ([Gang] Devices= keeps
// the ticks). All ports run on the window's thread and none waits for another;
// the journal writes on its own thread. A failure shows in its tile and in the
// log, never in a box.

#include "flashreport.h"
#include "flashsettings.h"
#include "loadersession.h"
#include "serialports.h"
#include "sessionjournal.h"

#include <QFrame>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QGridLayout;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class TPortSession;

// What the view takes from its surroundings; tests shorten the waits.
struct TGangEnvironment {
    // Folder holding Loader.ini, as the window resolves it.
    QString folder{};
    TSessionTiming timing{};
    // Ctrl+G: the single-port window instead. Unset: the view stays.
    std::function<void()> openSingle{};
    // The serial devices present. Unset: this machine's, which leave out the
    // pseudo-terminals tests stand adapters in with.
    std::function<std::vector<TSerialPort>()> devices{};
};

// How a tile's last outcome reads: the words carry it, the colour repeats it.
enum class TTileOutcome { Waiting, Programmed, Failed, Interrupted, NoAdapter, Stopped };

class TGangTile : public QFrame {
public:
    TGangTile(const TFlashPort& port, QWidget* parent);

    const TFlashPort Port;
    // A device no COM number opens: the path [Gang] Devices= keeps its tick
    // by, one that names the adapter wherever it is plugged in. Empty for a
    // COM number.
    std::string KeptAs;
    QCheckBox* cbUse = nullptr; // "COM3": ticked ports take part in the "all" actions
    QLabel* lDevice = nullptr;
    QLabel* lStage = nullptr;
    QProgressBar* pbProgress = nullptr;
    QLabel* lIdentity = nullptr;
    QLabel* lOutcome = nullptr;
    QLabel* lCounts = nullptr;
    QPushButton* bStart = nullptr;
    QPushButton* bStop = nullptr;
    QPushButton* bReset = nullptr;

    int Programmed = 0;
    int Failed = 0;
    TTileOutcome Outcome = TTileOutcome::Waiting;
    // The port's session while it runs; a stopped one is let go at once.
    std::unique_ptr<TPortSession> Session;

    void ShowOutcome(TTileOutcome outcome, const QString& text);
    void ShowCounts();
    // Who is on the line, as far as it is known.
    void ShowIdentity(const TControllerRecord& record);
    // The controller identified last, for what it says later.
    TControllerRecord Identity;
};

class TfmGang : public QWidget, private TFlashReport {
public:
    explicit TfmGang(TGangEnvironment environment = {}, QWidget* parent = nullptr);
    ~TfmGang() override;

    const std::vector<TGangTile*>& Tiles() const { return tiles_; }
    // Starts the port's session (it waits for a controller at 9600 baud),
    // stops it, or stops and starts it again, back at the handshake.
    void StartPort(TGangTile& tile);
    void StopPort(TGangTile& tile);
    void ResetPort(TGangTile& tile);
    // The same for every ticked port.
    void StartAll();
    void StopAll();
    void ResetAll();

    // Today's counts and yield, and the journal's forwarding.
    QLabel* lToday = nullptr;
    QLabel* lForwarding = nullptr;
    // What went wrong where, a timestamped line each.
    QPlainTextEdit* mLog = nullptr;
    QPushButton* bStartAll = nullptr;
    QPushButton* bStopAll = nullptr;
    QPushButton* bResetAll = nullptr;
    QPushButton* bSingle = nullptr;

    std::unique_ptr<TSessionJournal> Journal;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void CreateControls();
    void Reflow();
    // Stops every port and waits for the journal; once.
    void Shut();
    // Keeps the ticks of the devices no COM number opens in Loader.ini.
    void KeepTicks();
    void Log(const QString& port, const QString& text);
    void ShowToday();
    void ShowForwarding();
    TGangTile* TileOf(const TFlashPort& port) const;
    // Lets a stopped session go: its record is with the journal, its line
    // closed, and nothing calls it back.
    void Release(TGangTile& tile);

    // What the sessions tell.
    void Waiting(const TFlashPort& port) override;
    void Status(const TFlashPort& port, TSessionStatus status, const QString& text) override;
    void WaitingForUnit(const TFlashPort& port) override;
    void Identified(const TFlashPort& port, const TControllerRecord& record) override;
    void Progress(const TFlashPort& port, const TFlashProgress& progress) override;
    void Error(const TFlashPort& port, const QString& text) override;
    void Controller(const TFlashPort& port, const TFlashController& controller) override;
    void ImageChanged(const TFlashPort& port, const QString& before, const QString& now) override;
    void WaitExpired(const TFlashPort& port, double seconds) override;
    void Done(const std::vector<TFlashPortSummary>& ports, int exitStatus) override;
    void JournalWrite(const QString& error, const std::filesystem::path& journal) override;
    void Forwarding(const TForwardingState& state, bool atEnd) override;

    TGangEnvironment environment_;
    TFlashSettings settings_;
    QString setUpError_; // the settings cannot be programmed with: why
    QString imageHeard_; // shared by the ports, so that a change is said once
    std::vector<TGangTile*> tiles_;
    QWidget* tileArea_ = nullptr;
    QGridLayout* grid_ = nullptr;
    int columns_ = 0;
    std::optional<TJournalSummary> today_;
    QString journalError_;
    QTimer* look_ = nullptr;
    int looks_ = 0;
    std::string iniPath_;
    // [Gang] Devices= as read: ticks of devices not present now are kept.
    std::vector<std::string> keptTicks_;
    bool closing_ = false;
};
