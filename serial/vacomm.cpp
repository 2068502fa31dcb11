#include "vacomm.h"

#include "device.h"
#include "vacommthread.h"
#include "vadcb.h"
#include "vaeventchars.h"
#include "vasupport.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

namespace {

std::mutex& ReportMutex()
{
    static std::mutex mutex;
    return mutex;
}

TVaExceptionReport& ReportSlot()
{
    static TVaExceptionReport report;
    return report;
}

std::string FormatPortText(const char* format, std::int32_t portNum)
{
    return FormatDeviceName(format, portNum);
}

// Holds the component's lock for a scope, also when an exception leaves it.
class TLockScope {
public:
    explicit TLockScope(TVaCriticalSection& section) : section_(section) { section_.Enter(); }
    ~TLockScope() { section_.Leave(); }
    TLockScope(const TLockScope&) = delete;
    TLockScope& operator=(const TLockScope&) = delete;

private:
    TVaCriticalSection& section_;
};

} // namespace

void SetVaExceptionReport(TVaExceptionReport report)
{
    const std::lock_guard lock(ReportMutex());
    ReportSlot() = std::move(report);
}

void VaReportException(std::exception_ptr error)
{
    TVaExceptionReport report;
    {
        const std::lock_guard lock(ReportMutex());
        report = ReportSlot();
    }
    try {
        if (report) {
            report(error);
            return;
        }
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (...) {
        // A report that fails itself has nowhere left to go; the event thread
        // must carry on regardless.
        std::fprintf(stderr, "Unknown exception in a serial port event handler\n");
    }
}

void VaRaiseCommError(const char* format, int error)
{
    std::string text;
    const std::string description = VaSystemErrorText(error);
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == 'd') {
            text += std::to_string(error);
            ++p;
        } else if (p[0] == '%' && p[1] == 's') {
            text += description;
            ++p;
        } else {
            text += *p;
        }
    }
    throw EVaCommError(text);
}

TVaCustomComm::TVaCustomComm(QObject* parent)
    : TVaCoreComponent(parent),
      lock_(std::make_unique<TVaCriticalSection>()),
      eventChars_(std::make_unique<TVaEventChars>()),
      errorBase_(std::make_unique<TVaLineCounters>())
{
    eventChars_->OnChange = [this](TVaPersistent*) { ApplySettings(); };
}

TVaCustomComm::~TVaCustomComm()
{
    destroying_ = true;
    if (!IsOpen())
        return;
    // As Close, but a failed purge must not keep the device (nor leave by an
    // exception from a destructor): the device is released regardless.
    if (auto thread = std::move(thread_))
        thread->Stop();
    try {
        PurgeReadWrite();
    } catch (const EVaCommError&) {
        // The device is closed next; what was queued in it is dropped anyway.
    }
    CloseDevice();
}

void TVaCustomComm::Open()
{
    CheckClosed();
    OpenDevice();
    rxThreshold_ = 1;
    try {
        ApplySettings();
        SetTimeouts();
        SetBufferSizes();
        SetEventMask(CalcEventMask());
        thread_ = std::make_shared<TVaCommThread>(device_, priority_);
        thread_->SetRxCharHandler([this] { DoRxChar(); });
        thread_->SetEventsHandler([this](std::uint32_t mask) { DoCommEvent(mask); });
        thread_->SetExceptionHandler([this](std::exception_ptr error) { ReportException(error); });
        thread_->Resume();
        ++openCount_;
        DoOpen();
    } catch (...) {
        // Also after a failing OnOpen, when the thread already runs.
        if (auto thread = std::move(thread_))
            thread->Stop();
        CloseDevice();
        throw;
    }
}

void TVaCustomComm::Close()
{
    if (!IsOpen())
        return;
    // Released here, before the purge: a Close that fails in purging leaves the
    // port open, and the next Close must not stop the ended thread again.
    if (auto thread = std::move(thread_))
        thread->Stop();
    PurgeReadWrite();
    CloseDevice();
    DoClose();
}

bool TVaCustomComm::IsOpen() const
{
    return device_ != nullptr;
}

bool TVaCustomComm::WriteChar(std::uint8_t ch)
{
    return WriteBuf(&ch, 1) == 1;
}

void TVaCustomComm::RaiseWriteError(int error) const
{
    try {
        VaRaiseCommError("Write error (%d), %s", error);
    } catch (const EVaCommError& e) {
        throw EVaCommWriteError(e.what());
    }
}

