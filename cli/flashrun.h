#pragma once

// A run of qr740-flash: one session per port, all on the calling thread, and
// the exit status over all of them.

#include "flashreport.h"
#include "flashsettings.h"
#include "portsession.h"

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

// Exit statuses; a signal gives 128 and its number, and a standard output
// whose reader has gone 141, as SIGPIPE would.
inline constexpr int kExitProgrammed = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitSetUp = 3;
inline constexpr int kExitNoController = 4;
// A controller's record could not be written to the journal by the end: it
// outranks every other status of a run, since a record lost is what a
// factory cannot mend afterwards.
inline constexpr int kExitUnrecorded = 5;

class TFlashRun : public QObject {
public:
    TFlashRun(const TFlashSettings& settings, int count, std::optional<double> waitSeconds, TFlashReport& report,
              TSessionJournal* journal);
    ~TFlashRun() override;

    // The labels every port's controllers take, in the order they identify
    // themselves; set before Start. They outlive the run.
    void SetUnitLabels(TUnitLabels* labels);

    // Opens every port; on the first that fails, closes those opened and
    // returns its error (a set-up error). Empty when all are waiting.
    QString Start();
    // Ends every port's work now (a signal, or `why`): controllers under way
    // count as interrupted. Returns the exit status 128 + signal.
    int Stop(int signal, const QString& why = {});
    // Called once, with the exit status, when every port's round is over.
    std::function<void(int status)> OnDone;

    const std::vector<std::unique_ptr<TPortSession>>& Ports() const { return ports_; }
    std::vector<TFlashPortSummary> Summaries() const;
    int ExitStatus() const;

private:
    void PortFinished();

    QString imageHeard_; // the image's digest, as the ports last heard of it; outlives them
    std::vector<std::unique_ptr<TPortSession>> ports_;
    bool done_ = false;
};
