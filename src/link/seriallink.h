#pragma once

#include <functional>

// Observer a control attaches to a port to follow its state. Hooks that are
// not set are skipped. Links are notified in the order they were attached.
struct TSerialLink {
    std::function<void(bool on)> ConnectionChanged;
    std::function<void(bool on)> CtsChanged;
    std::function<void(bool on)> DsrChanged;
    std::function<void(bool on)> RlsdChanged;
    std::function<void()> RingOccurred;
    std::function<void(bool on)> RxActivity;
    std::function<void(bool on)> TxActivity;
    std::function<void()> TxEmptyOccurred;
    std::function<void()> RxFlagOccurred;
    std::function<void(const char *buffer, int count)> RxBufferReady;
    std::function<void(const char *buffer, int count)> TxBufferSent;
};