void TVaCustomComm::Send(const void* buffer, std::int32_t count)
{
    if (count <= 0)
        return;
    const TLockScope lock(*lock_);
    if (!device_)
        RaiseWriteError(VaBadHandleError());
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::int32_t written = 0;
    // Behind queued bytes nothing may overtake them.
    if (queuedFrom_ == queued_.size()) {
        if (const int error = device_->Write(bytes, count, std::chrono::milliseconds(0), written))
            RaiseWriteError(error);
    }
    if (written == count)
        return;
    if (!writable_) {
        // A device without a handle to watch: the rest is waited for here.
        std::int32_t rest = 0;
        const int error = device_->Write(bytes + written, count - written,
                                         std::chrono::milliseconds(writeTimeout_ > 0 ? writeTimeout_ : 0),
                                         rest);
        if (error != 0)
            RaiseWriteError(error);
        if (written + rest != count)
            RaiseWriteError(VaTimedOutError());
        return;
    }
    queued_.insert(queued_.end(), bytes + written, bytes + count);
    writable_->setEnabled(true);
    if (!stall_->isActive())
        stall_->start(std::max(writeTimeout_, 0));
}

void TVaCustomComm::SetRxThreshold(std::int32_t count)
{
    const auto threshold = static_cast<std::uint8_t>(std::clamp(count, 1, 255));
    const TLockScope lock(*lock_);
    const bool lowered = threshold < rxThreshold_;
    rxThreshold_ = threshold;
    if (!device_)
        return;
    // Lowered below what already waits, the device wakes the event thread's
    // wait itself (see SetReadThreshold), and a rest is cut short.
    const int error = device_->SetReadThreshold(threshold);
    if (lowered && thread_)
        thread_->Nudge();
    if (error != 0)
        RaiseCommError("Error writing dcb (%d), %s", error);
}

std::int32_t TVaCustomComm::SendPending() const
{
    return std::int32_t(queued_.size() - queuedFrom_);
}

void TVaCustomComm::WriteQueued()
{
    int error = 0;
    {
        const TLockScope lock(*lock_);
        if (!device_ || queuedFrom_ == queued_.size()) {
            DropQueued();
            return;
        }
        std::int32_t written = 0;
        error = device_->Write(queued_.data() + queuedFrom_, std::int32_t(queued_.size() - queuedFrom_),
                               std::chrono::milliseconds(0), written);
        if (error == 0 && written > 0) {
            queuedFrom_ += std::size_t(written);
            // The time-out is a stall: it runs from the last byte taken.
            stall_->start(std::max(writeTimeout_, 0));
        }
        if (error == 0 && queuedFrom_ == queued_.size()) {
            DropQueued();
            return;
        }
        if (error != 0)
            DropQueued();
    }
    if (error != 0) {
        try {
            RaiseWriteError(error);
        } catch (...) {
            ReportException(std::current_exception());
        }
    }
}

void TVaCustomComm::StallTimedOut()
{
    // The notifier is not the device: it says there is room only once the
    // driver's queue has nearly drained (a USB adapter's 4 KiB below 256
    // bytes, several seconds of line at 9600 baud), and an owner that was busy
    // or frozen runs it late, possibly after this timer. Bytes the device takes
    // now show that the line was moving; WriteQueued then counts the stall
    // afresh from here. Only a device that takes nothing has stalled.
    const std::int32_t pending = SendPending();
    WriteQueued();
    if (SendPending() == 0 || SendPending() < pending)
        return;
    DropQueued();
    try {
        RaiseWriteError(VaTimedOutError());
    } catch (...) {
        ReportException(std::current_exception());
    }
}

void TVaCustomComm::DropQueued()
{
    queued_.clear();
    queuedFrom_ = 0;
    if (writable_)
        writable_->setEnabled(false);
    if (stall_)
        stall_->stop();
}

bool TVaCustomComm::ReadChar(std::uint8_t& ch)
{
    if (ReadBufUsed() <= 0)
        return false;
    return ReadBuf(&ch, 1) == 1;
}

std::int32_t TVaCustomComm::ReadBufUsed()
{
    if (!IsOpen())
        return 0;
    TVaComStat status;
    GetStatistics(status);
    return std::int32_t(status.cbInQue);
}

void TVaCustomComm::PurgeReadWrite()
{
    Purge(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear);
}

std::int32_t TVaCustomComm::WriteBuf(const void* buffer, std::int32_t count)
{
    const TLockScope lock(*lock_);
    // No test for an open port: on a closed one the write fails as the system
    // fails it for a closed handle.
    if (!device_)
        RaiseWriteError(VaBadHandleError());
    std::int32_t written = 0;
    const int error = device_->Write(buffer, count > 0 ? count : 0,
                                     std::chrono::milliseconds(writeTimeout_ > 0 ? writeTimeout_ : 0),
                                     written);
    if (error != 0)
        RaiseWriteError(error);
    return written;
}

