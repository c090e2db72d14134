#pragma once

#include <string_view>

// Windows sockets error numbers; the client reports these on every platform.
enum : int {
    kWsaEINTR = 10004,
    kWsaETIMEDOUT = 10060,
    kWsaECONNREFUSED = 10061,
    kWsaESHUTDOWN = 10058,
    kWsaEADDRNOTAVAIL = 10049,
    kWsaHostNotFound = 11001,
    kWsaTryAgain = 11002,
    kWsaNoRecovery = 11003,
    kWsaNoData = 11004,
};

// The fixed English text for an error number; empty when the number is not
// in the table (the name lookup numbers among them).
std::string_view SocketErrorText(int wsaError);

// Maps an errno value of a socket call to its Windows sockets number. Values
// without a counterpart are passed through unchanged.
int SocketErrorFromErrno(int errnoValue);

// Maps a getaddrinfo() failure (and the errno captured with it, for
// EAI_SYSTEM) to a Windows sockets number.
int SocketErrorFromLookup(int gaiError, int errnoValue);
