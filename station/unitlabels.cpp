#include "unitlabels.h"

#include "sessionfiles.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

// No label is this long; a source that sends more without a line's end is no
// list of labels, and is not kept in memory while it goes on.
constexpr qsizetype kLongestLine = 4096;

} // namespace

TUnitLabels::TUnitLabels(std::vector<QString> labels) : labels_(labels.begin(), labels.end()), ended_(true) {}

TUnitLabels::TUnitLabels(int fd)
{
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    if (stop_ < 0) {
        const QString error = SystemText(errno);
        ::close(fd);
        // Told once the caller has had the chance to listen.
        QMetaObject::invokeMethod(this, [this, error] { Ended(error); }, Qt::QueuedConnection);
        return;
    }
    reader_ = std::thread([this, fd] {
        Read(fd, stop_);
        ::close(fd);
    });
}

TUnitLabels::~TUnitLabels()
{
    if (reader_.joinable()) {
        const std::uint64_t one = 1;
        (void)!::write(stop_, &one, sizeof one);
        reader_.join();
    }
    if (stop_ >= 0)
        ::close(stop_);
}

void TUnitLabels::Read(int fd, int stop)
{
    // On the reader's thread: everything it finds is handed over through the
    // event queue, in order, and nothing here is touched from the other side.
    const auto post = [this](auto call) { QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection); };
    QByteArray line;
    const auto finishLine = [&] {
        const QString label = QString::fromUtf8(line).trimmed();
        line.clear();
        if (!label.isEmpty())
            post([this, label] { Arrived(label); });
    };
    char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            const QString error = SystemText(errno);
            post([this, error] { Ended(error); });
            return;
        }
        if (fds[1].revents != 0)
            return;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            const QString error = SystemText(errno);
            post([this, error] { Ended(error); });
            return;
        }
        if (n == 0) {
            finishLine();
            post([this] { Ended({}); });
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == '\n') {
                finishLine();
                continue;
            }
            line.append(buffer[i]);
            if (line.size() > kLongestLine) {
                const QString error = QStringLiteral("a line is longer than %1 bytes").arg(kLongestLine);
                post([this, error] { Ended(error); });
                return;
            }
        }
    }
}

std::uint64_t TUnitLabels::Ask(TAnswer given)
{
    if (!labels_.empty() && waiting_.empty()) {
        given(std::exchange(labels_.front(), {}));
        labels_.pop_front();
        Serve();
        return 0;
    }
    if (Exhausted()) {
        given(std::nullopt);
        return 0;
    }
    const std::uint64_t request = ++nextRequest_;
    waiting_.emplace(request, std::move(given));
    return request;
}

void TUnitLabels::Withdraw(std::uint64_t request)
{
    waiting_.erase(request);
}

void TUnitLabels::Arrived(QString label)
{
    if (ended_)
        return;
    labels_.push_back(std::move(label));
    Serve();
}

void TUnitLabels::Ended(const QString& error)
{
    if (ended_)
        return;
    ended_ = true;
    if (!error.isEmpty() && OnReadFailed)
        OnReadFailed(error);
    Serve();
}

void TUnitLabels::Serve()
{
    // The requests in the order they were made, each answered once and taken
    // off before its answer runs: an answer may ask or withdraw in turn.
    while (!waiting_.empty() && !labels_.empty()) {
        auto first = waiting_.begin();
        TAnswer given = std::move(first->second);
        waiting_.erase(first);
        QString label = std::move(labels_.front());
        labels_.pop_front();
        given(label);
    }
    if (!Exhausted())
        return;
    while (!waiting_.empty()) {
        auto first = waiting_.begin();
        TAnswer given = std::move(first->second);
        waiting_.erase(first);
        given(std::nullopt);
    }
    if (!exhaustedTold_) {
        exhaustedTold_ = true;
        if (OnExhausted)
            OnExhausted();
    }
}
