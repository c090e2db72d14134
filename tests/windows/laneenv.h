#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include <windows.h>
#include <wincrypt.h>

// What scripts/windows/test-windows.sh passes in the environment (the mapped
// COM ports, the simulator's files); a test that needs it skips without it.
inline std::string Env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

#define REQUIRE_ENV(var, name)                                                          \
    const std::string var = Env(name);                                                  \
    if (var.empty())                                                                    \
        GTEST_SKIP() << name << " is not set: run scripts/windows/test-windows.sh";

// The last of the lane's remote ports goes through a proxy that drops the
// link while the file KZ_WIN_REMOTE_DROP names exists; empty without one.
inline std::string DroppingRemotePort()
{
    std::istringstream listed(Env("KZ_WIN_REMOTE_PORTS"));
    std::string last;
    while (listed >> last) {
    }
    return last.empty() ? "" : "rfc2217://127.0.0.1:" + last;
}

// The lane's CA, put in the user's root store as an administrator would;
// the system's TLS trusts what that store trusts.
inline bool TrustCa(const std::string &pemFile)
{
    std::FILE *file = std::fopen(pemFile.c_str(), "rb");
    if (!file)
        return false;
    std::string pem(8192, '\0');
    pem.resize(std::fread(pem.data(), 1, pem.size(), file));
    std::fclose(file);
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                              nullptr, nullptr))
        return false;
    std::string der(size, '\0');
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              reinterpret_cast<BYTE *>(der.data()), &size, nullptr, nullptr))
        return false;
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!root)
        return false;
    const BOOL added = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(der.data()),
                                                        size, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(root, 0);
    return added != FALSE;
}
