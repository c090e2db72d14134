#pragma once

// The binary interface between the tool and the bootloader library
// (libBootloader.so). Both sides include this header.
//
// Conventions at the boundary:
// - Interfaces are reference counted. Each starts with QueryInterface,
//   AddRef and Release; the operations follow in declaration order, which is
//   the vtable order. Interfaces have no virtual destructor on purpose (it
//   would take a vtable slot); objects delete themselves in Release.
// - An interface pointer returned by an operation or an export carries one
//   reference for the caller, who drops it with Release (IntfPtr does this).
// - Text going in is a NUL-terminated UTF-16 string (const char16_t *) that
//   stays owned by the caller. Text coming out is returned by value as a
//   WideString (std::u16string); the caller owns it. This relies on both
//   sides being built by the same compiler and C++ library, as do the
//   exceptions below.
// - Failures inside the library are thrown as exceptions derived from
//   Exception (exception.h) and carry a message for the user. Connect also
//   reports failure by returning 0. Exceptions the host throws from its
//   callbacks travel back through the library to the caller of the library
//   operation that was running.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

using WideString = std::u16string;

struct InterfaceId {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];

    friend bool operator==(const InterfaceId &, const InterfaceId &) = default;
};

constexpr int32_t kResultOk = 0;
constexpr int32_t kResultNoInterface = static_cast<int32_t>(0x80004002u);
constexpr int32_t kResultPointer = static_cast<int32_t>(0x80004003u);

