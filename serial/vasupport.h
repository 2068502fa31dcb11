#pragma once

// Thin wrappers over the system's waitable objects and locks, in the shape the
// port's logic speaks of them.

#include "device.h"

#include <cstdint>
#include <mutex>

class TVaHandleObject {
public:
    TVaHandleObject() = default;
    virtual ~TVaHandleObject();
    TVaHandleObject(const TVaHandleObject&) = delete;
    TVaHandleObject& operator=(const TVaHandleObject&) = delete;

    TVaHandle Handle() const { return handle_; }
    std::int32_t LastError() const { return lastError_; }
    // Waits until the object is signalled, at most `milliseconds` (kVaInfinite:
    // no limit).
    TVaWaitResult WaitFor(std::int32_t milliseconds);

protected:
    TVaHandle handle_ = kVaInvalidHandle;
    std::int32_t lastError_ = 0;
};

class TVaEvent : public TVaHandleObject {
public:
    void Signal();
    void Reset();
};

// An unnamed manual-reset event that starts not signalled. Handle() is
// kVaInvalidHandle (and LastError() tells why) if the system had none to give.
class TVaSimpleEvent : public TVaEvent {
public:
    TVaSimpleEvent();
};

// The component's lock. Recursive, as the critical section it stands for.
class TVaCriticalSection {
public:
    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

// Raises EVaCommError with `format` filled in: "%d" with the error number and
// "%s" with the system's description of it.
[[noreturn]] void VaRaiseCommError(const char* format, int error);
