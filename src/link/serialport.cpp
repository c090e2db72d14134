#include "serialport.h"

#include "errorhandler.h"
#include "mainthreadsync.h"
#include "remoteserialdevice.h"
#include "resourcestring.h"
#include "rfc2217client.h"
#include "serialthread.h"

#include <algorithm>
#include <mutex>

namespace {
std::once_flag messageDomainOnce;
}

void TCustomSerialPort::RegisterMessageDomain()
{
    std::call_once(messageDomainOnce, [] { AddResourceStringDomain("serial"); });
}

TCustomSerialPort::TCustomSerialPort()
    : port_(DefaultPortName), parity_(this), flowControl_(this), timeouts_(this), buffer_(this)
{
    RegisterMessageDomain();
    // The first port is made on the UI thread; that fixes which thread runs
    // the hand-overs unless the application says otherwise.
    MainThreadSync::Instance();
}

TCustomSerialPort::~TCustomSerialPort()
{
    Guarded([this] { ClosePort(); });
    // A port destroyed from inside its own event delivery still has an event
    // thread that cannot be joined here; it ends on its own.
    if (fd_ >= 0) {
        if (thread_) {
            thread_->RequestStop();
            retired_.push_back(std::move(thread_));
        }
        CloseDevice();
    }
    ReapRetiredThreads(true);
    MainThreadSync::Instance().CancelPosted(this);
    auto notifications = std::move(freeNotifications_);
    freeNotifications_.clear();
    for (auto &entry : notifications)
        if (entry.second)
            entry.second();
    links_.clear();
}

// --- links and notifications

void TCustomSerialPort::AttachLink(TSerialLink *link)
{
    if (!link || std::find(links_.begin(), links_.end(), link) != links_.end())
        RaiseSerialError(SerialError::LinkRegistrationFailed);
    links_.push_back(link);
    linksWantRxBuffer_ = std::any_of(links_.begin(), links_.end(), [](TSerialLink *l) { return bool(l->RxBufferReady); });
}

void TCustomSerialPort::DetachLink(TSerialLink *link)
{
    auto it = std::find(links_.begin(), links_.end(), link);
    if (it == links_.end())
        RaiseSerialError(SerialError::LinkRegistrationFailed);
    links_.erase(it);
    linksWantRxBuffer_ = std::any_of(links_.begin(), links_.end(), [](TSerialLink *l) { return bool(l->RxBufferReady); });
}

void TCustomSerialPort::AddFreeNotification(const void *key, std::function<void()> onDestroy)
{
    RemoveFreeNotification(key);
    freeNotifications_.emplace_back(key, std::move(onDestroy));
}

void TCustomSerialPort::RemoveFreeNotification(const void *key)
{
    freeNotifications_.erase(std::remove_if(freeNotifications_.begin(), freeNotifications_.end(),
                                            [&](const auto &entry) { return entry.first == key; }),
                             freeNotifications_.end());
}

// --- properties

void TCustomSerialPort::SetConnected(bool value)
{
    if (loading_) {
        connected_ = value;
        return;
    }
    if (value)
        OpenPort();
    else
        ClosePort();
}

void TCustomSerialPort::EndLoading()
{
    if (!loading_)
        return;
    loading_ = false;
    if (connected_ && fd_ < 0) {
        connected_ = false;
        Guarded([this] { OpenPort(); });
    }
}

void TCustomSerialPort::SetBaudRate(TBaudRate value)
{
    if (baudRate_ == value)
        return;
    baudRate_ = value;
    ApplyLineSettings();
}

void TCustomSerialPort::SetCustomBaudRate(int value)
{
    if (customBaudRate_ == value)
        return;
    customBaudRate_ = value;
    ApplyLineSettings();
}

void TCustomSerialPort::SetPort(const std::string &value)
{
    if (port_ == value)
        return;
    port_ = value;
    if (connected_ && !loading_) {
        ClosePort();
        OpenPort();
    }
}

void TCustomSerialPort::SetStopBits(TStopBits value)
{
    if (stopBits_ == value)
        return;
    stopBits_ = value;
    ApplyLineSettings();
}

void TCustomSerialPort::SetDataBits(TDataBits value)
{
    if (dataBits_ == value)
        return;
    dataBits_ = value;
    ApplyLineSettings();
}

