#pragma once

#include "childprocess.h"

#include <memory>
#include <string>
#include <vector>

// One site of a test nginx: its own port on 127.0.0.1; with a certificate
// and key it speaks TLS.
struct NginxSite {
    std::string certificate;
    std::string key;
};

// nginx on free 127.0.0.1 ports, serving dir/www (ssi on below /ssi/, the
// connection number in X-Connection); stopped by its destructor.
class Nginx {
public:
    Nginx(const TempDir &dir, std::vector<NginxSite> sites = {NginxSite {}});
    bool Started() const { return child_ != nullptr; }
    int Port(size_t site = 0) const { return ports_.at(site); }
    // http:// or https://127.0.0.1:port followed by the path.
    std::string Url(const std::string &path, size_t site = 0) const;

private:
    std::vector<NginxSite> sites_;
    std::vector<int> ports_;
    std::unique_ptr<ChildProcess> child_;
};

// A certification authority made with the openssl program in a folder;
// Issue() signs server certificates with it.
class TestCa {
public:
    TestCa(std::string dir, const std::string &name);
    bool Made() const { return made_; }
    const std::string &CaFile() const { return caFile_; }
    // A site for hosts such as "DNS:localhost,IP:127.0.0.1", valid for days
    // (negative: expired that many days ago).
    NginxSite Issue(const std::string &name, const std::string &altNames, int days = 30);

private:
    std::string dir_;
    std::string caFile_;
    std::string caKey_;
    bool made_ = false;
};
