#pragma once

// qr740-flash's account for programs: one JSON object per line on standard
// output, each with "time" (UTC, ISO 8601), "port" and "event". The README
// lists every event and field.

#include "flashoutput.h"
#include "flashreport.h"

#include <QJsonObject>

#include <cstdio>

class TJsonPrinter : public TFlashReport {
public:
    // Errors also go to standard error as text, as the console printer puts them.
    explicit TJsonPrinter(TFlashOutput& out);

    void Waiting(const TFlashPort& port) override;
    void Status(const TFlashPort& port, TSessionStatus status, const QString& text) override;
    void WaitingForUnit(const TFlashPort& port) override;
    void Progress(const TFlashPort& port, const TFlashProgress& progress) override;
    void Error(const TFlashPort& port, const QString& text) override;
    void Controller(const TFlashPort& port, const TFlashController& controller) override;
    void ImageChanged(const TFlashPort& port, const QString& before, const QString& now) override;
    void WaitExpired(const TFlashPort& port, double seconds) override;
    void Done(const std::vector<TFlashPortSummary>& ports, int exitStatus) override;
    void JournalWrite(const QString& error, const std::filesystem::path& journal) override;
    void Forwarding(const TForwardingState& state, bool atEnd) override;

private:
    void Emit(const TFlashPort* port, const char* event, QJsonObject fields, bool progress = false);
    void Tell(const TFlashPort* port, const QString& text);

    TFlashOutput& out_;
};

// A controller's record as the "controller" event carries it.
QJsonObject RecordJson(const TFlashController& controller);
// UTC, ISO 8601 with milliseconds: 2026-12-10T23:40:01.123Z
QString UtcText(std::chrono::system_clock::time_point at);