void TCustomSerialPort::SetDiscardNull(bool value)
{
    if (discardNull_ == value)
        return;
    discardNull_ = value;
    ApplyLineSettings();
}

void TCustomSerialPort::SetEventChar(char value)
{
    if (eventChar_ == value)
        return;
    eventChar_ = value;
    ApplyLineSettings();
}

void TCustomSerialPort::SetSyncMethod(TSyncMethod value)
{
    if (syncMethod_ == value)
        return;
    if (connected_ && !loading_)
        RaiseSerialError(SerialError::SetWhileConnected);
    syncMethod_ = value;
}

// --- open and close

void TCustomSerialPort::OpenPort()
{
    if (connected_)
        return;
    ReapRetiredThreads(false);
    if (OnBeforeOpen)
        OnBeforeOpen(*this);
    if (connected_) // a nested handler opened it meanwhile
        return;
    OpenDevice();
    connected_ = true;
    ++openSerial_;
    try {
        ApplyBufferSizes();
        ApplyLineSettings();
        ApplyTimeoutValues();
        if (events_ != 0)
            StartEventThread();
    } catch (...) {
        CloseDevice();
        connected_ = false;
        throw;
    }
    NotifyAfterOpen();
}

void TCustomSerialPort::NotifyAfterOpen()
{
    const std::uint64_t serial = openSerial_;
    ForEachLink([&](TSerialLink &link) {
        if (link.ConnectionChanged && StillOpen(serial))
            link.ConnectionChanged(true);
    });
    if (OnAfterOpen && StillOpen(serial))
        OnAfterOpen(*this);
    ReportLineState(msCTS, serial);
    ReportLineState(msDSR, serial);
    ReportLineState(msRLSD, serial);
}

void TCustomSerialPort::OpenRemoteDevice()
{
    // The server's notifications arrive on the device's thread; the lamps
    // change on the UI thread like those of a local port.
    auto remote = std::make_unique<RemoteSerialDevice>([this](std::uint8_t lines) {
        MainThreadSync::Instance().Post(this, [this, lines] { RemoteLinesChanged(lines); });
    });
    remote->OnLineState = [this](std::uint8_t state) {
        MainThreadSync::Instance().Post(this, [this, state] { RemoteLineState(state); });
    };
    fd_ = remote->Open(port_);
    remote_ = std::move(remote);
    remoteLines_ = remote_->ModemLines();
    remoteErrors_ = 0;
}

void TCustomSerialPort::RemoteLinesChanged(std::uint8_t lines)
{
    if (!remote_ || !connected_)
        return;
    const std::uint8_t before = remoteLines_;
    remoteLines_ = lines;
    const std::uint64_t serial = openSerial_;
    const std::pair<std::uint8_t, TSerialEvent> watched[] = {{msCTS, evCTS}, {msDSR, evDSR}, {msRLSD, evRLSD}};
    for (const auto &[signal, event] : watched)
        if (((before ^ lines) & signal) && (events_ & EventBit(event)))
            ReportLineState(signal, serial);
    if ((lines & ~before & msRing) && (events_ & EventBit(evRing)) && StillOpen(serial))
        DeliverEvent(evRing);
}

void TCustomSerialPort::RemoteLineState(std::uint8_t state)
{
    if (!remote_ || !connected_)
        return;
    using C = Rfc2217Client;
    // Counted like a local UART's error counters: kept until LineErrors.
    if (state & C::kLineFraming)
        remoteErrors_ |= seFrame;
    if (state & C::kLineParity)
        remoteErrors_ |= seParity;
    if (state & C::kLineOverrun)
        remoteErrors_ |= seOverrun;
    if (state & C::kLineBreak)
        remoteErrors_ |= seBreak;
    const std::uint64_t serial = openSerial_;
    if ((state & (C::kLineFraming | C::kLineParity | C::kLineOverrun)) && (events_ & EventBit(evError)))
        DeliverEvent(evError);
    if ((state & C::kLineBreak) && (events_ & EventBit(evBreak)) && StillOpen(serial))
        DeliverEvent(evBreak);
}

TSerialErrors TCustomSerialPort::TakeRemoteErrors()
{
    TSerialErrors errors = remoteErrors_;
    remoteErrors_ = 0;
    if (!parity_.Check())
        errors &= static_cast<TSerialErrors>(~seParity);
    return errors;
}

