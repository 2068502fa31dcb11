#include "sessiontexts.h"

#include <array>

QString StageText(LoaderStage stage)
{
    static const std::array<const char*, 5> texts = {
        "Waiting for Target",
        "Waiting for Target ID",
        "Loading Target Loader",
        "Getting Version Information",
        "Setting Parameters",
    };
    return stage < texts.size() ? QString::fromLatin1(texts[stage]) : QString();
}

QString VersionText(std::uint16_t hundredths)
{
    return QString::asprintf("%d.%2.2d", hundredths / 100, hundredths % 100);
}

QString AddressText(std::uint32_t address)
{
    return QStringLiteral("0x") + QString::number(address, 16).toUpper();
}

const char* StatusName(TSessionStatus status)
{
    switch (status) {
    case TSessionStatus::WaitingForTarget: return "waiting-for-target";
    case TSessionStatus::WaitingForTargetId: return "waiting-for-target-id";
    case TSessionStatus::LoadingTargetLoader: return "loading-target-loader";
    case TSessionStatus::GettingVersion: return "getting-version";
    case TSessionStatus::WaitingForUploadNow: return "waiting-for-upload-now";
    case TSessionStatus::ProgrammingFlash: return "programming-flash";
    case TSessionStatus::FlashUpdateComplete: return "flash-update-complete";
    case TSessionStatus::SettingParameters: return "setting-parameters";
    case TSessionStatus::ParameterLoadComplete: return "parameter-load-complete";
    case TSessionStatus::ParameterLoadFailed: return "parameter-load-failed";
    }
    return "unknown";
}

const char* OutcomeName(TOutcome outcome)
{
    switch (outcome) {
    case TOutcome::Programmed: return "programmed";
    case TOutcome::ProgrammedWithParameters: return "programmed with parameters";
    case TOutcome::Failed: return "failed";
    case TOutcome::Interrupted: return "interrupted";
    }
    return "unknown";
}

const char* FailureName(TFailure failure)
{
    switch (failure) {
    case TFailure::None: return "";
    case TFailure::NoLoader: return "no-loader";
    case TFailure::LoaderUnreadable: return "loader-unreadable";
    case TFailure::LoaderTooLarge: return "loader-too-large";
    case TFailure::NoResponse: return "no-response";
    case TFailure::EraseRefused: return "erase-refused";
    case TFailure::BlockRefused: return "block-refused";
    case TFailure::RestartRefused: return "restart-refused";
    case TFailure::UnusableGeometry: return "unusable-geometry";
    case TFailure::ImageUnusable: return "image-unusable";
    case TFailure::ParameterFile: return "parameter-file";
    case TFailure::PortError: return "port-error";
    case TFailure::ParameterRefused: return "parameter-refused";
    }
    return "unknown";
}
