#pragma once

// One port of qr740-flash: its line, its conversation, and the round of
// controllers it programs one after another. Several run side by side on one
// thread; none waits for the line or for another.

#include "flashreport.h"
#include "flashsettings.h"
#include "loadersession.h"
#include "sessionjournal.h"
#include "unitlabels.h"

#include <vacomm.h>

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class TPortSession : public QObject, private TSessionHost, private TSessionListener {
public:
    // `count` controllers, one after another; 0: until stopped. `wait` limits
    // each wait for a controller's handshake.
    // `journal` (none: no record kept) outlives the session.
    TPortSession(TFlashPort port, const TFlashSettings& settings, int count, std::optional<double> waitSeconds,
                 TFlashReport& report, TSessionJournal* journal);
    ~TPortSession() override;

    // Opens the port and waits for the first controller. Raises EVaCommError
    // when the port cannot be opened.
    void Start();
    // Ends the port's work at once: a controller under way counts as
    // interrupted, for `why`; the port is let go.
    void Stop(const QString& why);

    bool Finished() const { return finished_; }
    TFlashPortSummary Summary() const;
    const TFlashPort& Port() const { return port_; }
    // Called once, when the port's round is over.
    std::function<void()> OnFinished;

    TLoaderSession& Session() { return *session_; }
    TVaComm& Line() { return line_; }
    // The image digest last heard of, shared by the ports of a run so that a
    // change is said once; outlives the session. Until set, its own.
    void ShareImageDigest(QString& heard) { imageHeard_ = &heard; }
    // The labels the port's controllers take, shared with the ports of the
    // gang; none: no labels. Set before Start; they outlive the session.
    void SetUnitLabels(TUnitLabels* labels) { labels_ = labels; }
    // The labels have all been given: the port takes no further controller.
    void LabelsEnded();

    // Which program keeps the records: qr740-flash's own unless told.
    void SetFrontEnd(std::string_view frontEnd) { frontEnd_ = frontEnd; }

    // Durations of the conversation; tests shorten the pauses.
    void SetTiming(const TSessionTiming& timing) { session_->SetTiming(timing); }

private:
    // What the session asks.
    bool AutoProgram() const override { return true; }
    QString ImageFolder() const override;
    QString ImageName() const override;
    QString ImageExtension() const override;
    QString ParameterFolder() const override;
    QString ParameterName() const override;
    QString ParameterExtension() const override;
    QString LoaderFor(const std::string& targetId) const override;
    QString ProgramFolder() const override;
    TImageExpectation ExpectedImage() const override;
    TUnitAnswer UnitOfController() const override { return unit_; }
    // A port whose count is reached takes no further controller, also in the
    // moment before its round is ended.
    bool TakesController() const override { return !finished_ && (count_ == 0 || controllers_ < count_); }

    // What it tells.
    void StatusChanged(TSessionStatus status, const QString& text) override;
    void BlocksDone(std::uint64_t examined, std::uint64_t total, std::uint64_t sent) override;
    void ShowError(const QString& text) override;
    void ShowPortError(const QString& text) override;
    void ControllerStarted() override;
    void ControllerIdentified(const TControllerRecord& record) override;
    void ControllerEnded(const TControllerRecord& record) override;
    void ImageChanged(const QString& before, const QString& now) override;
    TJournalContext JournalContext() const;

    // After a controller: the next one, or the end of the round.
    void ControllerDone();
    // The controller identified last gets its unit: the series' next number,
    // or the next label.
    void AskForUnit(TControllerRecord& underWay);
    // No controller more: the round ends once the line has drained.
    void EndRound(const QString& why);
    void StartWaiting();
    // Runs the --wait timer towards waitUntil_; false once it has passed.
    bool ArmWaitLimit();
    // Calls `then` once what was written has left for the line (bounded), so
    // that the last parameter line is not dropped by the reset or the close.
    void AfterOutputDrains(std::function<void()> then);
    void Finish();

    TFlashPort port_;
    const TFlashSettings& settings_;
    const int count_;
    const std::optional<double> waitSeconds_;
    TFlashReport& report_;
    TSessionJournal* journal_;
    TVaComm line_;
    std::unique_ptr<TLoaderSession> session_;
    QTimer waitLimit_;
    std::chrono::steady_clock::time_point waitUntil_;
    QTimer drain_;
    std::function<void()> afterDrain_;
    std::chrono::steady_clock::time_point drainUntil_;
    // The upload's pace: when its first and its latest block went out, and
    // how many had gone out by then.
    std::chrono::steady_clock::time_point firstSentAt_;
    std::chrono::steady_clock::time_point lastSentAt_;
    std::uint64_t blocksSent_ = 0;
    std::optional<TSessionStatus> lastStatus_; // the last one reported
    std::string journalId_; // the record of the controller under way
    QString ownImageHeard_;
    QString* imageHeard_ = &ownImageHeard_;
    TUnitLabels* labels_ = nullptr;
    std::string_view frontEnd_ = kFrontEndCommandLine;
    TUnitAnswer unit_;               // of the controller under way
    std::uint64_t identified_ = 0;   // controllers identified, for answers that come late
    std::uint64_t labelRequest_ = 0; // a label asked for and not given yet
    bool underWay_ = false;          // between a controller's start and its end

    int controllers_ = 0;
    int programmed_ = 0;
    int failed_ = 0;
    bool waitExpired_ = false;
    bool finished_ = false;
    bool stopping_ = false;
};