// {00000000-0000-0000-C000-000000000046}
constexpr InterfaceId kIidInterface{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {B5E1C0D4-7F2A-4C39-9E61-2D8A4F07C3B1}
constexpr InterfaceId kIidBootloader{0xB5E1C0D4, 0x7F2A, 0x4C39, {0x9E, 0x61, 0x2D, 0x8A, 0x4F, 0x07, 0xC3, 0xB1}};
// {4C7D2E19-A3B8-4F05-8D6C-91E0B7A25F43}
constexpr InterfaceId kIidBootloaderHost{0x4C7D2E19, 0xA3B8, 0x4F05, {0x8D, 0x6C, 0x91, 0xE0, 0xB7, 0xA2, 0x5F, 0x43}};
// {2E6B9A41-0C55-4D7E-B3F8-6A1D92C4E705}
constexpr InterfaceId kIidBootloaderLink{0x2E6B9A41, 0x0C55, 0x4D7E, {0xB3, 0xF8, 0x6A, 0x1D, 0x92, 0xC4, 0xE7, 0x05}};
// {8F3C5D27-61A9-4B0E-9C42-D7E05B18A36C}
constexpr InterfaceId kIidBootloaderDevice{0x8F3C5D27, 0x61A9, 0x4B0E, {0x9C, 0x42, 0xD7, 0xE0, 0x5B, 0x18, 0xA3, 0x6C}};

class IInterface {
public:
    // Stores a referenced pointer in *out and returns kResultOk, or stores
    // nullptr and returns kResultNoInterface.
    virtual int32_t QueryInterface(const InterfaceId &iid, void **out) = 0;
    virtual int32_t AddRef() = 0;
    virtual int32_t Release() = 0;

protected:
    ~IInterface() = default;
};

// The library's serial link to the decoder's bootloader, made by OpenCOM.
class IBootloaderLink : public IInterface {
public:
    virtual WideString GetPortName() = 0;                   // 1: the device path
    virtual int32_t IsOpen() = 0;                            // 2: non-zero while open
    virtual void Close() = 0;                                // 3: releases the port
    // 4: baud rate, parity (0 none, 1 odd, 2 even), data bits (5-8),
    // stop bits (0 one, 2 two), flow control (0 none, 1 RTS/CTS).
    virtual void SetParams(int32_t baudRate, int32_t parity, int32_t dataBits, int32_t stopBits,
                           int32_t flowControl) = 0;
    virtual void Purge() = 0;                                // 5: drops unread input
    virtual int32_t IsOneWire() = 0;                         // 6: non-zero for a single-wire line
    virtual int32_t GetBaudRate() = 0;                       // 7
    // 8: writes all bytes (letting the host process messages meanwhile).
    virtual void Write(const uint8_t *data, int32_t length) = 0;
    // 9: reads what is there, waiting at most timeoutMs for the first byte;
    // returns the count (0 on timeout).
    virtual int32_t Read(uint8_t *data, int32_t capacity, int32_t timeoutMs) = 0;
    // 10: bytes moved since the last reset, in each direction.
    virtual void GetCounters(int64_t &sent, int64_t &received) = 0;
    virtual void ResetCounters() = 0;                        // 11
};

// What the bootloader told about the decoder in its handshake.
class IBootloaderDevice : public IInterface {
public:
    virtual WideString GetTarget() = 0;            // 1: target id, e.g. "KARVEN-C469"
    virtual int32_t GetDeviceId() = 0;             // 2
    virtual WideString GetInfo() = 0;              // 3: free text, may be empty
    virtual int32_t GetPageSize() = 0;             // 4: bytes per flash page
    virtual int32_t GetFlashSize() = 0;            // 5: bytes
    virtual int32_t GetEepromSize() = 0;           // 6: bytes, 0 when there is none
    virtual int32_t GetBootloaderVersion() = 0;    // 7: major * 256 + minor
    virtual WideString GetFirmwareVersion() = 0;   // 8: version of the application, empty if none
    virtual int32_t NeedsPassword() = 0;           // 9
    virtual int32_t HasApplication() = 0;          // 10: non-zero when a verified application is present
    virtual int32_t GetApplicationSize() = 0;      // 11: bytes of the present application
    virtual WideString GetSerialNumber() = 0;      // 12
    virtual int32_t GetMaxPayload() = 0;           // 13: largest frame payload the bootloader takes
    virtual int32_t IsUnlocked() = 0;              // 14: non-zero once writing is allowed
    virtual int32_t IsValid() = 0;                 // 15: non-zero after a handshake
    // 16: bit 0 the two encryption bits are meaningful, bit 1 FLASH data
    // must be encrypted, bit 2 EEPROM data must be encrypted.
    virtual int32_t GetFlags() = 0;
};

// The fourteen values the host hands to the library. Meanings are the
// library's (see src/bootloader/PROTOCOL.md); field 1 is the baud rate.
struct BootloaderTimeouts {
    int32_t Field[14];
};

class IBootloaderHost : public IInterface {
public:
    virtual int32_t ProcessMessages() = 0;                       // 1
    virtual void StateChanged() = 0;                             // 2
    virtual void Output(const char16_t *text, int32_t code) = 0; // 3
    virtual WideString GetFlashFileName() = 0;                   // 4
    virtual WideString GetEepromFileName() = 0;                  // 5
    virtual WideString GetImageFileName() = 0;                   // 6
    virtual WideString GetPassword() = 0;                        // 7
    virtual WideString GetBootSign() = 0;                        // 8
    virtual void GetTimeouts(BootloaderTimeouts &out) = 0;       // 9
    virtual WideString GetEntryCommand() = 0;                    // 10
    virtual WideString GetExtraText1() = 0;                      // 11
    virtual int32_t GetHostValue(int32_t flag) = 0;              // 12
    virtual WideString GetExtraText2() = 0;                      // 13
    // 14: a referenced link, or nullptr.
    virtual IBootloaderLink *OpenConnection(int32_t index) = 0;
};

// Codes the library passes with Output.
constexpr int32_t kOutputInfo = 0;
constexpr int32_t kOutputWarning = 1;
constexpr int32_t kOutputError = 2;

// Bootloader states reported by GetState.
constexpr uint8_t kStateIdle = 0;
constexpr uint8_t kStateConnecting = 1;
constexpr uint8_t kStateConnected = 2;
constexpr uint8_t kStateWorking = 3; // programming or verifying

class IBootloader : public IInterface {
public:
    virtual uint8_t GetState() = 0;                                // 1
    // 2: -1 opens connection 0 of the host; returns non-zero when the
    // bootloader answered.
    virtual int32_t Connect(int32_t connection) = 0;
    virtual void Disconnect() = 0;                                 // 3: never throws
    virtual void Cancel() = 0;                                     // 4: stops a running Program between frames
    // 5: writes the image of GetFlashFileName; -1, -1 for the whole image,
    // otherwise the first byte and the byte count of the part to write.
    virtual void Program(int32_t first, int32_t count) = 0;
    // 6: compares the decoder's flash with the image of GetImageFileName;
    // raises on a difference. Arguments as for Program.
    virtual void Verify(int32_t first, int32_t count) = 0;
    virtual int32_t GetProgress() = 0;                             // 7: percent of the running or last Program
    virtual WideString GetLastMessage() = 0;                       // 8: last text given to Output
    // 9: bytes on the line in each direction during the last Program.
    virtual void GetWireCounters(int64_t &sent, int64_t &received) = 0;
    virtual IBootloaderLink *GetLink() = 0;                        // 10: referenced, nullptr when not connected
    virtual IBootloaderDevice *GetDevice() = 0;                    // 11: referenced, never nullptr
    virtual WideString GetVersion() = 0;                           // 12: the library's version
};

// Exports of the library (C linkage). Both raise on failure.
extern "C" {
using OpenBootloaderFn = void (*)(IBootloader **out, IBootloaderHost *host);
using OpenCOMFn = void (*)(IBootloaderLink **out, const char16_t *port, IBootloaderHost *host);
}

// Owns one reference to an interface.
template <class T>
class IntfPtr {
public:
    IntfPtr() = default;
    IntfPtr(std::nullptr_t) {}
    // Takes over a reference the caller already holds.
    static IntfPtr Adopt(T *p)
    {
        IntfPtr r;
        r.p_ = p;
        return r;
    }
    // Adds a reference of its own.
    static IntfPtr Share(T *p)
    {
        if (p)
            p->AddRef();
        return Adopt(p);
    }
    IntfPtr(const IntfPtr &o) : p_(o.p_)
    {
        if (p_)
            p_->AddRef();
    }
    IntfPtr(IntfPtr &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    IntfPtr &operator=(IntfPtr o) noexcept
    {
        std::swap(p_, o.p_);
        return *this;
    }
    ~IntfPtr() { reset(); }

    void reset()
    {
        if (T *p = std::exchange(p_, nullptr))
            p->Release();
    }
    T *get() const { return p_; }
    T *operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out-parameters: drops the current reference first.
    T **put()
    {
        reset();
        return &p_;
    }

private:
    T *p_ = nullptr;
};

// UTF-16 <-> UTF-8 for paths and messages. Malformed input becomes U+FFFD.
inline WideString WideFromUtf8(std::string_view s)
{
    WideString out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        uint32_t cp = 0xFFFD;
        size_t len = 1;
        if (b < 0x80) {
            cp = b;
        } else {
            size_t need = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
            if (need && i + need <= s.size()) {
                uint32_t v = b & (0x7F >> need);
                bool ok = true;
                for (size_t k = 1; k < need; ++k) {
                    const auto c = static_cast<unsigned char>(s[i + k]);
                    if ((c & 0xC0) != 0x80) {
                        ok = false;
                        break;
                    }
                    v = (v << 6) | (c & 0x3F);
                }
                const uint32_t min = need == 2 ? 0x80 : need == 3 ? 0x800 : 0x10000;
                if (ok && v >= min && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
                    cp = v;
                    len = need;
                }
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

inline std::string Utf8FromWide(std::u16string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}
