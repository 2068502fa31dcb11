#pragma once

// Answers the next modal widget that a handler opens with exec(): a timer,
// started before the handler runs, waits for the modal widget to appear and
// hands it to the test's function, which inspects it and closes it.
//
// A file dialog fills its list on a thread of its own and may ignore an accept
// that crosses that work, so the answer is given again on each tick until the
// widget has really closed. Answers must therefore be repeatable.

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <functional>

template <typename Modal>
class TModalAnswer {
public:
    explicit TModalAnswer(std::function<void(Modal*)> answer) : answer_(std::move(answer))
    {
        timer_.setInterval(std::chrono::milliseconds(5));
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        timer_.start();
    }

    bool Answered() const { return answered_; }

private:
    void Poll()
    {
        if (answered_ && (!target_ || !target_->isVisible())) {
            timer_.stop();
            return;
        }
        if (std::chrono::steady_clock::now() > deadline_) {
            // Nothing showed up or it would not close: close whatever is modal
            // so the test fails rather than hangs.
            timer_.stop();
            if (QWidget* other = QApplication::activeModalWidget())
                other->close();
            return;
        }
        if (auto* modal = qobject_cast<Modal*>(QApplication::activeModalWidget())) {
            if (!answered_ || modal == target_) {
                answered_ = true;
                target_ = modal;
                answer_(modal);
            }
        }
    }

    std::function<void(Modal*)> answer_;
    QTimer timer_;
    std::chrono::steady_clock::time_point deadline_;
    bool answered_ = false;
    QPointer<Modal> target_;
};
