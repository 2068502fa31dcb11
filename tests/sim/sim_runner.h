#pragma once

// The simulated controller on its own thread, serving a pseudo-terminal through
// a link path, for tests that put the real programmer against it.

#include "sim_loop.h"

#include <wait.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TSimRunner {
public:
    TSimRunner() = default;
    ~TSimRunner() { Stop(); }
    TSimRunner(const TSimRunner&) = delete;
    TSimRunner& operator=(const TSimRunner&) = delete;

    // Starts serving `options.link`; false when the link did not appear.
    bool Start(sim::Options options)
    {
        link_ = options.link;
        loop_ = std::make_unique<sim::Loop>(std::move(options));
        loop_->SetEventSink([this](const sim::Event& e) {
            std::lock_guard lock(mutex_);
            events_.push_back(e);
        });
        thread_ = std::thread([this] {
            try {
                loop_->Run();
            } catch (...) {
                failure_ = std::current_exception();
            }
        });
        return WaitUntil([&] { return std::filesystem::is_symlink(link_); });
    }

    // Ends the loop; the controller can be read afterwards.
    void Stop()
    {
        if (thread_.joinable()) {
            loop_->Stop();
            thread_.join();
        }
    }

    // Pulls the adapter out now; the line comes back after the quiet period.
    void Unplug() { loop_->Unplug(); }

    const sim::Controller& Sim() const { return loop_->Sim(); }
    // What ended the loop by throwing, if anything did; read after Stop().
    std::exception_ptr Failure() const { return failure_; }

    // How many lines of the transcript so far contain `text`.
    std::size_t Count(const std::string& text) const
    {
        std::lock_guard lock(mutex_);
        return std::size_t(std::count_if(events_.begin(), events_.end(), [&](const sim::Event& e) {
            return e.text.find(text) != std::string::npos;
        }));
    }
    bool Said(const std::string& text) const { return Count(text) > 0; }
    bool SaidAnythingUnexpected() const
    {
        std::lock_guard lock(mutex_);
        return std::any_of(events_.begin(), events_.end(),
                           [](const sim::Event& e) { return e.unexpected; });
    }
    std::string Transcript() const
    {
        std::lock_guard lock(mutex_);
        std::string text;
        for (const sim::Event& e : events_)
            text += (e.unexpected ? "!! " : "   ") + e.text + "\n";
        return text;
    }

private:
    std::filesystem::path link_;
    std::unique_ptr<sim::Loop> loop_;
    std::thread thread_;
    std::exception_ptr failure_;
    mutable std::mutex mutex_;
    std::vector<sim::Event> events_;
};
