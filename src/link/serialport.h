#pragma once

#include "serialerror.h"
#include "seriallink.h"
#include "serialsettings.h"
#include "serialtypes.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class RemoteSerialDevice;
class TSerialThread;

// One serial port: its line settings, the open device, the event thread that
// reports line events to the user-interface thread, and synchronous writing
// and reading of byte strings. Every call is made on the user-interface
// thread; handlers run there too (except with smNone).
// The component's stored port: "COM1" on Windows, its stand-in /dev/ttyS0 elsewhere.
extern const char *const DefaultPortName;

class TCustomSerialPort {
public:
    using Notify = std::function<void(TCustomSerialPort &sender)>;
    using RxCharEvent = std::function<void(TCustomSerialPort &sender, int count)>;
    using RxBufEvent = std::function<void(TCustomSerialPort &sender, const char *buffer, int count)>;
    using LineStateEvent = std::function<void(TCustomSerialPort &sender, bool on)>;
    using ErrorEvent = std::function<void(TCustomSerialPort &sender, TSerialErrors errors)>;

    TCustomSerialPort();
    virtual ~TCustomSerialPort();
    TCustomSerialPort(const TCustomSerialPort &) = delete;
    TCustomSerialPort &operator=(const TCustomSerialPort &) = delete;

    // Adds the "serial" message domain to the catalogue lookup, once. Called
    // by the first port made; may be called earlier from main().
    static void RegisterMessageDomain();

    // --- operations
    void OpenPort();
    void ClosePort();
    int WriteString(const std::string &data);
    int ReadString(std::string &data, int count);
    int InputQueueCount();
    std::uint8_t ModemSignals();
    TSerialErrors LineErrors();
    void AbortPendingIo();
    void AttachLink(TSerialLink *link);
    void DetachLink(TSerialLink *link);

    // --- properties
    bool Connected() const { return connected_; }
    void SetConnected(bool value);
    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate value);
    int CustomBaudRate() const { return customBaudRate_; }
    void SetCustomBaudRate(int value);
    const std::string &Port() const { return port_; }
    void SetPort(const std::string &value);
    TSerialParity &Parity() { return parity_; }
    const TSerialParity &Parity() const { return parity_; }
    void SetParity(const TSerialParity &value) { parity_.Assign(value); }
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits value);
    TDataBits DataBits() const { return dataBits_; }
    void SetDataBits(TDataBits value);
    bool DiscardNull() const { return discardNull_; }
    void SetDiscardNull(bool value);
    char EventChar() const { return eventChar_; }
    void SetEventChar(char value);
    TSerialEvents Events() const { return events_; }
    void SetEvents(TSerialEvents value) { events_ = value & kAllSerialEvents; }
    TSerialBuffer &Buffer() { return buffer_; }
    const TSerialBuffer &Buffer() const { return buffer_; }
    void SetBuffer(const TSerialBuffer &value) { buffer_.Assign(value); }
    TSerialFlowControl &FlowControl() { return flowControl_; }
    const TSerialFlowControl &FlowControl() const { return flowControl_; }
    void SetFlowControl(const TSerialFlowControl &value) { flowControl_.Assign(value); }
    TSerialTimeouts &Timeouts() { return timeouts_; }
    const TSerialTimeouts &Timeouts() const { return timeouts_; }
    void SetTimeouts(const TSerialTimeouts &value) { timeouts_.Assign(value); }
    TSyncMethod SyncMethod() const { return syncMethod_; }
    void SetSyncMethod(TSyncMethod value);

    // The open device: a descriptor, on Windows the HANDLE's value; -1 while closed.
    int Handle() const { return fd_; }
    // Whether an event thread currently serves the open port.
    bool HasEventThread() const { return thread_ != nullptr; }

    // While loading, property changes are only stored. EndLoading opens a
    // port whose Connected was set meanwhile; a failure goes to the default
    // error handler.
    void BeginLoading() { loading_ = true; }
    void EndLoading();
    bool Loading() const { return loading_; }

    // Controls that point at the port ask to be told when it goes away.
    void AddFreeNotification(const void *key, std::function<void()> onDestroy);
    void RemoveFreeNotification(const void *key);

    // Hand the current values to the open device; nothing while closed or
    // loading. Called by the settings objects.
    void ApplyLineSettings();
    void ApplyTimeoutValues();
    void ApplyBufferSizes();

    // --- events (sender first; unset ones are skipped)
    Notify OnBeforeOpen;
    Notify OnAfterOpen;
    Notify OnBeforeClose;
    Notify OnAfterClose;
    RxCharEvent OnRxChar;
    RxBufEvent OnRxBuf;
    Notify OnTxEmpty;
    Notify OnBreak;
    Notify OnRing;
    Notify OnRxFlag;
    Notify OnRx80Full;
    LineStateEvent OnCTSChange;
    LineStateEvent OnDSRChange;
    LineStateEvent OnRLSDChange;
    ErrorEvent OnError;
    // Once per open: the device went away (adapter pulled, pty closed). The
    // port stays open until it is closed.
    Notify OnDeviceLost;

