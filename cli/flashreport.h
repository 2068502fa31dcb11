#pragma once

// What qr740-flash tells about its run, port by port: one interface, printed
// for people (consoleprinter) or as JSON lines (jsonprinter).

#include "sessionevents.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <vector>

struct TFlashPort;

// How far one port's programming has come.
struct TFlashProgress {
    std::uint64_t Examined = 0; // blocks
    std::uint64_t Total = 0;
    std::uint64_t Sent = 0;
    double BytesPerSecond = 0;  // of the flash range walked, blank blocks included
    double SecondsLeft = -1;    // negative while unknown
};

// One controller's end, with what the record does not know itself.
struct TFlashController {
    int Number = 0;       // on its port, counted from 1
    QString NewVersion;   // the version the image carries
    TControllerRecord Record;
};

// One port's account at the end of the run.
struct TFlashPortSummary {
    QString Port;
    int Programmed = 0;
    int Failed = 0;
    bool WaitExpired = false;
};

class TFlashReport {
public:
    virtual ~TFlashReport() = default;

    virtual void Waiting(const TFlashPort& port) = 0;
    virtual void Status(const TFlashPort& port, TSessionStatus status, const QString& text) = 0;
    virtual void Progress(const TFlashPort& port, const TFlashProgress& progress) = 0;
    // The programmer's own messages and the port's failures.
    virtual void Error(const TFlashPort& port, const QString& text) = 0;
    virtual void Controller(const TFlashPort& port, const TFlashController& controller) = 0;
    // No controller announced itself within --wait.
    virtual void WaitExpired(const TFlashPort& port, double seconds) = 0;
    virtual void Done(const std::vector<TFlashPortSummary>& ports, int exitStatus) = 0;
};
