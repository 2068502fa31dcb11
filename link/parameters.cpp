// The parameter download: after the restart, the line is reopened at 19200
// baud, "ATCODE=1" announces the download, and each line of the parameter file
// goes out as an AT command, released by the controller's line feed.

#include "loadersession.h"

#include "sessionprivate.h"

#include <vacomm.h>

#include <climits>

using namespace session_detail;

QString TLoaderSession::ParameterPath() const
{
    return Host.ParameterFolder() + Host.ParameterName() + Host.ParameterExtension();
}

bool TLoaderSession::OpenParameterFile()
{
    const QString path = ParameterPath();
    Record_.ParameterPath = path;
    auto file = std::make_unique<TParameterFile>(path);
    if (!file->IsOpen())
        return false;
    Listener.SetProgressRange(std::int32_t(std::min<std::uint64_t>(file->Size(), INT_MAX)));
    ParamFile_ = std::move(file);
    ParamsAt_ = 0;
    ParamsPending_ = true;
    Splitter_ = TParameterLineSplitter();
    return true;
}

void TLoaderSession::RestartPauseEnded()
{
    ContinueUpload(true);
}

void TLoaderSession::StartParameters()
{
    if (!OpenParameterFile()) {
        ParamsPending_ = false;
        Fail(TFailure::ParameterFile, QStringLiteral("Parameter File Not Found"));
        InstallHandler(Stage_);
        return;
    }
    SetStage(SettingParameters);
    Listener.SetProgress(0);
    ProgPort.Close();
    PauseThen(Timing_.ParameterPortPause, &TLoaderSession::OpenParameterPort);
}

void TLoaderSession::OpenParameterPort()
{
    try {
        // Opened meanwhile, by the operator's choice of another port.
        ProgPort.Close();
        ProgPort.SetBaudrate(br19200);
        ProgPort.Open();
    } catch (const EVaCommError& e) {
        FailAndReset(TFailure::PortError, PortErrorText(e));
        return;
    }
    InstallHandler(SettingParameters);
    try {
        // Each line is answered by a line feed; one that never comes ends the
        // download as an unanswered request ends the programming.
        Link_.ArmTimeOut();
        Link_.SendTextLine(kParameterModeCommand);
    } catch (const EVaCommError& e) {
        SendFailed(e);
    }
}

bool TLoaderSession::SendNextParameter()
{
    const std::vector<std::uint8_t>& content = ParamFile_->Content(kParameterFileLimit);
    Record_.ParameterSha256 = ParamFile_->Sha256();
    while (ParamsAt_ < content.size()) {
        const std::uint8_t c = content[ParamsAt_++];
        Listener.AdvanceProgress(1);
        if (const auto line = Splitter_.Feed(c)) {
            Link_.ArmTimeOut();
            SendParameterLine(*line);
            return false;
        }
    }
    if (const auto line = Splitter_.Finish())
        SendParameterLine(*line);
    return true;
}

void TLoaderSession::SendParameterLine(const std::string& Line)
{
    Link_.SendTextLine(ParameterCommand(Line));
    ++Record_.ParameterLines;
}

void TLoaderSession::EndParameters(TFailure failure, const QString& message)
{
    ParamFile_.reset();
    ParamsPending_ = false;
    Link_.DisarmTimeOut();
    if (failure == TFailure::None) {
        const QString complete = QStringLiteral("Parameter Load Complete");
        ShowStatus(TSessionStatus::ParameterLoadComplete, complete);
        EndController(TOutcome::ProgrammedWithParameters, TFailure::None, complete);
        return;
    }
    // Half the parameters are on the controller: say so, and send no more.
    ShowStatus(TSessionStatus::ParameterLoadFailed, QStringLiteral("Parameter Load Failed"));
    Fail(failure, message);
    InstallHandler(Stage_);
}

void TLoaderSession::OnRxParameterReply(TVaCustomComm*, std::int32_t)
{
    for (std::uint8_t b = 0; ReadByte(b);) {
        if (b == kLineFeed) {
            Link_.DisarmTimeOut();
            ContinueUpload(true);
        }
    }
}
