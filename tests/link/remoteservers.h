#pragma once

#include "childprocess.h"
#include "nginxserver.h"

#include <memory>
#include <string>

// One of the two RFC 2217 servers from Debian in front of a pty, on a port
// of its own. ser2net is set to 115200 baud, so the decoder's 9600 only
// holds when the client's settings reached the device.
class DeviceServer {
public:
    enum Kind { Ser2net, Pyserial };
    // tls: ser2net's accepter speaks TLS with this certificate; authDir: it
    // also asks for a client certificate, trusted per user under that folder.
    // linesFile (pyserial): the modem lines and line events come from this
    // file (see pty_rfc2217_server.py), and the server logs what it is asked.
    DeviceServer(Kind kind, const std::string &pty, int port = 0, const NginxSite *tls = nullptr,
                 const std::string &authDir = {}, const std::string &linesFile = {});
    void Start();
    // The first line of the server's output since the last call that holds `text`; empty on time-out.
    std::string WaitForOutput(const std::string &text, int timeoutMs = 5000)
    {
        return process_ ? process_->WaitForLine(text, timeoutMs) : std::string();
    }
    void Stop() { process_.reset(); }
    std::string Url() const { return (tls_.empty() ? "rfc2217://127.0.0.1:" : "rfc2217+tls://127.0.0.1:") + std::to_string(port_); }
    int Port() const { return port_; }
    const char *Name() const { return kind_ == Ser2net ? "ser2net" : "pyserial"; }

private:
    Kind kind_;
    std::string pty_;
    int port_;
    std::string tls_;
    std::string authDir_;
    std::string linesFile_;
    TempDir dir_;
    std::unique_ptr<ChildProcess> process_;
};

// The delaying proxy (tests/link/delay_proxy.py) between the tool and a server.
class DelayProxy {
public:
    DelayProxy(int to, int rttMs, long cutAfter = 0);
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

private:
    ChildProcess process_;
    int port_ = 0;
};
