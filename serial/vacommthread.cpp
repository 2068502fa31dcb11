#include "vacommthread.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <chrono>
#include <deque>
#include <list>
#include <system_error>
#include <thread>

namespace {

// While bytes that were announced wait unread, or when line states must be
// compared, the device is looked at this often instead of waited on.
constexpr std::int32_t kRecheckMs = 20;
// After a hang-up or a failed wait the thread rests this long before it looks
// at the device again, so a dead line never makes it spin.
constexpr std::int32_t kBackOffMs = 200;
// The shortest rest for a reply whose bytes the device cannot wait for (an
// unknown line speed has no line time to go by).
constexpr std::chrono::milliseconds kFirstBackOff{1};

constexpr std::uint32_t kCounterEvents = kEvCts | kEvDsr | kEvRlsd | kEvRing | kEvBreak | kEvErr;

} // namespace

// The user-interface side of the hand-off: event threads queue themselves and
// signal an event that a socket notifier watches on the user-interface thread,
// which then runs their dispatches. Waking through a descriptor rather than
// posting a Qt event keeps every hand-over of data under this code's own locks.
class TVaDispatchRelay {
public:
    TVaDispatchRelay();
    // Queues a dispatch; the caller holds the registry's lock.
    void QueueLocked(std::shared_ptr<TVaCommThread> thread);

private:
    void RunPending();

    TVaSimpleEvent ready_;
    QSocketNotifier notifier_;
};

namespace {

struct TThreadRecord {
    std::shared_ptr<TVaCommThread> thread;
    std::thread runner;
    bool ended = false;
};

struct TRegistry {
    // Guards every field.
    std::mutex mutex;
    std::unique_ptr<TVaDispatchRelay> relay;
    std::deque<std::shared_ptr<TVaCommThread>> pending;
    std::list<TThreadRecord> threads;
    bool exiting = false;
    bool postRoutineAdded = false;
};

// Never destroyed: event threads may still look it up while the process ends.
// TExitGuard ends them first.
TRegistry& Registry()
{
    static TRegistry* const registry = new TRegistry;
    return *registry;
}

// Ends the event threads at process exit when no application did it before:
// a joinable thread left at exit would end the process abnormally.
struct TExitGuard {
    ~TExitGuard() { TVaCommThread::ShutdownAll(); }
};

void MarkEnded(const TVaCommThread* thread)
{
    TRegistry& r = Registry();
    const std::lock_guard lock(r.mutex);
    for (TThreadRecord& record : r.threads)
        if (record.thread.get() == thread)
            record.ended = true;
}

// Joins threads that have ended; those are past their last use of anything.
void ReapEnded()
{
    std::list<TThreadRecord> ended;
    {
        TRegistry& r = Registry();
        const std::lock_guard lock(r.mutex);
        for (auto it = r.threads.begin(); it != r.threads.end();) {
            auto next = std::next(it);
            if (it->ended)
                ended.splice(ended.end(), r.threads, it);
            it = next;
        }
    }
    for (TThreadRecord& record : ended)
        record.runner.join();
}

} // namespace

TVaDispatchRelay::TVaDispatchRelay() : notifier_(ready_.Handle(), QSocketNotifier::Read)
{
    QObject::connect(&notifier_, &QSocketNotifier::activated, &notifier_, [this] { RunPending(); });
}

void TVaDispatchRelay::QueueLocked(std::shared_ptr<TVaCommThread> thread)
{
    Registry().pending.push_back(std::move(thread));
    ready_.Signal();
}

void TVaDispatchRelay::RunPending()
{
    // Reset before taking work: a thread that queues itself after this point
    // signals again and is served by the next activation.
    ready_.Reset();
    for (;;) {
        std::shared_ptr<TVaCommThread> thread;
        {
            TRegistry& r = Registry();
            const std::lock_guard lock(r.mutex);
            if (r.pending.empty())
                return;
            thread = std::move(r.pending.front());
            r.pending.pop_front();
        }
        // A dispatch may run a nested event loop (a message box) in which this
        // relay serves further dispatches; each is taken from the queue once.
        thread->DispatchEvents();
        thread->Dispatched();
    }
}

