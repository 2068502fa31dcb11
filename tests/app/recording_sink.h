#pragma once

// Records the message boxes the program would show, so a test can check them
// without a box waiting for an answer.

#include "messages.h"

#include <QString>

#include <string>
#include <vector>

struct TShownBox {
    enum Kind { Error, Exception } kind;
    QString title;
    QString text;
};

class TRecordingSink : public TMessageSink {
public:
    TRecordingSink() { SetMessageSink(this); }
    ~TRecordingSink() override { SetMessageSink(nullptr); }
    TRecordingSink(const TRecordingSink&) = delete;
    TRecordingSink& operator=(const TRecordingSink&) = delete;

    void ShowError(QWidget*, const QString& text) override
    {
        boxes.push_back({TShownBox::Error, QStringLiteral("Error"), text});
    }
    void ShowException(QWidget*, const QString& title, const QString& text) override
    {
        boxes.push_back({TShownBox::Exception, title, text});
    }

    // The texts shown, in order, for a compact comparison.
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const TShownBox& box : boxes)
            texts.push_back(box.text.toStdString());
        return texts;
    }

    std::vector<TShownBox> boxes;
};
