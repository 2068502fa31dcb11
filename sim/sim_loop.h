#pragma once

// Runs a Controller on a pseudo-terminal: the programmer opens the slave through
// the link path, the loop works the master side. One thread, one poll.

#include "controller.h"

#include <atomic>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace sim {

class Loop {
public:
    explicit Loop(Options options);
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    // Called on the loop's thread for every line of the transcript.
    void SetEventSink(std::function<void(const Event&)> sink) { sink_ = std::move(sink); }
    // A descriptor (a signalfd, say) whose becoming readable ends Run.
    void SetStopDescriptor(int fd) { stopFd_ = fd; }
    // A signalfd whose signals each pull the adapter out (see Unplug).
    void SetUnplugDescriptor(int fd) { unplugFd_ = fd; }

    // Creates the line and its link and serves it until Stop, the stop descriptor,
    // or the end of a session under --once. Removes the link before it returns.
    // Throws std::runtime_error when the line or the link cannot be made.
    void Run();
    // Ends Run soon after; callable from any thread.
    void Stop();
    // Pulls the adapter out soon after, whatever the controller is doing: the
    // line and its link go, and a new line comes once the session has ended
    // (the quiet period). Callable from any thread.
    void Unplug();

    // The controller; read it on another thread only after Run has returned.
    const Controller& Sim() const { return controller_; }
    // The programmer's turnarounds while the loader ran (see --turnaround-out);
    // read after Run has returned.
    const std::vector<double>& Turnarounds() const { return turnarounds_; }

private:
    struct TimedByte {
        std::uint8_t byte;
        Clock::time_point due; // when the byte has fully crossed the line
        unsigned baud;         // the line's speed when it was read
    };

    void OpenLine(Clock::time_point now);
    void CloseLine();
    void PointLink();
    void RemoveLink();
    void WatchLine(Clock::time_point now);
    void ReadLine(Clock::time_point now);
    void Deliver(Clock::time_point now);
    // Closes the line when the controller asks to; true if it did.
    bool HangUpIfAsked(Clock::time_point now);
    void Schedule(const std::vector<std::uint8_t>& bytes, Clock::time_point at);
    void WriteDue(Clock::time_point now);
    void Publish();
    Clock::duration ByteTime() const;
    // Sleeps until something is due or arrives; true when the stop descriptor fired.
    bool Wait(Clock::time_point now);

    Options options_;
    Controller controller_;
    std::function<void(const Event&)> sink_;
    int stopFd_ = -1;
    int unplugFd_ = -1;
    int wakeFd_ = -1; // eventfd written by Stop and Unplug
    std::atomic<bool> stopping_{false};
    std::atomic<bool> unplugging_{false};

    int master_ = -1;
    std::string slaveName_;
    bool linkMade_ = false;
    bool listening_ = false; // the programmer has the slave open
    unsigned baud_ = 0;      // the slave's speed when last looked at
    bool writeBlocked_ = false;

    std::deque<TimedByte> in_;
    std::deque<TimedByte> out_;
    Clock::time_point lastInDue_{};
    Clock::time_point lastOutDue_{};

    // A loader reply's last byte has gone out at replyEnd_, and the programmer's
    // next byte is awaited.
    bool awaitingRequest_ = false;
    Clock::time_point replyEnd_{};
    std::vector<double> turnarounds_;
};

} // namespace sim
