#include "messages.h"

#include "vacomm.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>

namespace {

TMessageSink& RealBoxes()
{
    static TMessageSink boxes;
    return boxes;
}

TMessageSink* currentSink = nullptr;

} // namespace

void TMessageSink::ShowError(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Error"), text, QMessageBox::Ok, parent);
    box.exec();
}

void TMessageSink::ShowException(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
    box.exec();
}

void SetMessageSink(TMessageSink* sink)
{
    currentSink = sink;
}

TMessageSink& MessageSink()
{
    return currentSink ? *currentSink : RealBoxes();
}

void ShowErrorBox(QWidget* parent, const QString& text)
{
    MessageSink().ShowError(parent, text);
}

QString ApplicationTitle()
{
    const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    return name.isEmpty() ? QCoreApplication::applicationName() : name;
}

QString ReportText(const QString& message)
{
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}

void ShowApplicationException(std::exception_ptr error)
{
    QString message;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        // Messages carry file paths and the system's error descriptions, both in
        // the locale's encoding.
        message = QString::fromLocal8Bit(e.what());
    } catch (...) {
        message = QStringLiteral("Unknown error");
    }
    ShowApplicationReport(message);
}

void ShowApplicationReport(const QString& message)
{
    MessageSink().ShowException(QApplication::activeWindow(), ApplicationTitle(),
                                ReportText(message));
}

void InstallApplicationExceptionReport()
{
    SetVaExceptionReport(&ShowApplicationException);
}
