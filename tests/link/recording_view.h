#pragma once

// A window stand-in for the conversation: it records what the conversation
// shows, answers what it asks from fields a test sets, and notes the pauses,
// which InstantPauses() makes take no time.

#include "loadersession.h"
#include "sessionevents.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// The conversation's pauses for tests: a few milliseconds each, and each of its
// own length, so that a test can tell which pause was taken. The reply time-out
// stays as the program has it unless a test shortens it.
inline constexpr std::chrono::milliseconds kTestResetPause{3};
inline constexpr std::chrono::milliseconds kTestRestartPause{2};
inline constexpr std::chrono::milliseconds kTestParameterPortPause{1};

inline TSessionTiming InstantPauses()
{
    TSessionTiming timing;
    timing.ResetPause = kTestResetPause;
    timing.RestartPause = kTestRestartPause;
    timing.ParameterPortPause = kTestParameterPortPause;
    return timing;
}

class TRecordingView : public TSessionHost, public TSessionListener {
public:
    void StatusChanged(TSessionStatus value, const QString& text) override
    {
        status = value;
        state = text;
        states.push_back(text.toStdString());
    }
    void ShowLoaderVersion(const QString& text) override { loaderVersion = text; }
    void ShowCurrentVersion(const QString& text) override { currentVersion = text; }
    void EnableUploadNow(bool enabled) override { uploadNow = enabled; }
    void SetProgressRange(std::int32_t value) override
    {
        maxValue = value;
        progress = std::min(progress, maxValue);
    }
    void SetProgress(std::int32_t value) override
    {
        const std::int32_t clamped = std::clamp(value, 0, maxValue);
        if (clamped < progress && value != 0)
            needleWentBack = true;
        progress = clamped;
    }
    void AdvanceProgress(std::int32_t step) override { SetProgress(progress + step); }
    void ShowError(const QString& text) override
    {
        errors.push_back(text.toStdString());
        if (onError)
            onError();
    }

    void ShowPortError(const QString& text) override
    {
        portErrors.push_back(text.toStdString());
        if (onPortError)
            onPortError();
    }

    bool AutoProgram() const override { return autoProgram; }
    QString ImageFolder() const override { return folder; }
    QString ImageName() const override { return imageName; }
    QString ImageExtension() const override { return imageExtension; }
    QString ParameterFolder() const override { return folder; }
    QString ParameterName() const override { return parameterName; }
    QString ParameterExtension() const override { return parameterExtension; }
    QString LoaderFor(const std::string& targetId) const override
    {
        if (onLoaderLookup)
            onLoaderLookup();
        const auto found = loaders.find(targetId);
        return found == loaders.end() ? QString() : found->second;
    }
    QString ProgramFolder() const override { return folder; }
    TUnitAnswer UnitOfController() const override
    {
        ++unitAsked;
        return unitAnswers.empty() ? TUnitAnswer{} : unitAnswers[std::min(unitAsked, unitAnswers.size()) - 1];
    }
    void Pausing(std::chrono::milliseconds period) override
    {
        pauses.push_back(period);
        // The reset's pause comes once it has entered the first stage; the
        // parameter speed's pause, of the same length, comes in its own stage.
        if (period == kTestResetPause && state == StageText(WaitingForTarget))
            ++resets;
    }

    // What the conversation read.
    bool autoProgram = false;
    QString folder; // with its trailing separator
    QString imageName;
    QString imageExtension = QStringLiteral(".bin");
    QString parameterName;
    QString parameterExtension = QStringLiteral(".par");
    std::map<std::string, QString> loaders; // identification -> loader file
    // The front end's answers about the unit, one per question; the last
    // one stands from then on.
    std::vector<TUnitAnswer> unitAnswers;
    mutable std::size_t unitAsked = 0;
    std::function<void()> onLoaderLookup;
    std::function<void()> onError;
    std::function<void()> onPortError;

    void ControllerStarted() override { ++started; }
    void ControllerEnded(const TControllerRecord& record) override { records.push_back(record); }

    // What it showed.
    TSessionStatus status = TSessionStatus::WaitingForTarget;
    QString state;
    std::vector<std::string> states;
    QString loaderVersion;
    QString currentVersion;
    bool uploadNow = false;
    std::int32_t maxValue = 100;
    std::int32_t progress = 0;
    bool needleWentBack = false; // moved down other than by a restart at 0
    std::vector<std::string> errors;
    std::vector<std::string> portErrors;
    std::vector<std::chrono::milliseconds> pauses;
    int resets = 0;
    int started = 0;
    std::vector<TControllerRecord> records;
};
