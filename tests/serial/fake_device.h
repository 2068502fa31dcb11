#pragma once

// A device for what a pseudo-terminal cannot show: modem lines, line-error
// totals, and failures of single device operations. It records the settings
// written to it and counts the calls made on it.

#include "device.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

class FakeDevice : public TVaDevice {
public:
    TVaOpenResult Open(const std::string&) override { return {}; }
    void Close() override
    {
        const std::lock_guard lock(mutex_);
        ++calls_["Close"];
    }

    int ReadSettings(TVaDcb& dcb) override
    {
        const std::lock_guard lock(mutex_);
        ++calls_["ReadSettings"];
        dcb = settings_;
        return fail_["ReadSettings"];
    }
    int WriteSettings(const TVaDcb& dcb) override
    {
        const std::lock_guard lock(mutex_);
        ++calls_["WriteSettings"];
        if (const int error = fail_["WriteSettings"])
            return error;
        settings_ = dcb;
        return 0;
    }
    int SetTimeouts() override { return Call("SetTimeouts"); }
    int SetQueueSizes(std::int32_t, std::int32_t) override { return Call("SetQueueSizes"); }
    int SetEventMask(std::uint32_t mask) override
    {
        if (const int error = Call("SetEventMask"))
            return error;
        return TVaDevice::SetEventMask(mask);
    }

    int QueueCounts(std::uint32_t& in, std::uint32_t& out) override
    {
        const std::lock_guard lock(mutex_);
        ++calls_["QueueCounts"];
        in = std::uint32_t(received_.size());
        out = outQueue_;
        return fail_["QueueCounts"];
    }
    bool LineCounters(TVaLineCounters& counters) override
    {
        const std::lock_guard lock(mutex_);
        counters = counters_;
        return true;
    }
    int Purge(std::uint32_t flags) override
    {
        const std::lock_guard lock(mutex_);
        ++calls_["Purge"];
        if (const int error = fail_["Purge"])
            return error;
        if (flags & (kPurgeRxAbort | kPurgeRxClear))
            received_.clear();
        return 0;
    }
    int Write(const void*, std::int32_t count, std::chrono::milliseconds,
              std::int32_t& written) override
    {
        written = count;
        return Call("Write");
    }
    int Read(void* buffer, std::int32_t count, std::int32_t& read) override
    {
        const std::lock_guard lock(mutex_);
        read = 0;
        auto* out = static_cast<std::uint8_t*>(buffer);
        while (read < count && !received_.empty()) {
            out[read++] = received_.front();
            received_.erase(received_.begin());
        }
        return 0;
    }
    TVaDeviceWait WaitReadable(bool watchReadable, TVaHandle wake, std::int32_t timeoutMs) override
    {
        {
            const std::lock_guard lock(mutex_);
            ++calls_["WaitReadable"];
        }
        int error = 0;
        // Arrivals are not signalled; a wait for them ends after a short slice
        // so that the thread looks at the queue again.
        const std::int32_t slice =
            watchReadable && (timeoutMs < 0 || timeoutMs > 5) ? 5 : timeoutMs;
        return VaWaitHandle(wake, slice, error) == wrSignaled ? TVaDeviceWait::Woken
                                                               : TVaDeviceWait::TimedOut;
    }

    // Test side.
    void Receive(const std::vector<std::uint8_t>& bytes)
    {
        const std::lock_guard lock(mutex_);
        received_.insert(received_.end(), bytes.begin(), bytes.end());
    }
    void ChangeCounters(void (*change)(TVaLineCounters&))
    {
        const std::lock_guard lock(mutex_);
        change(counters_);
    }
    void SetOutQueue(std::uint32_t count)
    {
        const std::lock_guard lock(mutex_);
        outQueue_ = count;
    }
    void Fail(const std::string& operation, int error)
    {
        const std::lock_guard lock(mutex_);
        fail_[operation] = error;
    }
    int Calls(const std::string& operation)
    {
        const std::lock_guard lock(mutex_);
        return calls_[operation];
    }
    TVaDcb Settings()
    {
        const std::lock_guard lock(mutex_);
        return settings_;
    }

private:
    int Call(const std::string& operation)
    {
        const std::lock_guard lock(mutex_);
        ++calls_[operation];
        return fail_[operation];
    }

    std::mutex mutex_;
    std::map<std::string, int> calls_;
    std::map<std::string, int> fail_;
    std::vector<std::uint8_t> received_;
    std::uint32_t outQueue_ = 0;
    TVaLineCounters counters_;
    TVaDcb settings_;
};