void TCustomSerialPort::ReportLineState(std::uint8_t signal, std::uint64_t openSerial)
{
    // A handler that pumped UI events may have closed the port meanwhile.
    if (!StillOpen(openSerial))
        return;
    const bool on = (ModemSignals() & signal) != 0;
    auto hook = signal == msCTS ? &TSerialLink::CtsChanged
              : signal == msDSR ? &TSerialLink::DsrChanged
                                : &TSerialLink::RlsdChanged;
    ForEachLink([&](TSerialLink &link) {
        if (link.*hook)
            (link.*hook)(on);
    });
    const LineStateEvent &event = signal == msCTS ? OnCTSChange : signal == msDSR ? OnDSRChange : OnRLSDChange;
    if (event && StillOpen(openSerial))
        event(*this, on);
}

void TCustomSerialPort::NotifyBeforeClose()
{
    ForEachLink([](TSerialLink &link) { if (link.CtsChanged) link.CtsChanged(false); });
    ForEachLink([](TSerialLink &link) { if (link.DsrChanged) link.DsrChanged(false); });
    ForEachLink([](TSerialLink &link) { if (link.RlsdChanged) link.RlsdChanged(false); });
    if (OnCTSChange)
        OnCTSChange(*this, false);
    if (OnDSRChange)
        OnDSRChange(*this, false);
    if (OnRLSDChange)
        OnRLSDChange(*this, false);
    if (OnBeforeClose)
        OnBeforeClose(*this);
}

void TCustomSerialPort::ClosePort()
{
    // A close requested while this port is already closing (from a handler
    // nested in the close) is part of that close.
    if (!connected_ || closing_)
        return;
    if (fd_ < 0) { // stored as connected while loading, never opened
        connected_ = false;
        return;
    }
    closing_ = true;
    try {
        NotifyBeforeClose();
        AbortPendingIo();
    } catch (...) {
        closing_ = false;
        throw;
    }
    StopEventThread();
    PurgeQueues();
    CloseDevice();
    connected_ = false;
    closing_ = false;
    ForEachLink([](TSerialLink &link) { if (link.ConnectionChanged) link.ConnectionChanged(false); });
    if (OnAfterClose)
        OnAfterClose(*this);
}

void TCustomSerialPort::StopEventThread()
{
    if (!thread_)
        return;
    const std::shared_ptr<TSerialThread> thread = thread_;
    thread->RequestStop();
    if ((syncMethod_ == smThreadSync && thread->deliveryDepth > 0) || thread->IsCurrentThread()) {
        // Closed from a handler inside this thread's own delivery: the
        // thread is blocked until that delivery returns, so joining here
        // would wait for ourselves. It has been told to stop, touches the
        // device no more and is joined later.
        retired_.push_back(thread);
    } else {
        // A batch handed over just before the stop is still delivered
        // while joining, with the port marked open.
        thread->Join();
    }
    thread_.reset();
    MainThreadSync::Instance().CancelPosted(this);
}

void TCustomSerialPort::StartEventThread()
{
    auto thread = std::make_shared<TSerialThread>(fd_, events_, buffer_.InputSize(),
                                                  remote_ ? remote_->ReadableEvent() : -1);
    thread_ = thread;
    thread->Start(DeliveryFor(thread.get()));
}

std::function<void(TSerialEvents)> TCustomSerialPort::DeliveryFor(TSerialThread *raw)
{
    std::function<void(TSerialEvents)> deliver;
    switch (syncMethod_) {
    case smThreadSync:
        deliver = [this, raw](TSerialEvents batch) {
            MainThreadSync::Instance().Synchronize([this, raw, batch] { DeliverEvents(raw, batch, false); });
        };
        break;
    case smWindowSync:
        // Queued without waiting; each event's failure is reported on its own
        // and delivery goes on.
        deliver = [this, raw](TSerialEvents batch) {
            MainThreadSync::Instance().Post(this, [this, raw, batch] { DeliverEvents(raw, batch, true); });
        };
        break;
    case smNone:
        deliver = [this, raw](TSerialEvents batch) { DeliverEvents(raw, batch, false); };
        break;
    }
    return deliver;
}

