#pragma once

#include "bootloaderintf.h"

#include <atomic>

// Reference counting for the library's objects. A new object starts with
// the one reference its creator hands out.
template <class Interface>
class RefCounted : public Interface {
public:
    int32_t AddRef() override { return ++refs_; }
    int32_t Release() override
    {
        const int32_t left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    virtual ~RefCounted() = default;

    // Answers for the base interface and the one given.
    int32_t Query(const InterfaceId &iid, const InterfaceId &own, void **out)
    {
        if (!out)
            return kResultPointer;
        if (iid == own || iid == kIidInterface) {
            AddRef();
            *out = static_cast<Interface *>(this);
            return kResultOk;
        }
        *out = nullptr;
        return kResultNoInterface;
    }

private:
    std::atomic<int32_t> refs_{1};
};
