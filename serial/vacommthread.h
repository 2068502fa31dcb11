#pragma once

// The event thread of an open port: waits for the line events that the device's
// event mask selects and hands each batch to the user-interface thread, blocking
// until it has been handled there.
//
// Ownership: the running thread, the component (until Close) and a process-wide
// list of event threads share this object. Close never waits for the thread; the
// list joins threads once they have ended, and all of them when the application
// (or the process) ends, so that no thread outlives what it uses.

#include "device.h"
#include "vasupport.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

class TVaCommThread : public std::enable_shared_from_this<TVaCommThread> {
public:
    using TRxCharHandler = std::function<void()>;
    using TEventsHandler = std::function<void(std::uint32_t mask)>;
    using TExceptionHandler = std::function<void(std::exception_ptr)>;

    // Prepares a thread for `device` (shared, never closed by the thread) that
    // runs at `priority` once resumed. Raises EVaCommError if the system has no
    // wake event to give.
    TVaCommThread(std::shared_ptr<TVaDevice> device, TThreadPriority priority);
    ~TVaCommThread();
    TVaCommThread(const TVaCommThread&) = delete;
    TVaCommThread& operator=(const TVaCommThread&) = delete;

    void SetRxCharHandler(TRxCharHandler handler);
    void SetEventsHandler(TEventsHandler handler);
    // Where an exception that leaves a handler goes; the application's report
    // when none is set.
    void SetExceptionHandler(TExceptionHandler handler);
    // Starts the thread. Raises EVaCommError if the system cannot start one.
    void Resume();
    // Ends the thread without waiting for a dispatch that it is delivering; after
    // Stop returns the thread neither uses the device nor calls a handler. A
    // thread inside its device wait is woken and has left it when Stop returns.
    void Stop();

    // What the user-interface thread has been told about the receive queue and
    // not yet read: the thread announces only bytes beyond it, so that bytes a
    // handler leaves unread are not announced again and again.
    void SetAnnounced(std::uint32_t count);
    void Consumed(std::uint32_t count);
    // The reader wants fewer bytes than before, or what was written has been
    // purged: a rest under way ends, as the bytes that have come may now be
    // enough, or the line time it waits for is no longer coming.
    void Nudge();

    // Stops every event thread of the process and waits for each to end. Runs by
    // itself when the application object is destroyed and at process exit.
    static void ShutdownAll();

private:
    friend class TVaDispatchRelay;
    struct TWatch;

    void Execute();
    bool EnterDevice();
    bool LeaveDevice();
    std::uint32_t WaitForEvents(TWatch& watch);
    std::uint32_t PendingEvents(TWatch& watch, std::uint32_t mask);
    // Waits out the line time that the bytes still missing to `threshold`
    // need, once they have begun to come; true when it rested.
    bool RestForTheRest(TWatch& watch, std::uint8_t threshold);
    // The same where the device cannot be made to wait for the threshold
    // (TVaWakeStrategy::Rest): rests until the bytes should all be there, and
    // again, for longer each time, while they are not.
    bool RestUntilWhole(TWatch& watch, std::uint8_t threshold);
    // Waits out the line time of what was last written and of a reply of
    // `threshold` bytes behind it; true when it rested.
    bool RestWhileSending(TWatch& watch, std::uint8_t threshold);
    void Rest(TWatch& watch, std::chrono::nanoseconds period);
    std::uint32_t HangUp(TWatch& watch, std::uint32_t mask);
    bool DeliverEvents(std::uint32_t mask);
    // On the user-interface thread.
    void DispatchEvents();
    void Dispatched();
    void Abandon();

    const std::shared_ptr<TVaDevice> device_;
    const TThreadPriority priority_;
    // Stop signal; wakes the device wait at any point.
    TVaSimpleEvent WakeEvent;
    std::atomic<std::uint32_t> announced_{0};
    std::atomic<bool> resting_{false};

    // Guards every field below; the thread holds it only briefly, never while
    // waiting or delivering.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    bool started_ = false;
    // The thread is using the device; Stop waits for it to leave.
    bool inDevice_ = false;
    bool dispatched_ = false;
    bool abandoned_ = false;
    std::uint32_t EventMask = 0;
    TRxCharHandler RxCharHandler;
    TEventsHandler EventsHandler;
    TExceptionHandler ExceptionHandler;
};
