#pragma once

// The serial port component. Behaviour lives in TVaCustomComm; TVaComm only
// publishes it. Every call is made on the user-interface thread; the event thread
// started by Open() hands received-byte notifications over to that thread.

#include "vaeventchars.h"

#include <QObject>

class QSocketNotifier;
class QTimer;

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class EVaCommError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Opening failed because the port's device does not exist: a wrong path, or an
// adapter that has been unplugged. Callers may wait for it to come back.
class EVaCommDeviceMissing : public EVaCommError {
public:
    using EVaCommError::EVaCommError;
};

// Bytes given to the port did not all reach the line: what follows them on the
// wire is no longer what the writer meant.
class EVaCommWriteError : public EVaCommError {
public:
    using EVaCommError::EVaCommError;
};

enum TVaBaudrate : std::uint8_t {
    br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
    br19200, br38400, br56000, br57600, br115200, br128000, br256000,
};
enum TVaParity : std::uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum TVaDatabits : std::uint8_t { db4, db5, db6, db7, db8 };
enum TVaStopbits : std::uint8_t { sb1, sb15, sb2 };
enum TVaFlowControl : std::uint8_t { fcNone, fcXonXoff, fcRtsCts, fcDtrDsr };
enum TVaDTRControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TVaRTSControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TVaCommEvent : std::uint8_t {
    ceBreak, ceCts, ceDsr, ceError, ceRing, ceRlsd, ceRxChar, ceTxEmpty, ceRxFlag,
};
enum TVaCommOption : std::uint8_t {
    coContinueOnXOff, coErrorChar, coNullStrip, coParityCheck, coDsrSensitivity,
};
enum TThreadPriority : std::uint8_t {
    tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical,
};

