#pragma once

// The few operations that the port needs of the operating system. The component,
// its support objects and the event thread are portable code over this header;
// serial/device_posix.cpp is the one file that makes the system calls. Tests put
// a fake TVaDevice in place of the real one where a pseudo-terminal cannot show
// a behaviour (modem lines, line errors).
//
// Operations report failure as a system error number (0 for success), so that
// the component can name the failed step with the number and its description.

#include "vacomm.h"
#include "vadcb.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

using TVaHandle = int;
inline constexpr TVaHandle kVaInvalidHandle = -1;

// Waiting for ever, where a wait takes milliseconds.
inline constexpr std::int32_t kVaInfinite = -1;

// How the event thread learns that a reply it waits for is whole.
enum class TVaWakeStrategy : std::uint8_t {
    // The device's wake count (VMIN) follows the reader's threshold: the
    // driver takes a change of the special characters alone without a word
    // to the hardware.
    WakeCount,
    // The wake count stays at one: the thread wakes at a reply's first byte,
    // then rests on its wake event through the reply's line time. For drivers
    // that answer every settings change with requests to the adapter (a USB
    // control transfer each, under the lock the receive path takes), and for
    // any driver not known to be cheap.
    Rest,
};

// The strategy for the tty driver that sysfs names ("ftdi_sio", "pl2303",
// "serial8250"; "pty" for a pseudo-terminal, which sysfs does not list).
// `serialCore`: the tty is a port of the serial core, whose uart_set_termios
// compares before it touches the UART, whatever the driver below is named.
TVaWakeStrategy VaWakeStrategyOf(std::string_view driver, bool serialCore);

enum class TVaDeviceWait : std::uint8_t {
    Readable, // received bytes are waiting (or the device wants to be looked at)
    Woken,    // the wake event is signalled
    TimedOut,
    HungUp, // the line is gone: unplugged adapter, closed peer
    Failed, // the wait itself failed
};

struct TVaOpenResult {
    int Error = 0;
    // The device does not exist, as opposed to existing but not being available.
    bool Missing = false;
    // The path names something that is no serial line (a regular file, a
    // folder, /dev/null): waiting for it to come back would be waiting for ever.
    bool NotAPort = false;
};

class TVaDevice {
public:
    virtual ~TVaDevice() = default;

    // Opens the device for exclusive reading and writing.
    virtual TVaOpenResult Open(const std::string& path) = 0;
    // Puts back the line settings the device had when it was opened, then
    // closes it.
    virtual void Close() = 0;

    virtual int ReadSettings(TVaDcb& dcb) = 0;
    // Applies the record and reads it back; a record that cannot be expressed or
    // does not read back as written fails and leaves the previous settings.
    virtual int WriteSettings(const TVaDcb& dcb) = 0;
    // Makes reads return at once with what has arrived.
    virtual int SetTimeouts() { return 0; }
    virtual int SetQueueSizes(std::int32_t /*readSize*/, std::int32_t /*writeSize*/) { return 0; }
    // How many received bytes the event thread waits for before it announces
    // them (1 to 255): a reader that knows it needs N bytes is told once, not
    // once a byte. Reads still return whatever has arrived. Kept across
    // settings written later. Lowered below what already waits, it must end a
    // wait on the device under way, as the bytes are then enough.
    virtual int SetReadThreshold(std::uint8_t count)
    {
        readThreshold_.store(count);
        return 0;
    }
    std::uint8_t ReadThreshold() const { return readThreshold_.load(); }
    // How many waiting bytes end the event thread's wait on the device, which
    // the thread chooses for itself below the threshold: one while nothing has
    // come, so that it learns when a reply begins, and the threshold once it
    // has waited out the time the rest needs on the line. Waiting on the device
    // for the whole threshold from the start would wake the thread (inside the
    // wait) for every byte that trickles in. Never above the threshold as it is
    // when the count is applied: the thread read the threshold before, and a
    // reader may have lowered it since.
    virtual int SetWakeCount(std::uint8_t /*count*/) { return 0; }
    // The time one character takes on the line at the current settings; zero
    // while unknown.
    std::chrono::nanoseconds CharTime() const { return std::chrono::nanoseconds(charTimeNs_.load()); }
    // When the last byte written so far leaves the line, reckoned from the
    // character time (the epoch of the steady clock while nothing was written).
    std::chrono::steady_clock::time_point SendingEnds() const
    {
        return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(sendingEndsNs_.load()));
    }
    // Waits for `wake` alone during `period`, however many bytes arrive
    // meanwhile: Woken, TimedOut, or HungUp where the device can tell that the
    // line has gone (nothing will come to rest for then).
    virtual TVaDeviceWait Rest(TVaHandle wake, std::chrono::nanoseconds period)
    {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(period).count();
        return WaitReadable(false, wake, std::int32_t(ms));
    }
    // The tty driver the device belongs to, as sysfs names it; empty where
    // unknown.
    virtual std::string Driver() const { return {}; }
    virtual TVaWakeStrategy WakeStrategy() const { return TVaWakeStrategy::WakeCount; }
    // How many times the device's terminal settings have been written since
    // it was opened, for the figures: each is a request to a USB adapter.
    virtual std::uint64_t SettingsWrites() const { return 0; }
    // Selects the line events that the event thread waits for.
    virtual int SetEventMask(std::uint32_t mask)
    {
        eventMask_.store(mask);
        return 0;
    }
    std::uint32_t EventMask() const { return eventMask_.load(); }

    virtual int QueueCounts(std::uint32_t& inQueue, std::uint32_t& outQueue) = 0;
    // The receive queue alone: what every notification needs, for less.
    virtual int InQueue(std::uint32_t& inQueue)
    {
        std::uint32_t outQueue = 0;
        return QueueCounts(inQueue, outQueue);
    }
    // The driver's line-event totals; false where the driver keeps none.
    virtual bool LineCounters(TVaLineCounters& counters) = 0;
    virtual int Purge(std::uint32_t flags) = 0;

    // Writes what it can; gives up once the device has taken no byte for
    // `timeout`. `written` tells how much went.
    virtual int Write(const void* buffer, std::int32_t count, std::chrono::milliseconds timeout,
                      std::int32_t& written) = 0;
    // Reads what has arrived, at most `count` bytes, without waiting.
    virtual int Read(void* buffer, std::int32_t count, std::int32_t& read) = 0;
    // What a notifier on the owner's thread can watch for room to write; none
    // where the device has no such handle, and writes then wait in Write.
    virtual TVaHandle WriteHandle() const { return kVaInvalidHandle; }

    // Waits until the device has bytes to read (only if `watchReadable`), the line
    // hangs up, `wake` is signalled or `timeout` (kVaInfinite: none) passes. Called
    // by the event thread only, never after the component has stopped it.
    virtual TVaDeviceWait WaitReadable(bool watchReadable, TVaHandle wake,
                                       std::int32_t timeoutMs) = 0;