std::int32_t TVaCustomComm::ReadBuf(void* buffer, std::int32_t count)
{
    const TLockScope lock(*lock_);
    if (!device_)
        RaiseCommError("Read error (%d), %s", VaBadHandleError());
    // Reads never wait: they return at once with what has arrived, so
    // ReadTimeout has nothing to bound here.
    std::int32_t read = 0;
    const int error = device_->Read(buffer, count > 0 ? count : 0, read);
    if (error != 0)
        RaiseCommError("Read error (%d), %s", error);
    if (thread_ && read > 0)
        thread_->Consumed(std::uint32_t(read));
    return read;
}

void TVaCustomComm::GetStatistics(TVaComStat& status)
{
    status = TVaComStat{};
    const TLockScope lock(*lock_);
    if (!device_)
        return;
    std::int32_t errors = 0; // read, cleared and dropped: OnError reports them
    if (const int error = ClearCommError(errors, status))
        RaiseCommError("Error retrieving statistics (%d), %s", error);
}

int TVaCustomComm::ClearCommError(std::int32_t& errors, TVaComStat& status)
{
    std::uint32_t in = 0;
    std::uint32_t out = 0;
    if (const int error = device_->QueueCounts(in, out))
        return error;
    status.cbInQue = in;
    status.cbOutQue = out;
    errors = 0;
    // Drivers without totals (pseudo-terminals) have no line errors to report.
    TVaLineCounters now;
    if (device_->LineCounters(now)) {
        errors = LineErrorsBetween(*errorBase_, now);
        *errorBase_ = now;
    }
    return 0;
}

void TVaCustomComm::Purge(std::uint32_t flags)
{
    const TLockScope lock(*lock_);
    if (!device_)
        return;
    if (flags & (kPurgeTxAbort | kPurgeTxClear))
        DropQueued();
    if (const int error = device_->Purge(flags))
        RaiseCommError("Error clearing buffers (%d), %s", error);
    if (thread_ && (flags & (kPurgeRxAbort | kPurgeRxClear)))
        thread_->SetAnnounced(0);
    // The event thread may be resting through the line time of what was just
    // dropped (see Send); the device has forgotten it, and the rest must too.
    if (thread_ && (flags & (kPurgeTxAbort | kPurgeTxClear)))
        thread_->Nudge();
}

void TVaCustomComm::OpenDevice()
{
    auto device = VaCreateSystemDevice();
    const TVaOpenResult result = device->Open(FormatDeviceName(deviceName_, portNum_));
    if (result.Error != 0) {
        // The texts name the port as the operator knows it, whatever the
        // device path is.
        if (result.Missing)
            throw EVaCommDeviceMissing(FormatPortText("Invalid port number (COM%d)", portNum_));
        // Not missing: it will not come back as a port however long it is
        // looked for.
        if (result.NotAPort)
            throw EVaCommError(FormatPortText("Invalid port number (COM%d)", portNum_));
        throw EVaCommError(FormatPortText("Can't open device COM%d", portNum_));
    }
    AttachDevice(std::move(device));
}

void TVaCustomComm::AttachDevice(std::shared_ptr<TVaDevice> device)
{
    device_ = std::move(device);
    *errorBase_ = TVaLineCounters{};
    if (!device_)
        return;
    device_->LineCounters(*errorBase_);
    const TVaHandle handle = device_->WriteHandle();
    if (handle != kVaInvalidHandle) {
        writable_ = std::make_unique<QSocketNotifier>(handle, QSocketNotifier::Write);
        writable_->setEnabled(false);
        QObject::connect(writable_.get(), &QSocketNotifier::activated, this, [this] { WriteQueued(); });
        stall_ = std::make_unique<QTimer>();
        stall_->setSingleShot(true);
        QObject::connect(stall_.get(), &QTimer::timeout, this, [this] { StallTimedOut(); });
    }
}

void TVaCustomComm::CloseDevice()
{
    if (!device_)
        return;
    DropQueued();
    writable_.reset();
    stall_.reset();
    device_->Close();
    device_.reset();
}

void TVaCustomComm::CheckClosed() const
{
    if (IsOpen())
        throw EVaCommError("Can't perform this operation when port is open");
}

