#include "seriallink.h"

SerialLink::SerialLink(std::string path, int fd, IBootloaderHost *host) : path_(std::move(path)), fd_(fd), host_(host)
{
    if (host_)
        host_->AddRef();
}

SerialLink::~SerialLink()
{
    Close();
    if (host_)
        host_->Release();
}

WideString SerialLink::GetPortName() { return WideFromUtf8(path_); }

void SerialLink::GetCounters(int64_t &sent, int64_t &received)
{
    sent = sent_;
    received = received_;
}

void SerialLink::ResetCounters()
{
    sent_ = 0;
    received_ = 0;
}