struct TVaCommThread::TWatch {
    TVaLineCounters counters;
    bool countersOk = false;
    std::uint32_t inQueue = 0;
    std::uint32_t outQueue = 0;
    bool hungUp = false;
    bool backOff = false;
    // The device said readable but had nothing queued; it is not asked again
    // until the next recheck, or the thread would spin.
    bool readableButEmpty = false;
    // The bytes that have begun to come were given the line time the rest of
    // the threshold needs.
    bool rested = false;
    // The last wait on the device began with nothing queued.
    bool waitedFromEmpty = false;
    // Replies have been seen to trickle in at line speed (a real line) rather
    // than arrive together (a pseudo-terminal with nothing pacing it).
    bool paced = false;
    // The end of sending that a rest has already waited for.
    std::chrono::steady_clock::time_point restedForSending;
    // Rests taken in a row for one reply under TVaWakeStrategy::Rest.
    int restRounds = 0;
    std::uint32_t queuedAtRest = 0;
    // The last rest ended because the line hung up.
    bool restHungUp = false;
};

TVaCommThread::TVaCommThread(std::shared_ptr<TVaDevice> device, TThreadPriority priority)
    : device_(std::move(device)), priority_(priority)
{
    if (WakeEvent.Handle() == kVaInvalidHandle)
        VaRaiseCommError("Error creating event thread (%d), %s", WakeEvent.LastError());
}

TVaCommThread::~TVaCommThread() = default;

void TVaCommThread::SetRxCharHandler(TRxCharHandler handler)
{
    const std::lock_guard lock(mutex_);
    RxCharHandler = std::move(handler);
}

void TVaCommThread::SetEventsHandler(TEventsHandler handler)
{
    const std::lock_guard lock(mutex_);
    EventsHandler = std::move(handler);
}

void TVaCommThread::SetExceptionHandler(TExceptionHandler handler)
{
    const std::lock_guard lock(mutex_);
    ExceptionHandler = std::move(handler);
}

void TVaCommThread::Resume()
{
    {
        const std::lock_guard lock(mutex_);
        if (started_ || stop_)
            return;
        started_ = true;
    }
    ReapEnded();
    static TExitGuard exitGuard;
    TRegistry& r = Registry();
    const std::lock_guard lock(r.mutex);
    if (!r.relay && QCoreApplication::instance()) {
        r.relay = std::make_unique<TVaDispatchRelay>();
        if (!r.postRoutineAdded) {
            // The relay and the threads must be gone before the application
            // object that runs the relay's notifier.
            qAddPostRoutine(&TVaCommThread::ShutdownAll);
            r.postRoutineAdded = true;
        }
    }
    TThreadRecord& record = r.threads.emplace_back();
    record.thread = shared_from_this();
    try {
        record.runner = std::thread([self = shared_from_this()] { self->Execute(); });
    } catch (const std::system_error& error) {
        r.threads.pop_back();
        VaRaiseCommError("Error creating event thread (%d), %s", error.code().value());
    }
}

void TVaCommThread::Stop()
{
    // Released after the lock, so that nothing they own is destroyed under it.
    TRxCharHandler rx;
    TEventsHandler events;
    TExceptionHandler exceptions;
    std::unique_lock lock(mutex_);
    stop_ = true;
    rx = std::move(RxCharHandler);
    events = std::move(EventsHandler);
    exceptions = std::move(ExceptionHandler);
    RxCharHandler = nullptr;
    EventsHandler = nullptr;
    ExceptionHandler = nullptr;
    WakeEvent.Signal();
    // Waiting here is short: the wake event has ended the device wait, and a
    // thread using the device needs nothing from this thread to leave it. A
    // thread that is delivering is not waited for.
    changed_.wait(lock, [this] { return !inDevice_; });
}

void TVaCommThread::SetAnnounced(std::uint32_t count)
{
    announced_.store(count);
}

void TVaCommThread::Consumed(std::uint32_t count)
{
    std::uint32_t now = announced_.load();
    while (!announced_.compare_exchange_weak(now, now > count ? now - count : 0)) {
    }
}

