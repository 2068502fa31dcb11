#include "flashrun.h"

#include <csignal>
#include <cstring>

TFlashRun::TFlashRun(const TFlashSettings& settings, int count, std::optional<double> waitSeconds,
                     TFlashReport& report, TSessionJournal* journal)
{
    imageHeard_ = settings.ImageSha256;
    for (const TFlashPort& port : settings.Ports) {
        auto session = std::make_unique<TPortSession>(port, settings, count, waitSeconds, report, journal);
        session->ShareImageDigest(imageHeard_);
        session->OnFinished = [this] { PortFinished(); };
        ports_.push_back(std::move(session));
    }
}

TFlashRun::~TFlashRun() = default;

void TFlashRun::SetUnitLabels(TUnitLabels* labels)
{
    for (auto& port : ports_)
        port->SetUnitLabels(labels);
    labels->OnExhausted = [this] {
        for (auto& port : ports_)
            port->LabelsEnded();
    };
}

QString TFlashRun::Start()
{
    for (auto& port : ports_) {
        try {
            port->Start();
        } catch (const EVaCommError& e) {
            done_ = true; // nothing of this run is reported as done
            for (auto& other : ports_)
                other->Stop(QStringLiteral("A port could not be opened"));
            return port->Port().Name + QStringLiteral(": ") +
                   PortOpenText(port->Port(), QString::fromLocal8Bit(e.what()));
        }
    }
    return {};
}

int TFlashRun::ExitStatus() const
{
    bool failed = false;
    bool expired = false;
    for (const auto& port : ports_) {
        const TFlashPortSummary summary = port->Summary();
        failed = failed || summary.Failed > 0;
        expired = expired || summary.WaitExpired;
    }
    // A controller that failed is the news a script must not miss; a port
    // that saw fewer controllers than asked comes next.
    return failed ? kExitFailed : expired ? kExitNoController : kExitProgrammed;
}

void TFlashRun::PortFinished()
{
    if (done_)
        return;
    for (const auto& port : ports_) {
        if (!port->Finished())
            return;
    }
    done_ = true;
    if (OnDone)
        OnDone(ExitStatus());
}

std::vector<TFlashPortSummary> TFlashRun::Summaries() const
{
    std::vector<TFlashPortSummary> summaries;
    for (const auto& port : ports_)
        summaries.push_back(port->Summary());
    return summaries;
}

int TFlashRun::Stop(int signal, const QString& why)
{
    const char* name = sigabbrev_np(signal);
    QString text = why;
    if (text.isEmpty())
        text = name ? QStringLiteral("Interrupted by SIG%1").arg(QString::fromLatin1(name))
                    : QStringLiteral("Interrupted by signal %1").arg(signal);
    done_ = true;
    for (auto& port : ports_)
        port->Stop(text);
    return 128 + signal;
}
