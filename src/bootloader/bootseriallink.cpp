#include "bootseriallink.h"

BootSerialLink::BootSerialLink(std::string path, int fd, IBootloaderHost *host, std::unique_ptr<RemoteSerialDevice> remote)
    : path_(std::move(path)), fd_(fd), host_(host), remote_(std::move(remote))
{
    if (host_)
        host_->AddRef();
}

BootSerialLink::~BootSerialLink()
{
    Close();
    if (host_)
        host_->Release();
}

WideString BootSerialLink::GetPortName() { return WideFromUtf8(path_); }

void BootSerialLink::GetCounters(int64_t &sent, int64_t &received)
{
    sent = sent_;
    received = received_;
}

void BootSerialLink::ResetCounters()
{
    sent_ = 0;
    received_ = 0;
}
