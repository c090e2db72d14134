#include "bootloaderhost.h"

#include "bootloaderlibrary.h"
#include "decoderprotocol.h"
#include "exception.h"
#include "updateservice.h"

#include <algorithm>

std::string Latin1FromWide(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text)
        out.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
    return out;
}

int32_t BootloaderHost::QueryInterface(const InterfaceId &iid, void **out)
{
    if (iid == kIidBootloaderHost || iid == kIidInterface) {
        *out = static_cast<IBootloaderHost *>(this);
        return kResultOk;
    }
    *out = nullptr;
    return kResultNoInterface;
}

void BootloaderHost::StateChanged()
{
    if (!loader_)
        return;
    auto state = [this] { return loader_->GetState(); };
    if (state() == lastState_)
        return;
    const bool wasConnected = lastState_ == kStateConnected || lastState_ == kStateWorking;
    const bool isConnected = state() == kStateConnected || state() == kStateWorking;
    if (!wasConnected && isConnected) {
        auto device = IntfPtr<IBootloaderDevice>::Adopt(loader_->GetDevice());
        auto link = IntfPtr<IBootloaderLink>::Adopt(loader_->GetLink());
        std::vector<std::string> lines;
        // Built without a fixed buffer: the info text may be long enough to
        // overflow one and would then lose the label.
        auto report = [&lines](const char *label, const std::string &value, bool padded) {
            std::string line = label;
            line.resize(std::max<size_t>(line.size(), 31), ' ');
            line += ": ";
            if (padded && value.size() < 6)
                line.append(6 - value.size(), ' ');
            lines.push_back(line + value);
        };
        report("Connection", link && link->IsOneWire() ? "1-Wire" : "2-Wire", true);
        const int32_t flags = device ? device->GetFlags() : 0;
        if (flags & 1) {
            report("FLASH data must be encrypted", (flags & 2) ? "Yes" : "No", true);
            report("EEPROM data must be encrypted", (flags & 4) ? "Yes" : "No", true);
        }
        const std::string info = device ? Latin1FromWide(device->GetInfo()) : "";
        if (!info.empty())
            report("Info", info, false);
        ShowConnectionReport(lines);
    }
    lastState_ = state();
    ShowBootloaderState(lastState_);
}

WideString BootloaderHost::GetFlashFileName()
{
    if (imageFile_.empty())
        return WideFromUtf8(session::AbsolutePath(session::UpdateService::FirmwareFile));
    return WideFromUtf8(imageFile_);
}

void BootloaderHost::GetTimeouts(BootloaderTimeouts &out)
{
    static constexpr int32_t values[14] = {19200, 10, 800, 10, 15, 10, 10, 10, 250, 0, 0, 20, 0, 1};
    for (int i = 0; i < 14; ++i)
        out.Field[i] = values[i];
}

WideString BootloaderHost::GetEntryCommand()
{
    const std::string command = decoder::BuildCommand("B");
    return WideString(command.begin(), command.end());
}

IBootloaderLink *BootloaderHost::OpenConnection(int32_t index)
{
    if (index > 1)
        return nullptr;
    const std::string name = ConnectionPortName();
    IntfPtr<IBootloaderLink> link;
    try {
        link = BootloaderLibrary::Default().OpenCOM(u"\\\\.\\" + WideFromUtf8(name), this);
    } catch (...) {
        throw Exception("Error: can not open port " + name);
    }
    try {
        if (!link)
            throw Exception("no link");
        link->SetParams(19200, 0, 8, 0, 0);
    } catch (...) {
        throw Exception("Error: can not setup baudrate to 19200");
    }
    Output((u"Connecting on port " + WideFromUtf8(name) + u"...").c_str(), 0x10000000);
    IBootloaderLink *raw = link.get();
    raw->AddRef();   // the reference the library receives
    return raw;
}
