#pragma once

#include "childprocess.h"

#include <memory>
#include <string>
#include <vector>

// Update server content signed with a key the tool is told to trust
// (KARVENZOP_TRUSTED_KEYS), and what someone on the path to the server
// does to it through tests/update/tamper_proxy.py.
struct TamperCase {
    std::string name;
    std::vector<std::string> proxyArgs;  // besides --upstream
    std::string refusal;                 // the message; empty where the user is asked instead
    bool unsigned_ = false;              // the signature is gone
    bool downgrade = false;              // an older signed image
    std::string informative;             // the line under the refusal
};

class SignedUpdates {
public:
    // Served: karvenc469.acy with image, version 4.70, and ZOP-Update.exe,
    // both signed. Sets KARVENZOP_TRUSTED_KEYS until destroyed.
    explicit SignedUpdates(const std::string &image);
    ~SignedUpdates();
    SignedUpdates(const SignedUpdates &) = delete;
    SignedUpdates &operator=(const SignedUpdates &) = delete;

    bool Made() const { return made_; }
    const std::string &Content() const { return content_; }
    std::string KeyId() const;
    // Cases (a) to (f): a changed byte, another decoder type, an older
    // version, no signature, another key, a truncated and a huge signature.
    std::vector<TamperCase> Cases();

private:
    std::string Folder(const std::string &name);

    std::string dir_;
    std::string content_;
    std::string image_;
    bool made_ = false;
};

// tamper_proxy.py started in front of the server on upstreamPort; stopped
// on destruction.
class TamperProxy {
public:
    TamperProxy(int upstreamPort, const std::vector<std::string> &args);
    int Port() const { return port_; }

private:
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};