void TVaCommThread::ShutdownAll()
{
    TRegistry& r = Registry();
    std::deque<std::shared_ptr<TVaCommThread>> pending;
    std::list<TThreadRecord> threads;
    {
        const std::lock_guard lock(r.mutex);
        r.exiting = true;
        pending.swap(r.pending);
        threads.swap(r.threads);
    }
    for (const auto& thread : pending)
        thread->Abandon();
    for (TThreadRecord& record : threads)
        record.thread->Stop();
    for (TThreadRecord& record : threads)
        record.runner.join();
    std::unique_ptr<TVaDispatchRelay> relay;
    {
        const std::lock_guard lock(r.mutex);
        relay = std::move(r.relay);
        r.exiting = false;
        r.postRoutineAdded = false;
    }
}

void TVaCommThread::Execute()
{
    VaPrepareCurrentThread("VaCommThread", priority_);
    TWatch watch;
    if (EnterDevice()) {
        watch.countersOk = device_->LineCounters(watch.counters);
        std::uint32_t in = 0;
        if (device_->QueueCounts(in, watch.outQueue) != 0)
            watch.outQueue = 0;
        bool running = LeaveDevice();
        while (running && EnterDevice()) {
            const std::uint32_t events = WaitForEvents(watch);
            running = LeaveDevice() && (events == 0 || DeliverEvents(events));
        }
    }
    MarkEnded(this);
}

bool TVaCommThread::EnterDevice()
{
    const std::lock_guard lock(mutex_);
    if (stop_)
        return false;
    inDevice_ = true;
    return true;
}

bool TVaCommThread::LeaveDevice()
{
    bool running = false;
    {
        const std::lock_guard lock(mutex_);
        inDevice_ = false;
        running = !stop_;
    }
    changed_.notify_all();
    return running;
}

std::uint32_t TVaCommThread::WaitForEvents(TWatch& w)
{
    const std::uint32_t mask = device_->EventMask();
    if (w.backOff) {
        w.backOff = false;
        if (device_->WaitReadable(false, WakeEvent.Handle(), kBackOffMs) == TVaDeviceWait::Woken) {
            WakeEvent.Reset();
            return 0;
        }
    }
    std::uint32_t events = PendingEvents(w, mask);
    if (events != 0 || w.backOff)
        return events;

    const bool rx = (mask & kEvRxChar) != 0;
    // Marked before the threshold and the end of sending are read: a reader
    // that changes either from here on signals the wake event (see Nudge), so
    // a rest chosen from the old values ends at once; a change made before is
    // in what is read.
    resting_.store(true);
    const std::uint8_t threshold = device_->ReadThreshold();
    const bool rested = rx && RestForTheRest(w, threshold);
    resting_.store(false);
    if (rested) {
        if (w.restHungUp) {
            w.restHungUp = false;
            return HangUp(w, mask);
        }
        return PendingEvents(w, mask);
    }
    // Below the threshold the device is not readable yet, so waiting for it is
    // waiting for the rest.
    const bool unread = w.inQueue > 0 && w.inQueue >= threshold;
    // A device with unread bytes stays readable; waiting for that would return
    // at once, so it is looked at on a timer until the bytes are read.
    const bool watchReadable = rx && !unread && !w.readableButEmpty;
    const bool recheck = (rx && !watchReadable) || (mask & kEvTxEmpty) ||
                         (w.countersOk && (mask & kCounterEvents));
    w.readableButEmpty = false;
    switch (device_->WaitReadable(watchReadable, WakeEvent.Handle(),
                                  recheck ? kRecheckMs : kVaInfinite)) {
    case TVaDeviceWait::Woken:
        // A stop is seen as the thread leaves the device (see Rest); anything
        // else that woke it (a late nudge) must not end the next wait too.
        WakeEvent.Reset();
        return 0;
    case TVaDeviceWait::HungUp:
        return HangUp(w, mask);
    case TVaDeviceWait::Failed:
        w.backOff = true;
        return 0;
    case TVaDeviceWait::Readable:
        w.hungUp = false;
        events = PendingEvents(w, mask);
        if (events == 0 && w.inQueue == 0 && !w.backOff)
            w.readableButEmpty = true;
        return events;
    case TVaDeviceWait::TimedOut:
        w.hungUp = false;
        return PendingEvents(w, mask);
    }
    return 0;
}