protected:
    void NoteReadThreshold(std::uint8_t count) { readThreshold_.store(count); }
    void NoteCharTime(std::chrono::nanoseconds time) { charTimeNs_.store(time.count()); }
    // Called by Write for what the device took: the bytes queue behind those
    // still on their way.
    void NoteSent(std::int32_t count)
    {
        const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
        const std::int64_t from = std::max(now, sendingEndsNs_.load());
        sendingEndsNs_.store(from + std::int64_t(count) * charTimeNs_.load());
    }

    // Called by Purge when the transmit queue is emptied: nothing written so
    // far is on its way any more, and no rest may wait for its line time.
    void NoteSendingDropped() { sendingEndsNs_.store(0); }

private:
    std::atomic<std::uint32_t> eventMask_{0};
    // Read by the event thread, which announces no fewer bytes.
    std::atomic<std::uint8_t> readThreshold_{1};
    std::atomic<std::int64_t> charTimeNs_{0};
    std::atomic<std::int64_t> sendingEndsNs_{0};
};

// The terminal mode flags that a device is given for `line` (speed, special
// characters and the driver's own flags aside): a pure function, so that the
// translation is checked without a device that honours every flag.
struct TVaTerminalFlags {
    std::uint32_t Iflag = 0;
    std::uint32_t Oflag = 0;
    std::uint32_t Cflag = 0;
    std::uint32_t Lflag = 0;
};
TVaTerminalFlags VaTerminalFlagsOf(const TVaLineSettings& line);

// The operating system's serial device. `driver`, where not empty, names the
// tty driver in place of sysfs: a pseudo-terminal then takes the wake strategy
// of the adapter it stands for.
std::shared_ptr<TVaDevice> VaCreateSystemDevice(std::string driver = {});

// The system's description of an error number, trimmed.
std::string VaSystemErrorText(int error);
// The error number of an operation on a device that is not open.
int VaBadHandleError();
// The error number of a setting that the device cannot express.
int VaInvalidSettingError();
// The error number of a write that the device stopped taking.
int VaTimedOutError();

// Manual-reset events: signalled stays signalled until reset.
TVaHandle VaCreateEventHandle(int& error);
int VaSignalEventHandle(TVaHandle event);
int VaResetEventHandle(TVaHandle event);
enum TVaWaitResult : std::uint8_t { wrSignaled, wrTimeout, wrAbandoned, wrError };
TVaWaitResult VaWaitHandle(TVaHandle handle, std::int32_t timeoutMs, int& error);
void VaCloseHandle(TVaHandle handle);

// Names the calling thread (for debuggers and process listings) and gives it the
// level that `priority` stands for; a level the process may not take is left.
void VaPrepareCurrentThread(const char* name, TThreadPriority priority);