void TVaCustomComm::ApplySettings()
{
    if (loading_)
        return;
    const TLockScope lock(*lock_);
    if (!device_)
        return;
    TVaDcb dcb;
    if (const int error = device_->ReadSettings(dcb))
        RaiseCommError("Error reading dcb (%d), %s", error);
    TVaLineProperties p;
    p.Baudrate = baudrate_;
    p.Parity = parity_;
    p.Databits = databits_;
    p.Stopbits = stopbits_;
    p.FlowControl = flowControl_;
    p.DTRControl = dtrControl_;
    p.RTSControl = rtsControl_;
    p.Options = options_;
    p.XonLim = xonLim_;
    p.XoffLim = xoffLim_;
    p.XonChar = eventChars_->XonChar();
    p.XoffChar = eventChars_->XoffChar();
    p.ErrorChar = eventChars_->ErrorChar();
    p.EventChar = eventChars_->EventChar();
    if (const int error = device_->WriteSettings(BuildDcb(dcb, p)))
        RaiseCommError("Error writing dcb (%d), %s", error);
}

void TVaCustomComm::SetTimeouts()
{
    if (const int error = device_->SetTimeouts())
        RaiseCommError("Error setting timeouts (%d), %s", error);
}

void TVaCustomComm::SetBufferSizes()
{
    if (const int error = device_->SetQueueSizes(readBufSize_, writeBufSize_))
        RaiseCommError("Error initializing buffers (%d), %s", error);
}

std::uint32_t TVaCustomComm::CalcEventMask() const
{
    return EventMaskOf(monitorEvents_);
}

void TVaCustomComm::SetEventMask(std::uint32_t mask)
{
    const TLockScope lock(*lock_);
    if (!device_)
        return;
    if (const int error = device_->SetEventMask(mask))
        RaiseCommError(" Error setting EventMask (%d), %s", error);
}

void TVaCustomComm::DoOpen()
{
    if (OnOpen) {
        const TNotifyEvent handler = OnOpen;
        handler(this);
    }
}

void TVaCustomComm::DoClose()
{
    if (destroying_ || !OnClose)
        return;
    const TNotifyEvent handler = OnClose;
    handler(this);
}

void TVaCustomComm::RaiseCommError(const char* format, int error) const
{
    VaRaiseCommError(format, error);
}

void TVaCustomComm::SetExceptionReport(TVaExceptionReport report)
{
    exceptionReport_ = std::move(report);
}

void TVaCustomComm::ReportException(std::exception_ptr error)
{
    if (!exceptionReport_) {
        VaReportException(error);
        return;
    }
    // A copy: the report may replace itself, or close and reopen this port.
    const TVaExceptionReport report = exceptionReport_;
    try {
        report(error);
    } catch (...) {
        VaReportException(std::current_exception());
    }
}

void TVaCustomComm::Lock()
{
    lock_->Enter();
}

void TVaCustomComm::Unlock()
{
    lock_->Leave();
}

void TVaCustomComm::DoRxChar()
{
    // As GetStatistics, without the transmit queue, which nothing here needs.
    std::int32_t count = 0;
    {
        const TLockScope lock(*lock_);
        if (!device_)
            return;
        std::uint32_t in = 0;
        if (const int error = device_->InQueue(in))
            RaiseCommError("Error retrieving statistics (%d), %s", error);
        TVaLineCounters now;
        if (device_->LineCounters(now))
            *errorBase_ = now; // read, cleared and dropped: OnError reports them
        count = std::int32_t(in);
    }
    // What the handler is told counts as announced, read or not: only bytes
    // beyond it make the event thread announce again.
    if (thread_)
        thread_->SetAnnounced(count > 0 ? std::uint32_t(count) : 0);
    if (count <= 0)
        return;
    if (OnRxChar) {
        // A copy: the handler may install its successor while it runs.
        const TVaCommRxCharEvent handler = OnRxChar;
        handler(this, count);
    }
}

void TVaCustomComm::DoCommEvent(std::uint32_t mask)
{
    std::int32_t errors = 0;
    if (mask & kEvErr) {
        const TLockScope lock(*lock_);
        if (device_) {
            TVaComStat status;
            if (const int error = ClearCommError(errors, status))
                RaiseCommError("Error retrieving statistics (%d), %s", error);
        }
    }
    const auto raise = [this, mask](std::uint32_t bit, const TNotifyEvent& event) {
        if ((mask & bit) && event) {
            const TNotifyEvent handler = event;
            handler(this);
        }
    };
    if ((mask & kEvErr) && OnError) {
        const TVaCommErrorEvent handler = OnError;
        handler(this, errors);
    }
    raise(kEvRxFlag, OnRxFlag);
    raise(kEvRx80Full, OnRx80Full);
    raise(kEvCts, OnCts);
    raise(kEvDsr, OnDsr);
    raise(kEvRing, OnRing);
    raise(kEvRlsd, OnRlsd);
    raise(kEvTxEmpty, OnTxEmpty);
    raise(kEvBreak, OnBreak);
    raise(kEvEvent1, OnEvent1);
    raise(kEvEvent2, OnEvent2);
}

