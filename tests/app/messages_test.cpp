#include "messages.h"

#include "modal_answer.h"
#include "recording_sink.h"
#include "vacomm.h"

#include <QAbstractButton>
#include <QMessageBox>

#include <gtest/gtest.h>

namespace {

TEST(ReportText, AddsAFullStopAfterCharactersThatComeAfterIt)
{
    const std::pair<QString, QString> cases[] = {
        {"Can't open device COM3", "Can't open device COM3."},
        {"Invalid port number (COM3)", "Invalid port number (COM3)"},
        {"Unable to write to /opt/qr740/Loader.ini", "Unable to write to /opt/qr740/Loader.ini."},
        {"Write error (9), Bad file descriptor", "Write error (9), Bad file descriptor."},
        {"Already a sentence.", "Already a sentence."},
        {"ends in a dash -", "ends in a dash -"},   // '-' comes before '.'
        {"ends in a slash /", "ends in a slash /."}, // '/' comes after '.'
        {"ends in a blank ", "ends in a blank "},
        {QString::fromLatin1("caf\xE9"), QString::fromLatin1("caf\xE9.")},
        {"", ""},
    };
    for (const auto& [message, shown] : cases)
        EXPECT_EQ(ReportText(message), shown) << message.toStdString();
}

TEST(RunReported, ShowsTheEscapedErrorAndCarriesOn)
{
    TRecordingSink sink;
    bool after = false;
    RunReported([&] {
        throw EVaCommError("Can't open device COM3");
        after = true;
    });
    RunReported([] { throw 42; });
    RunReported([] {});

    EXPECT_FALSE(after) << "the rest of the handler must not run";
    ASSERT_EQ(sink.boxes.size(), 2u);
    EXPECT_EQ(sink.boxes[0].kind, TShownBox::Exception);
    EXPECT_EQ(sink.boxes[0].title, QStringLiteral("app_window_test"));
    EXPECT_EQ(sink.boxes[0].text, QStringLiteral("Can't open device COM3."));
    EXPECT_EQ(sink.boxes[1].text, QStringLiteral("Unknown error."));
}

TEST(RunReported, ReceivesErrorsFromThePortsEventHandlers)
{
    TRecordingSink sink;
    InstallApplicationExceptionReport();
    VaReportException(std::make_exception_ptr(EVaCommError("Error retrieving statistics (5), Input/output error")));
    EXPECT_EQ(sink.Texts(),
              std::vector<std::string>{"Error retrieving statistics (5), Input/output error."});
}

struct ShownMessageBox {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
};

ShownMessageBox Answer(QMessageBox* box)
{
    ShownMessageBox shown{box->icon(), box->windowTitle(), box->text(), box->standardButtons()};
    box->button(QMessageBox::Ok)->click();
    return shown;
}

TEST(MessageBoxes, TheTopLevelReportIsAStopBoxTitledWithTheProgramsName)
{
    ShownMessageBox shown;
    TModalAnswer<QMessageBox> answer([&](QMessageBox* box) { shown = Answer(box); });
    RunReported([] { throw EVaCommError("Can't open device COM3"); });

    ASSERT_TRUE(answer.Answered());
    EXPECT_EQ(shown.icon, QMessageBox::Critical);
    EXPECT_EQ(shown.title, QStringLiteral("app_window_test"));
    EXPECT_EQ(shown.text, QStringLiteral("Can't open device COM3."));
    EXPECT_EQ(shown.buttons, QMessageBox::Ok);
}

TEST(MessageBoxes, TheProgrammersOwnErrorsAreWarningsCaptionedError)
{
    ShownMessageBox shown;
    TModalAnswer<QMessageBox> answer([&](QMessageBox* box) { shown = Answer(box); });
    ShowErrorBox(nullptr, QStringLiteral("No Loader Defined"));

    ASSERT_TRUE(answer.Answered());
    EXPECT_EQ(shown.icon, QMessageBox::Warning);
    EXPECT_EQ(shown.title, QStringLiteral("Error"));
    EXPECT_EQ(shown.text, QStringLiteral("No Loader Defined"));
    EXPECT_EQ(shown.buttons, QMessageBox::Ok);
}

} // namespace