void TCustomSerialPort::ReapRetiredThreads(bool waitForAll)
{
    for (auto it = retired_.begin(); it != retired_.end();) {
        if ((*it)->Finished()) {
            (*it)->Join();
            it = retired_.erase(it);
        } else if (waitForAll) {
            if ((syncMethod_ == smThreadSync && (*it)->deliveryDepth > 0) || (*it)->IsCurrentThread())
                (*it)->Detach();
            else
                (*it)->Join();
            it = retired_.erase(it);
        } else {
            ++it;
        }
    }
}

// --- event delivery

void TCustomSerialPort::DeliverEvents(TSerialThread *from, TSerialEvents batch, bool eachGuarded)
{
    static const TSerialEvent kOrder[] = {evError, evRxChar, evTxEmpty, evBreak,  evRing,
                                          evCTS,   evDSR,    evRxFlag,  evRLSD,   evRx80Full};
    const bool onUiThread = syncMethod_ != smNone;
    if (onUiThread)
        ++from->deliveryDepth;
    struct Leave {
        TSerialThread *thread;
        bool active;
        ~Leave() { if (active) --thread->deliveryDepth; }
    } leave{from, onUiThread};

    const auto current = [&] { return connected_ && (!onUiThread || thread_.get() == from); };
    // Told after the events of its batch (the last bytes come first), and
    // also when one of them failed: a read on a vanished device may raise.
    const auto deviceGone = [&] {
        if (!(batch & kDeviceGoneBit) || !OnDeviceLost || !current())
            return;
        if (eachGuarded)
            Guarded([&] { OnDeviceLost(*this); });
        else
            OnDeviceLost(*this);
    };
    try {
        for (TSerialEvent event : kOrder) {
            if (!(batch & EventBit(event)))
                continue;
            // Stale batch: the port was closed (and maybe reopened) meanwhile.
            if (!current())
                return;
            if (eachGuarded)
                Guarded([&] { DeliverEvent(event); });
            else
                DeliverEvent(event);
        }
    } catch (...) {
        deviceGone();
        throw;
    }
    deviceGone();
}

void TCustomSerialPort::DeliverEvent(TSerialEvent event)
{
    switch (event) {
    case evError: {
        const TSerialErrors errors = LineErrors();
        if (errors && OnError)
            OnError(*this, errors);
        break;
    }
    case evRxChar:
        ReceivedData();
        break;
    case evTxEmpty:
        ForEachLink([](TSerialLink &link) { if (link.TxActivity) link.TxActivity(false); });
        ForEachLink([](TSerialLink &link) { if (link.TxEmptyOccurred) link.TxEmptyOccurred(); });
        if (OnTxEmpty)
            OnTxEmpty(*this);
        break;
    case evBreak:
        if (OnBreak)
            OnBreak(*this);
        break;
    case evRing:
        ForEachLink([](TSerialLink &link) { if (link.RingOccurred) link.RingOccurred(); });
        if (OnRing)
            OnRing(*this);
        break;
    case evCTS:
    case evDSR:
    case evRLSD: {
        const std::uint8_t signal = event == evCTS ? msCTS : event == evDSR ? msDSR : msRLSD;
        ReportLineState(signal, openSerial_);
        break;
    }
    case evRxFlag:
        ForEachLink([](TSerialLink &link) { if (link.RxFlagOccurred) link.RxFlagOccurred(); });
        if (OnRxFlag)
            OnRxFlag(*this);
        break;
    case evRx80Full:
        if (OnRx80Full)
            OnRx80Full(*this);
        break;
    }
}

void TCustomSerialPort::ReceivedData()
{
    const std::uint64_t serial = openSerial_;
    int count = InputQueueCount();
    // The bytes were already read by an earlier handler.
    if (count <= 0)
        return;
    ForEachLink([](TSerialLink &link) { if (link.RxActivity) link.RxActivity(true); });
    if (!StillOpen(serial))
        return;
    if (linksWantRxBuffer_) {
        std::string buffer;
        const int got = ReadString(buffer, count);
        // Only the bytes actually read are handed on.
        if (OnRxBuf)
            OnRxBuf(*this, buffer.data(), got);
        ForEachLink([&](TSerialLink &link) {
            if (link.RxBufferReady)
                link.RxBufferReady(buffer.data(), got);
        });
        count = 0;
    }
    if (count > 0 && OnRxChar && StillOpen(serial))
        OnRxChar(*this, count);
}