bool TVaCommThread::RestForTheRest(TWatch& w, std::uint8_t threshold)
{
    if (w.inQueue > 0 && w.inQueue < threshold && !w.rested)
        w.paced = true;
    else if (w.waitedFromEmpty && w.inQueue >= threshold)
        w.paced = false;
    w.waitedFromEmpty = false;
    if (w.inQueue == 0 || threshold <= 1) {
        w.rested = false;
        w.restRounds = 0;
        w.queuedAtRest = 0;
        if (threshold > 1 && w.paced && RestWhileSending(w, threshold))
            return true;
        w.waitedFromEmpty = true;
        // A failure here shows in the next look at the device.
        device_->SetWakeCount(1);
        return false;
    }
    if (w.inQueue >= threshold) {
        w.restRounds = 0;
        w.queuedAtRest = 0;
        return false;
    }
    if (device_->WakeStrategy() == TVaWakeStrategy::Rest)
        return RestUntilWhole(w, threshold);
    if (!w.rested) {
        // The first bytes of what the reader waits for are here, and the rest
        // cannot come faster than the line carries it. Waiting on the device
        // meanwhile would wake this thread at every byte; resting ends half a
        // character before the last is due, and the wait below takes it.
        // A rest shorter than a character costs more wakes than it saves.
        w.rested = true;
        const auto charTime = device_->CharTime();
        const auto rest = charTime * (threshold - w.inQueue) - charTime / 2;
        if (rest >= charTime) {
            Rest(w, rest);
            return true;
        }
    }
    device_->SetWakeCount(threshold);
    return false;
}

bool TVaCommThread::RestUntilWhole(TWatch& w, std::uint8_t threshold)
{
    // The device wakes at one byte, so it is readable now and a wait on it
    // would return at once. The missing bytes cannot come faster than the
    // line carries them; the rest ends half a character after the last is
    // due, by when an adapter has passed on its last packet. A peer slower
    // than its line is looked at again after twice as long each time, up to
    // the recheck period: every wait ends, and a stalled reply costs a few
    // wakes a second.
    w.rested = true;
    if (w.inQueue > w.queuedAtRest)
        w.restRounds = 0; // coming at the line's pace after all
    w.queuedAtRest = w.inQueue;
    const auto charTime = device_->CharTime();
    const auto lineTime = charTime * (threshold - w.inQueue) + charTime / 2;
    std::chrono::nanoseconds backOff{};
    if (w.restRounds > 0)
        backOff = std::min<std::chrono::nanoseconds>(kFirstBackOff * (1 << std::min(w.restRounds, 8)),
                                                      std::chrono::milliseconds(kRecheckMs));
    ++w.restRounds;
    Rest(w, std::max<std::chrono::nanoseconds>({lineTime, backOff, kFirstBackOff}));
    return true;
}

bool TVaCommThread::RestWhileSending(TWatch& w, std::uint8_t threshold)
{
    // On a line that paces its bytes, a reader that waits for a reply of
    // `threshold` bytes after what it has just written hears nothing useful
    // before those bytes are on the line and the reply has had its own line
    // time. Resting through both spares the wake at the reply's first byte.
    // Each sending is rested for once: a peer that is slower to answer is
    // then waited for on the device as usual.
    const auto sendingEnds = device_->SendingEnds();
    if (sendingEnds == w.restedForSending)
        return false;
    w.restedForSending = sendingEnds;
    const auto charTime = device_->CharTime();
    // Where the device can wait for the last bytes itself the rest ends half
    // a character before them; where it cannot, half a character after.
    const auto margin = device_->WakeStrategy() == TVaWakeStrategy::Rest ? charTime / 2 : -charTime / 2;
    const auto rest = sendingEnds + charTime * threshold + margin - std::chrono::steady_clock::now();
    if (rest < charTime)
        return false;
    Rest(w, rest);
    return true;
}

void TVaCommThread::Rest(TWatch& w, std::chrono::nanoseconds period)
{
    switch (device_->Rest(WakeEvent.Handle(), period)) {
    case TVaDeviceWait::Woken:
        // Woken to stop or nudged. Resetting cannot lose a stop: Stop sets
        // its flag before it signals, and the flag is read as the thread
        // leaves the device, after this pass.
        WakeEvent.Reset();
        break;
    case TVaDeviceWait::HungUp:
        w.restHungUp = true;
        break;
    default:
        break;
    }
}

