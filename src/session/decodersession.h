#pragma once

#include "decoderprotocol.h"
#include "decoderreader.h"

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

class TSerialPort;

namespace session {

// How a command sequence waits after each command. The window lets its event
// loop run around the pause, so replies are interpreted meanwhile; the
// command line waits on the port's hand-overs.
using PauseHook = std::function<void(int milliseconds)>;

// The stored line settings of the decoder's port (8N1, no flow control, DTR
// and RTS held inactive, every line event); name and rate are set by whoever opens.
void ConfigureDecoderPort(TSerialPort &port);

// The decoder's reset, also the way into its bootloader: closes the port if
// open, reopens it at 9600 under its name and writes "B".
void SendReset(TSerialPort &port);

// The decoder commands on an open serial port, and the lines that come
// back, read into typed decoder lines for the caller.
class DecoderSession {
public:
    // The only pacing of the read sequences.
    static constexpr int CommandPauseMs = 40;

    DecoderSession(TSerialPort &port, decoder::DecoderReader::LineHandler onLine, PauseHook pause);

    // Sets the name, 9600 baud and opens.
    void Open(const std::string &portName);

    // "GS", "GF", "GR", "GT", "GA", each followed by the pause; does not
    // wait for replies beyond the pauses.
    void ReadAllValues();
    // The clock command for the local time of `now`, in one piece.
    void SetClock(std::time_t now);
    // SendReset on the session's port.
    void Reset();

    // Runs before every command and the reset; may raise to refuse it (the
    // device is away).
    void SetCommandGuard(std::function<void()> guard) { guard_ = std::move(guard); }
    // "GZ" and the pause.
    void RequestToneTable();

    // The port's received-data event: reads up to count bytes and hands
    // those that came to the reader.
    void Receive(int count);

    // The port is open again at 9600 after the line ran at another rate
    // (the bootloader's 19200): what the decoder sent meanwhile comes in
    // garbled and without a line end. At the first pause in the input the
    // unfinished line is dropped, so it does not join the next line.
    void ExpectStaleInput();

    decoder::DecoderReader &Reader() { return reader_; }

private:
    void Write(const std::string &command);
    std::function<void()> guard_;

    TSerialPort &port_;
    decoder::DecoderReader reader_;
    PauseHook pause_;
    bool staleInput_ = false;
    bool staleSeen_ = false;
    std::chrono::steady_clock::time_point lastStaleByte_;
};

} // namespace session
