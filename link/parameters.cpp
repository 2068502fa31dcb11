// The parameter download: after the restart, the line is reopened at 19200
// baud, "ATCODE=1" announces the download, and each line of the parameter file
// goes out as an AT command, released by the controller's line feed. The
// download is over when the last line sent has been answered; an answer line
// "ERROR" refuses the command it answers, and a download with refusals goes on
// to its end all the same but fails.

#include "loadersession.h"

#include "sessionprivate.h"

#include <vacomm.h>

#include <climits>
#include <utility>

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
    Outstanding_.clear();
    Answer_.Reset();
    ModeRefused_ = false;
    FirstRefused_.clear();
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
        Outstanding_ = kParameterModeCommand;
        OutstandingFromFile_ = false;
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
            SendParameterLine(*line);
            return false;
        }
    }
    // A last line without LF is answered like any other; Finish gives it once.
    if (const auto line = Splitter_.Finish()) {
        SendParameterLine(*line);
        return false;
    }
    return true;
}

void TLoaderSession::SendParameterLine(const std::string& Line)
{
    if (HasUnitPlaceholder(Line) && Record_.Unit.isEmpty())
        throw EParameterError(("Parameter File Line \"" + QString::fromLatin1(Line.data(), qsizetype(Line.size())) +
                               "\" Needs A Serial Number: Give [Serial Numbers] In Loader.ini")
                                  .toStdString());
    const QByteArray unit = Record_.Unit.toUtf8();
    Outstanding_ = ParameterCommand(WithUnit(Line, std::string_view(unit.constData(), std::size_t(unit.size()))));
    OutstandingFromFile_ = true;
    Link_.ArmTimeOut();
    Link_.SendTextLine(Outstanding_);
}

void TLoaderSession::ParameterAnswered(bool refused)
{
    if (Outstanding_.empty())
        return;
    const std::string command = std::exchange(Outstanding_, {});
    if (refused && FirstRefused_.empty())
        FirstRefused_ = command;
    if (!OutstandingFromFile_)
        ModeRefused_ = ModeRefused_ || refused;
    else if (refused)
        ++Record_.ParameterLinesRefused;
    else
        ++Record_.ParameterLines;
}

QString TLoaderSession::RefusalText() const
{
    const std::uint32_t answered = Record_.ParameterLines + Record_.ParameterLinesRefused;
    const QString lines = answered == 1 ? QStringLiteral("Parameter Line") : QStringLiteral("Parameter Lines");
    const QString mode = QStringLiteral("Target Refused \"%1\"").arg(Latin1(std::string(kParameterModeCommand)));
    if (ModeRefused_ && answered == 0)
        return mode;
    if (ModeRefused_)
        return mode + QStringLiteral(" And %1 Of %2 %3").arg(Record_.ParameterLinesRefused).arg(answered).arg(lines);
    return QStringLiteral("Target Refused %1 Of %2 %3, First \"%4\"")
        .arg(Record_.ParameterLinesRefused)
        .arg(answered)
        .arg(lines, Latin1(FirstRefused_));
}

void TLoaderSession::EndParameters(TFailure failure, const QString& message)
{
    ParamFile_.reset();
    ParamsPending_ = false;
    Outstanding_.clear();
    Link_.DisarmTimeOut();
    if (failure == TFailure::None) {
        const QString complete = QStringLiteral("Parameter Load Complete");
        ShowStatus(TSessionStatus::ParameterLoadComplete, complete);
        if (FirstRefused_.empty()) {
            EndController(TOutcome::ProgrammedWithParameters, TFailure::None, complete);
            return;
        }
        // Every line went out and was answered, as the download is paced; what
        // the controller refused is not on it, and the operator is told which.
        Fail(TFailure::ParameterRefused, RefusalText());
        InstallHandler(Stage_);
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
        const auto refused = Answer_.Feed(b);
        if (!refused)
            continue;
        Link_.DisarmTimeOut();
        if (ParamsPending_)
            ParameterAnswered(*refused);
        ContinueUpload(true);
    }
}