void TVaCommThread::Nudge()
{
    // Only a rest ignores the device; a wait on it ends by itself when the
    // bytes are enough (see SetReadThreshold). A nudge that comes after the
    // rest has ended costs one more pass, nothing else.
    if (resting_.load())
        WakeEvent.Signal();
}

std::uint32_t TVaCommThread::PendingEvents(TWatch& w, std::uint32_t mask)
{
    std::uint32_t in = 0;
    std::uint32_t out = 0;
    // The transmit queue is asked for only when its emptying is watched.
    const int failed = (mask & kEvTxEmpty) ? device_->QueueCounts(in, out) : device_->InQueue(in);
    if (failed != 0)
        return HangUp(w, mask); // an unplugged adapter fails every request
    std::uint32_t events = 0;
    w.inQueue = in;
    // Bytes that left the queue by a way other than a read or a purge (a flush
    // by the driver) must not hide later arrivals. The user-interface thread
    // only ever lowers the count while this thread is here (it raises it in a
    // dispatch, when this thread waits), so lowering it to the queue is safe.
    std::uint32_t told = announced_.load();
    while (in < told && !announced_.compare_exchange_weak(told, in)) {
    }
    // Fewer bytes than the reader asked to be told of at once are left to
    // the wait, which the device ends when enough have come.
    if ((mask & kEvRxChar) && in > announced_.load() && in >= device_->ReadThreshold())
        events |= kEvRxChar;
    if ((mask & kEvTxEmpty) && w.outQueue > 0 && out == 0)
        events |= kEvTxEmpty;
    w.outQueue = out;
    if (w.countersOk && (mask & kCounterEvents)) {
        TVaLineCounters now;
        if (device_->LineCounters(now)) {
            events |= mask & LineEventsBetween(w.counters, now);
            w.counters = now;
        }
    }
    return events;
}

std::uint32_t TVaCommThread::HangUp(TWatch& w, std::uint32_t mask)
{
    w.backOff = true;
    if (w.hungUp)
        return 0;
    // Announced once, so that the user-interface thread looks at the device
    // and learns of the failure from its next request.
    w.hungUp = true;
    return mask & kEvRxChar;
}

bool TVaCommThread::DeliverEvents(std::uint32_t mask)
{
    {
        const std::lock_guard lock(mutex_);
        EventMask = mask;
        dispatched_ = false;
        abandoned_ = false;
    }
    {
        TRegistry& r = Registry();
        const std::lock_guard lock(r.mutex);
        // Without an application, or when it is ending, nobody will ever run
        // the dispatch; the thread ends rather than announce the same bytes for
        // ever.
        if (!r.relay || r.exiting)
            return false;
        r.relay->QueueLocked(shared_from_this());
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return dispatched_ || abandoned_; });
    return dispatched_;
}

void TVaCommThread::DispatchEvents()
{
    std::uint32_t mask = 0;
    // Taken now: a handler that closes the port stops this thread and empties
    // the handlers, and an error it raises afterwards (a failed reopen) still
    // belongs to the port's owner.
    TExceptionHandler report;
    {
        const std::lock_guard lock(mutex_);
        mask = EventMask;
        report = ExceptionHandler;
    }
    // Each handler is read just before its call: a handler that closes the port
    // empties them through Stop, and the rest of this dispatch calls nothing.
    try {
        if (mask & kEvRxChar) {
            TRxCharHandler rx;
            {
                const std::lock_guard lock(mutex_);
                rx = RxCharHandler;
            }
            if (rx)
                rx();
            mask &= ~kEvRxChar;
        }
        if (mask != 0) {
            TEventsHandler events;
            {
                const std::lock_guard lock(mutex_);
                events = EventsHandler;
            }
            if (events)
                events(mask);
        }
    } catch (...) {
        if (report)
            report(std::current_exception());
        else
            VaReportException(std::current_exception());
    }
}

// The waiter is woken after the lock is let go, so that it does not wake only
// to wait for the lock.
void TVaCommThread::Dispatched()
{
    {
        const std::lock_guard lock(mutex_);
        dispatched_ = true;
    }
    changed_.notify_all();
}

void TVaCommThread::Abandon()
{
    {
        const std::lock_guard lock(mutex_);
        abandoned_ = true;
    }
    changed_.notify_all();
}