void TVaCustomComm::BeginLoading()
{
    loading_ = true;
}

void TVaCustomComm::Loaded()
{
    loading_ = false;
    if (autoOpen_)
        Open();
}

// Setters ---------------------------------------------------------------

template <typename T>
void TVaCustomComm::SetReapplying(T& field, T value)
{
    if (field == value)
        return;
    field = value;
    ApplySettings();
}

template <typename T>
void TVaCustomComm::SetRefused(T& field, T value)
{
    if (field == value)
        return;
    CheckClosed();
    field = value;
}

bool TVaCustomComm::AutoOpen() const { return autoOpen_; }
void TVaCustomComm::SetAutoOpen(bool value) { autoOpen_ = value; }
TVaBaudrate TVaCustomComm::Baudrate() const { return baudrate_; }
void TVaCustomComm::SetBaudrate(TVaBaudrate value) { SetReapplying(baudrate_, value); }
TVaParity TVaCustomComm::Parity() const { return parity_; }
void TVaCustomComm::SetParity(TVaParity value) { SetReapplying(parity_, value); }
TVaDatabits TVaCustomComm::Databits() const { return databits_; }
void TVaCustomComm::SetDatabits(TVaDatabits value) { SetReapplying(databits_, value); }
TVaStopbits TVaCustomComm::Stopbits() const { return stopbits_; }
void TVaCustomComm::SetStopbits(TVaStopbits value) { SetReapplying(stopbits_, value); }
std::int32_t TVaCustomComm::PortNum() const { return portNum_; }
void TVaCustomComm::SetPortNum(std::int32_t value) { SetRefused(portNum_, value); }
std::string TVaCustomComm::DeviceName() const { return deviceName_; }
void TVaCustomComm::SetDeviceName(const std::string& value) { deviceName_ = value; }
TVaCommEvents TVaCustomComm::MonitorEvents() const { return monitorEvents_; }
void TVaCustomComm::SetMonitorEvents(TVaCommEvents value) { SetRefused(monitorEvents_, value); }
TVaEventChars& TVaCustomComm::EventChars() { return *eventChars_; }

void TVaCustomComm::SetEventChars(const TVaEventChars& value)
{
    if (*eventChars_ == value)
        return;
    eventChars_->Assign(value); // one ApplySettings, through OnChange
}

std::int32_t TVaCustomComm::ReadBufSize() const { return readBufSize_; }
void TVaCustomComm::SetReadBufSize(std::int32_t value) { SetRefused(readBufSize_, value); }
std::int32_t TVaCustomComm::WriteBufSize() const { return writeBufSize_; }
void TVaCustomComm::SetWriteBufSize(std::int32_t value) { SetRefused(writeBufSize_, value); }
std::int32_t TVaCustomComm::ReadTimeout() const { return readTimeout_; }
void TVaCustomComm::SetReadTimeout(std::int32_t value) { readTimeout_ = value; }
std::int32_t TVaCustomComm::WriteTimeout() const { return writeTimeout_; }
void TVaCustomComm::SetWriteTimeout(std::int32_t value) { writeTimeout_ = value; }
TVaFlowControl TVaCustomComm::FlowControl() const { return flowControl_; }
void TVaCustomComm::SetFlowControl(TVaFlowControl value) { SetReapplying(flowControl_, value); }
TVaCommOptions TVaCustomComm::Options() const { return options_; }
void TVaCustomComm::SetOptions(TVaCommOptions value) { SetReapplying(options_, value); }
std::int32_t TVaCustomComm::XonLim() const { return xonLim_; }
void TVaCustomComm::SetXonLim(std::int32_t value) { SetReapplying(xonLim_, value); }
std::int32_t TVaCustomComm::XoffLim() const { return xoffLim_; }
void TVaCustomComm::SetXoffLim(std::int32_t value) { SetReapplying(xoffLim_, value); }
TThreadPriority TVaCustomComm::Priority() const { return priority_; }
void TVaCustomComm::SetPriority(TThreadPriority value) { SetRefused(priority_, value); }
TVaDTRControl TVaCustomComm::DTRControl() const { return dtrControl_; }
void TVaCustomComm::SetDTRControl(TVaDTRControl value) { SetReapplying(dtrControl_, value); }
TVaRTSControl TVaCustomComm::RTSControl() const { return rtsControl_; }
void TVaCustomComm::SetRTSControl(TVaRTSControl value) { SetReapplying(rtsControl_, value); }
