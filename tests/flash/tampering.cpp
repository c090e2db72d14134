#include "tampering.h"

#include "childprocess.h"
#include "simprocess.h"

#include <cstdio>
#include <cstdlib>
#include <regex>


namespace {

bool Mk(const std::string &args)
{
    return std::system((BinDirectory() + "mkfirmware " + args + " > /dev/null").c_str()) == 0;
}

// A container for the target and version, signed (or not) with key.key.
bool Firmware(const std::string &folder, const std::string &image, const std::string &target,
              const std::string &version, const std::string &key)
{
    WriteFile(folder + "/image.bin", image);
    const bool ok = Mk("--target " + target + " --version " + version + (key.empty() ? "" : " --sign " + key + ".key")
                       + " '" + folder + "/image.bin' '" + folder + "/karvenc469.acy'");
    std::remove((folder + "/image.bin").c_str());
    return ok;
}

} // namespace

SignedUpdates::SignedUpdates(const std::string &image) : dir_(MakeTempDirectory()), image_(image)
{
    content_ = Folder("content");
    made_ = Mk("--new-key " + dir_ + "/trusted") && Mk("--new-key " + dir_ + "/other")
        && Firmware(content_, image, "KARVEN-C469", "4.70", dir_ + "/trusted");
    WriteFile(content_ + "/ZOP-Update.exe", "#!/bin/sh\necho the new tool\n");
    WriteFile(content_ + "/karvenzop.txt", "1.0.3");
    WriteFile(content_ + "/karvenfir.txt", "4.70");
    made_ = made_
        && Mk("--sign " + dir_ + "/trusted.key --target karvenzop --version 1.0.3 --sign-only " + content_
              + "/ZOP-Update.exe");
    ::setenv("KARVENZOP_TRUSTED_KEYS", (dir_ + "/trusted.pub").c_str(), 1);
}

SignedUpdates::~SignedUpdates()
{
    ::unsetenv("KARVENZOP_TRUSTED_KEYS");
    RemoveTree(dir_);
}

std::string SignedUpdates::Folder(const std::string &name)
{
    const std::string folder = dir_ + "/" + name;
    std::system(("mkdir -p '" + folder + "'").c_str());
    return folder;
}

std::string SignedUpdates::KeyId() const
{
    std::smatch id;
    const std::string pub = ReadFile(dir_ + "/trusted.pub");
    return std::regex_search(pub, id, std::regex("public key ([0-9A-F]+)")) ? id[1].str() : std::string();
}

std::vector<TamperCase> SignedUpdates::Cases()
{
    std::vector<TamperCase> cases;
    const std::string wanted = "not as \"target:KARVEN-C469 version:4.70 file:karvenc469.acy\"";

    std::string changed = image_;
    changed[changed.size() / 2] ^= 0x01;
    const std::string a = Folder("a");
    made_ = made_ && Firmware(a, changed, "KARVEN-C469", "4.70", "");
    std::remove((a + "/karvenc469.acy.minisig").c_str());
    cases.push_back({"(a) one byte changed", {"--replace", a}, "The signature of karvenc469.acy does not match its content"});

    const std::string b = Folder("b");
    made_ = made_ && Firmware(b, image_, "KARVEN-X100", "4.70", dir_ + "/trusted");
    cases.push_back({"(b) another decoder type", {"--replace", b},
                     "karvenc469.acy is signed as \"target:KARVEN-X100 version:4.70 file:karvenc469.acy\", " + wanted});

    const std::string c = Folder("c");
    made_ = made_ && Firmware(c, image_, "KARVEN-C469", "4.60", dir_ + "/trusted");
    cases.push_back({"(c) an older signed version", {"--replace", c}, "", false, true});

    cases.push_back({"(d) signature stripped", {"--strip"}, "", true});

    const std::string e = Folder("e");
    made_ = made_ && Firmware(e, image_, "KARVEN-C469", "4.70", dir_ + "/other");
    std::remove((e + "/karvenc469.acy").c_str());
    const std::string otherPub = ReadFile(dir_ + "/other.pub");
    std::smatch id;
    std::regex_search(otherPub, id, std::regex("public key ([0-9A-F]+)"));
    cases.push_back({"(e) another key", {"--replace", e},
                     "karvenc469.acy is signed with an unknown key (" + id[1].str() + ")"});
    const char *config = std::getenv("XDG_CONFIG_HOME");
    const std::string keys = config && *config ? std::string(config) + "/karvenzop/keys"
                                               : std::string(std::getenv("HOME")) + "/.config/karvenzop/keys";
    cases.back().informative = "Trusted keys (.pub files) go into the folder " + keys;

    cases.push_back({"(f) truncated signature", {"--truncate"}, "The signature file of karvenc469.acy is damaged"});
    cases.push_back({"(f) 100 MB signature", {"--huge"},
                     "The signature file of karvenc469.acy is larger than 4096 bytes"});
    return cases;
}

TamperProxy::TamperProxy(int upstreamPort, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"python3", "-u", KZ_TAMPER_PROXY_SCRIPT, "--upstream", std::to_string(upstreamPort)};
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = std::make_unique<ChildProcess>(argv);
    port_ = PortFromLine(process_->WaitForLine("port "));
}