// A set of enumeration values held as bits, like the component's published sets.
template <typename Enum, typename Storage>
class TVaSet {
public:
    constexpr TVaSet() = default;
    constexpr TVaSet(std::initializer_list<Enum> values)
    {
        for (Enum v : values)
            bits_ = Storage(bits_ | Bit(v));
    }
    constexpr bool Contains(Enum v) const { return (bits_ & Bit(v)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr Storage Bits() const { return bits_; }
    constexpr void Include(Enum v) { bits_ = Storage(bits_ | Bit(v)); }
    constexpr void Exclude(Enum v) { bits_ = Storage(bits_ & ~Bit(v)); }
    friend constexpr bool operator==(TVaSet, TVaSet) = default;

private:
    static constexpr Storage Bit(Enum v) { return Storage(Storage(1) << unsigned(v)); }
    Storage bits_ = 0;
};
using TVaCommEvents = TVaSet<TVaCommEvent, std::uint16_t>;
using TVaCommOptions = TVaSet<TVaCommOption, std::uint8_t>;

// Queue counts and status flags of the open device; all zero while closed.
struct TVaComStat {
    std::uint32_t Flags = 0;
    std::uint32_t cbInQue = 0;
    std::uint32_t cbOutQue = 0;
};

// Purge actions, as one set of flags.
inline constexpr std::uint32_t kPurgeTxAbort = 0x01;
inline constexpr std::uint32_t kPurgeRxAbort = 0x02;
inline constexpr std::uint32_t kPurgeTxClear = 0x04;
inline constexpr std::uint32_t kPurgeRxClear = 0x08;

class TVaCustomComm;
using TNotifyEvent = std::function<void(TVaCustomComm* Sender)>;
using TVaCommErrorEvent = std::function<void(TVaCustomComm* Sender, std::int32_t Errors)>;
using TVaCommRxCharEvent = std::function<void(TVaCustomComm* Sender, std::int32_t Count)>;
using TVaCommRxBufEvent =
    std::function<void(TVaCustomComm* Sender, const char* Buf, std::int32_t Count)>;

// Where exceptions that escape an event handler go. The application installs its
// standard exception report here; until it does, they are written to stderr.
using TVaExceptionReport = std::function<void(std::exception_ptr)>;
void SetVaExceptionReport(TVaExceptionReport report);
void VaReportException(std::exception_ptr error);

class TVaCommThread;       // serial/vacommthread.h
class TVaDevice;           // serial/device.h
class TVaCriticalSection;  // serial/vasupport.h
struct TVaLineCounters;    // serial/vadcb.h

// The framework's component base and the two classes of the chain that carry
// nothing of their own.
class TVaComponent : public QObject {
public:
    using QObject::QObject;
};
class TVaCoreComponent : public TVaComponent {
public:
    using TVaComponent::TVaComponent;
};

class TVaCustomComm : public TVaCoreComponent {
public:
    explicit TVaCustomComm(QObject* parent = nullptr);
    ~TVaCustomComm() override;

    void Open();
    void Close();
    bool IsOpen() const;
    // How many times the port has been opened. A receive handler that sees it
    // change during its call knows the bytes it was told of went with the old
    // line, whatever the new one now holds.
    std::uint64_t OpenCount() const { return openCount_; }

    bool WriteChar(std::uint8_t ch);
    bool ReadChar(std::uint8_t& ch);
    // Hands `count` bytes to the line without waiting for it: what the device
    // takes now is written now, the rest as it takes it, in order, while the
    // thread that owns the port goes on. A write the device refuses raises
    // EVaCommWriteError "Write error (%d), %s" at once; bytes it stops taking
    // for WriteTimeout are dropped and that error goes to the exception report.
    // Purging the output, or closing, drops what is still queued.
    void Send(const void* buffer, std::int32_t count);
    // Bytes handed to Send that the device has not taken yet.
    std::int32_t SendPending() const;
    // Received bytes are announced (OnRxChar) once at least `count` of them
    // wait, 1 to 255; 1 at every open. A reader that knows how many bytes the
    // answer it awaits still needs is so told once when they are all there,
    // not once a byte; bytes that arrive for another reason still count.
    void SetRxThreshold(std::int32_t count);
    std::int32_t ReadBufUsed();
    void PurgeReadWrite();
    std::int32_t WriteBuf(const void* buffer, std::int32_t count);
    std::int32_t ReadBuf(void* buffer, std::int32_t count);
    void GetStatistics(TVaComStat& status);
    void Purge(std::uint32_t flags);

    // Properties. Setters compare first and do nothing for an unchanged value.
    bool AutoOpen() const;
    void SetAutoOpen(bool value);
    TVaBaudrate Baudrate() const;
    void SetBaudrate(TVaBaudrate value);
    TVaParity Parity() const;
    void SetParity(TVaParity value);
    TVaDatabits Databits() const;
    void SetDatabits(TVaDatabits value);
    TVaStopbits Stopbits() const;
    void SetStopbits(TVaStopbits value);
    std::int32_t PortNum() const;
    void SetPortNum(std::int32_t value);
    std::string DeviceName() const;
    void SetDeviceName(const std::string& value);
    TVaCommEvents MonitorEvents() const;
    void SetMonitorEvents(TVaCommEvents value);
    TVaEventChars& EventChars();
    void SetEventChars(const TVaEventChars& value);
    std::int32_t ReadBufSize() const;
    void SetReadBufSize(std::int32_t value);
    std::int32_t WriteBufSize() const;
    void SetWriteBufSize(std::int32_t value);
    std::int32_t ReadTimeout() const;
    void SetReadTimeout(std::int32_t value);
    std::int32_t WriteTimeout() const;
    void SetWriteTimeout(std::int32_t value);
    TVaFlowControl FlowControl() const;
    void SetFlowControl(TVaFlowControl value);
    TVaCommOptions Options() const;
    void SetOptions(TVaCommOptions value);
    std::int32_t XonLim() const;
    void SetXonLim(std::int32_t value);
    std::int32_t XoffLim() const;
    void SetXoffLim(std::int32_t value);
    TThreadPriority Priority() const;
    void SetPriority(TThreadPriority value);
    TVaDTRControl DTRControl() const;
    void SetDTRControl(TVaDTRControl value);
    TVaRTSControl RTSControl() const;
    void SetRTSControl(TVaRTSControl value);

    // Where an exception that escapes one of this port's event handlers goes:
    // to its owner, so that with several ports each failure reaches the one
    // whose line it concerns. Unset, it goes to the application's report.
    void SetExceptionReport(TVaExceptionReport report);

    // Events: empty by default, replaceable at any time, called on the
    // user-interface thread.
    TNotifyEvent OnOpen;
    TNotifyEvent OnClose;
    TNotifyEvent OnCts;
    TNotifyEvent OnDsr;
    TNotifyEvent OnRlsd;
    TNotifyEvent OnRing;
    TNotifyEvent OnBreak;
    TVaCommErrorEvent OnError;
    TVaCommRxCharEvent OnRxChar;
    TVaCommRxBufEvent OnRxBuf;
    TNotifyEvent OnRx80Full;
    TNotifyEvent OnRxFlag;
    TNotifyEvent OnEvent1;
    TNotifyEvent OnEvent2;
    TNotifyEvent OnTxEmpty;

protected:
    // Opens the device that DeviceName and PortNum name and attaches it.
    virtual void OpenDevice();
    // The receive notification and the line-event dispatch of the event thread,
    // on the user-interface thread.
    virtual void DoRxChar();
    virtual void DoCommEvent(std::uint32_t mask);

    // Makes `device` (opened) the component's device; for OpenDevice.
    void AttachDevice(std::shared_ptr<TVaDevice> device);
    void CloseDevice();
    void CheckClosed() const;
    void ApplySettings();
    void SetTimeouts();
    void SetBufferSizes();
    std::uint32_t CalcEventMask() const;
    void SetEventMask(std::uint32_t mask);
    void DoOpen();
    void DoClose();
    [[noreturn]] void RaiseCommError(const char* format, int error) const;
    void ReportException(std::exception_ptr error);
    // Writes queued bytes while the device takes them; reports a failure.
    void WriteQueued();
    void DropQueued();
    // The write time-out ran out with bytes still queued.
    void StallTimedOut();
    [[noreturn]] void RaiseWriteError(int error) const;
    void Lock();
    void Unlock();

    // While the stored description of the owner is read, setters only store;
    // Loaded ends that and opens the port if AutoOpen is set.
    void BeginLoading();
    virtual void Loaded();

private:
    template <typename T>
    void SetReapplying(T& field, T value);
    template <typename T>
    void SetRefused(T& field, T value);
    // Reads and clears the line-error flags and fills the queue counts; the
    // caller holds the lock and a device is attached.
    int ClearCommError(std::int32_t& errors, TVaComStat& status);

    std::shared_ptr<TVaDevice> device_;
    std::unique_ptr<TVaCriticalSection> lock_;
    std::unique_ptr<TVaEventChars> eventChars_;
    std::shared_ptr<TVaCommThread> thread_;
    // The line-event totals when the error flags were last cleared.
    std::unique_ptr<TVaLineCounters> errorBase_;
    bool loading_ = false;
    bool destroying_ = false;
    std::uint64_t openCount_ = 0;
    std::uint8_t rxThreshold_ = 1;
    TVaExceptionReport exceptionReport_;
    // What Send could not write yet, from `queuedFrom_` on, and the watch for
    // room on the device; the stall timer ends a line that takes nothing more.
    std::vector<std::uint8_t> queued_;
    std::size_t queuedFrom_ = 0;
    std::unique_ptr<QSocketNotifier> writable_;
    std::unique_ptr<QTimer> stall_;

    bool autoOpen_ = false;
    TVaBaudrate baudrate_ = br1200;
    TVaParity parity_ = paNone;
    TVaDatabits databits_ = db8;
    TVaStopbits stopbits_ = sb1;
    std::int32_t portNum_ = 0;
    std::string deviceName_ = "COM%d";
    TVaCommEvents monitorEvents_;
    std::int32_t readBufSize_ = 4096;
    std::int32_t writeBufSize_ = 2048;
    std::int32_t readTimeout_ = 1000;
    std::int32_t writeTimeout_ = 1000;
    TVaFlowControl flowControl_ = fcRtsCts;
    TVaCommOptions options_;
    std::int32_t xonLim_ = 1024;
    std::int32_t xoffLim_ = 1024;
    TThreadPriority priority_ = tpNormal;
    TVaDTRControl dtrControl_ = dtrEnable;
    TVaRTSControl rtsControl_ = rtsEnable;
};

// Publishes the properties and events of TVaCustomComm; adds no behaviour.
class TVaComm : public TVaCustomComm {
public:
    using TVaCustomComm::TVaCustomComm;
};
