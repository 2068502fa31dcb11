#pragma once

// What the operator is told, and the application's report of errors that escape
// an operation. Every message box of the program goes through one sink, so a test
// can record the boxes instead of answering them.

#include <QString>

#include <exception>
#include <utility>

class QWidget;

class TMessageSink {
public:
    virtual ~TMessageSink() = default;
    // The programmer's own errors: a modal box captioned "Error", warning icon, OK.
    virtual void ShowError(QWidget* parent, const QString& text);
    // An error that escaped an operation: a modal box with a stop icon.
    virtual void ShowException(QWidget* parent, const QString& title, const QString& text);
};

// The sink in use; nullptr puts the real message boxes back.
void SetMessageSink(TMessageSink* sink);
TMessageSink& MessageSink();

// The programmer's own error box.
void ShowErrorBox(QWidget* parent, const QString& text);

// The executable's name, used as the title of the top-level error report.
QString ApplicationTitle();

// A full stop is added when the message's last character comes after "." in the
// character set, so a message ending in a letter or digit reads as a sentence
// while one ending in a bracket or a full stop is left alone.
QString ReportText(const QString& message);

// The top-level report: the error's message, by the rule above, in the stop box.
// The program carries on afterwards.
void ShowApplicationException(std::exception_ptr error);
// The same box for a message already taken from its error.
void ShowApplicationReport(const QString& message);

// Makes the serial component send exceptions from its event handlers to the
// top-level report.
void InstallApplicationExceptionReport();

// Runs one handler; an exception that escapes it goes to the top-level report and
// goes no further, so the event loop carries on.
template <typename Handler>
void RunReported(Handler&& handler) noexcept
{
    try {
        std::forward<Handler>(handler)();
    } catch (...) {
        ShowApplicationException(std::current_exception());
    }
}