private:
    // Platform part.
    void OpenDevice();
    void CloseDevice();
    void PurgeQueues() noexcept;
    void StopEventThread();
    void ReapRetiredThreads(bool waitForAll);
    int ReadBytes(char *buffer, int count);
    int MicrosPerCharacter() const;

    // Shared part.
    void StartEventThread();
    void OpenRemoteDevice();
    void RemoteLinesChanged(std::uint8_t lines);
    void RemoteLineState(std::uint8_t state);
    // LineErrors of a remote port: what notifications reported since the last call.
    TSerialErrors TakeRemoteErrors();
    bool CanApply() const { return connected_ && !loading_ && fd_ >= 0; }
    bool StillOpen(std::uint64_t openSerial) const { return connected_ && openSerial_ == openSerial; }
    // Hooks may pump UI events, and a nested handler may detach a link (a
    // lamp going away): walk a copy and skip links that left meanwhile.
    template <class F>
    void ForEachLink(F &&f)
    {
        const std::vector<TSerialLink *> snapshot = links_;
        for (TSerialLink *link : snapshot)
            if (std::find(links_.begin(), links_.end(), link) != links_.end())
                f(*link);
    }
    void NotifyAfterOpen();
    void NotifyBeforeClose();
    void ReportLineState(std::uint8_t signal, std::uint64_t openSerial);
    // How a batch of the event thread reaches the handlers, by SyncMethod.
    std::function<void(TSerialEvents)> DeliveryFor(TSerialThread *thread);
    void DeliverEvents(TSerialThread *from, TSerialEvents batch, bool eachGuarded);
    void DeliverEvent(TSerialEvent event);
    void ReceivedData();

    std::string port_;
    TBaudRate baudRate_ = br9600;
    int customBaudRate_ = 9600;
    TStopBits stopBits_ = sbOneStopBit;
    TDataBits dataBits_ = dbEight;
    bool discardNull_ = false;
    char eventChar_ = 0;
    TSerialEvents events_ = kAllSerialEvents;
    TSyncMethod syncMethod_ = smThreadSync;
    TSerialParity parity_;
    TSerialFlowControl flowControl_;
    TSerialTimeouts timeouts_;
    TSerialBuffer buffer_;

    int fd_ = -1;
    // Set while the open port is one on a device server.
    std::unique_ptr<RemoteSerialDevice> remote_;
    bool connected_ = false;
    bool loading_ = false;
    bool closing_ = false;
    std::uint64_t openSerial_ = 0;
    std::shared_ptr<TSerialThread> thread_;
    std::vector<std::shared_ptr<TSerialThread>> retired_;
    std::vector<TSerialLink *> links_;
    bool linksWantRxBuffer_ = false;
    std::vector<std::pair<const void *, std::function<void()>>> freeNotifications_;
    // Error counters at the last LineErrors(): the kernel only counts up.
    int errorBase_[5] = {};
    std::uint8_t remoteLines_ = 0;
    TSerialErrors remoteErrors_ = 0;
};

// The published form used by the main window.
class TSerialPort : public TCustomSerialPort {
public:
    using TCustomSerialPort::TCustomSerialPort;
};
