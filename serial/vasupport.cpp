#include "vasupport.h"

TVaHandleObject::~TVaHandleObject()
{
    if (handle_ != kVaInvalidHandle)
        VaCloseHandle(handle_);
}

TVaWaitResult TVaHandleObject::WaitFor(std::int32_t milliseconds)
{
    int error = 0;
    const TVaWaitResult result = VaWaitHandle(handle_, milliseconds, error);
    if (result == wrError)
        lastError_ = error;
    return result;
}

void TVaEvent::Signal()
{
    if (const int error = VaSignalEventHandle(handle_))
        lastError_ = error;
}

void TVaEvent::Reset()
{
    if (const int error = VaResetEventHandle(handle_))
        lastError_ = error;
}

TVaSimpleEvent::TVaSimpleEvent()
{
    int error = 0;
    handle_ = VaCreateEventHandle(error);
    lastError_ = error;
}
