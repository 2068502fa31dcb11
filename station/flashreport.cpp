#include "flashreport.h"

#include <QFile>

namespace {

QString Records(std::uint64_t count)
{
    return count == 1 ? QStringLiteral("1 record") : QStringLiteral("%1 records").arg(count);
}

} // namespace

QString ImageChangedText(const QString& before, const QString& now)
{
    return QStringLiteral("the image file has changed since the run began (SHA-256 %1, was %2); "
                          "the controllers from here on get it as it is now")
        .arg(now, before);
}

QString JournalWriteText(const QString& error, const std::filesystem::path& journal)
{
    if (error.isEmpty())
        return QStringLiteral("the journal %1 takes records again").arg(QFile::decodeName(journal.c_str()));
    return error + QStringLiteral(" (the records are kept and tried again)");
}

QString ForwardingText(const TForwardingState& state, bool atEnd)
{
    const TJournalForwarderStatus& s = state.Status;
    const QString server = QString::fromStdString(state.Server);
    if (atEnd) {
        // What is really so: the file keeps them, and any program that
        // forwards this journal sends them, this one's next run or another.
        QString text = QStringLiteral("%1 not yet on %2").arg(Records(s.Waiting), server);
        if (!s.LastError.empty())
            text += QStringLiteral(" (%1)").arg(QString::fromStdString(s.LastError));
        return text + QStringLiteral("; they stay in the journal %1 and go when a program forwarding it next "
                                     "reaches the server")
                          .arg(QFile::decodeName(state.Journal.c_str()));
    }
    if (s.LastError.empty())
        return QStringLiteral("%1 reached again: %2 forwarded, %3 waiting")
            .arg(server, Records(s.Forwarded))
            .arg(s.Waiting);
    return QStringLiteral("%1; %2 waiting for it").arg(QString::fromStdString(s.LastError), Records(s.Waiting));
}
