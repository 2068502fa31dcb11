#pragma once

// The labels scanned from the units, one a line, handed to the controllers in
// the order they identify themselves, whichever port they are on. The labels
// may come from a file, or from a pipe that a scanner's program writes as the
// operator scans: they are read on a thread of their own, since a read from a
// pipe waits for its writer, and arrive here through the event queue. The
// sessions' thread never reads.

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <thread>
#include <vector>

class TUnitLabels : public QObject {
public:
    // These labels and no more (--unit).
    explicit TUnitLabels(std::vector<QString> labels);
    // The labels read from `fd`, which is taken over: one a line, blanks at
    // either end trimmed, blank lines skipped. Reading starts at once.
    explicit TUnitLabels(int fd);
    // Stops reading, whatever the writer does.
    ~TUnitLabels() override;
    TUnitLabels(const TUnitLabels&) = delete;
    TUnitLabels& operator=(const TUnitLabels&) = delete;

    using TAnswer = std::function<void(const std::optional<QString>& label)>;
    // Asks for the next label: `given` is called with it, at once when one is
    // there, otherwise when one arrives; with none when the labels have ended.
    // Returns the request, for Withdraw (0 when `given` has been called).
    std::uint64_t Ask(TAnswer given);
    // The request will not be answered; a label it would have had goes to the
    // next.
    void Withdraw(std::uint64_t request);

    // The labels received and not given to any controller, in order.
    std::vector<QString> Left() const { return {labels_.begin(), labels_.end()}; }
    // Every label has been given and no more will come.
    bool Exhausted() const { return ended_ && labels_.empty(); }
    // Called once, when they become so.
    std::function<void()> OnExhausted;
    // Called when the source could not be read to its end; the labels end there.
    std::function<void(const QString& error)> OnReadFailed;

private:
    void Read(int fd, int stop);
    void Arrived(QString label);
    void Ended(const QString& error);
    void Serve();

    std::deque<QString> labels_;
    bool ended_ = false;
    bool exhaustedTold_ = false;
    std::uint64_t nextRequest_ = 0;
    std::map<std::uint64_t, TAnswer> waiting_; // in the order asked
    int stop_ = -1; // an eventfd the reader watches with its source
    std::thread reader_;
};
