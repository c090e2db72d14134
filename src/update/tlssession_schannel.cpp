#include "tlssession.h"

#include "httperrors.h"

#define SECURITY_WIN32
#include <windows.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <iterator>

namespace {

std::string StatusText(const char *what, long status)
{
    char text[64];
    std::snprintf(text, sizeof text, "%s 0x%08lX", what, static_cast<unsigned long>(status));
    return text;
}

std::wstring Wide(const std::string &text)
{
    return std::wstring(text.begin(), text.end());  // host names are ASCII
}

EHttpCertificateError::ProblemKind ProblemOf(DWORD error)
{
    using ProblemKind = EHttpCertificateError::ProblemKind;
    switch (error) {
    case static_cast<DWORD>(CERT_E_EXPIRED):
        return ProblemKind::Expired;
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
        return ProblemKind::WrongHost;
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
        return ProblemKind::UntrustedIssuer;
    default:
        return ProblemKind::Other;
    }
}

// PEM files are small; anything larger is not one.
constexpr std::streamsize kMaxPemBytes = 1 << 16;

// The DER bytes of the first PEM block whose label is one of `labels`;
// the label found goes to `found`. Empty when there is none.
std::string PemBlock(const std::string &pem, std::initializer_list<const char *> labels, std::string &found)
{
    for (const char *label : labels) {
        const std::string begin = std::string("-----BEGIN ") + label + "-----";
        const std::string end = std::string("-----END ") + label + "-----";
        const size_t from = pem.find(begin);
        const size_t to = from == std::string::npos ? from : pem.find(end, from);
        if (to == std::string::npos)
            continue;
        const std::string block = pem.substr(from, to + end.size() - from);
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                  &size, nullptr, nullptr))
            continue;
        std::string der(size, '\0');
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                  reinterpret_cast<BYTE *>(der.data()), &size, nullptr, nullptr))
            continue;
        der.resize(size);
        found = label;
        return der;
    }
    return {};
}

// What the system's decoder made of DER bytes, in memory of its own.
struct DecodedObject {
    void *data = nullptr;
    DWORD size = 0;
    DecodedObject() = default;
    DecodedObject(const DecodedObject &) = delete;
    DecodedObject &operator=(const DecodedObject &) = delete;
    ~DecodedObject()
    {
        if (data)
            LocalFree(data);
    }
    // False when `der` is not a `type`.
    bool Decode(LPCSTR type, const std::string &der)
    {
        return CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type,
                                   reinterpret_cast<const BYTE *>(der.data()), static_cast<DWORD>(der.size()),
                                   CRYPT_DECODE_ALLOC_FLAG, nullptr, &data, &size) != FALSE;
    }
};

// The certificate the client shows, with its RSA key imported into a key
// container of its own (the system's TLS finds the key by that name), which
// goes away with it.
class ClientCertificate {
public:
    ClientCertificate(const std::string &host, const TlsClientIdentity &identity) : host_(host)
    {
        const std::string certificatePem = ReadPem(identity.certificateFile);
        const std::string keyFile = identity.keyFile.empty() ? identity.certificateFile : identity.keyFile;
        const std::string keyPem = identity.keyFile.empty() ? certificatePem : ReadPem(keyFile);
        std::string label;
        const std::string certificateDer = PemBlock(certificatePem, {"CERTIFICATE"}, label);
        if (certificateDer.empty())
            Refuse(identity.certificateFile, "holds no PEM certificate");
        const std::string keyDer =
            PemBlock(keyPem, {"PRIVATE KEY", "RSA PRIVATE KEY", "ENCRYPTED PRIVATE KEY", "EC PRIVATE KEY"}, label);
        if (keyDer.empty())
            Refuse(keyFile, "holds no PEM private key");
        if (label == "ENCRYPTED PRIVATE KEY")
            Refuse(keyFile, "the key is protected by a passphrase, which is not asked for");
        // The system's TLS takes RSA keys from a key container here.
        std::string rsaDer = keyDer;
        if (label == "PRIVATE KEY") {
            // Wine's decoder has no PKCS #8; the traditional form goes without it.
            DecodedObject info;
            if (!info.Decode(PKCS_PRIVATE_KEY_INFO, keyDer))
                Refuse(keyFile, "the system cannot read this form of key; the RSA key in its traditional form "
                                "(BEGIN RSA PRIVATE KEY) can be used");
            const auto *parsed = static_cast<const CRYPT_PRIVATE_KEY_INFO *>(info.data);
            if (!parsed->Algorithm.pszObjId || std::string(parsed->Algorithm.pszObjId) != szOID_RSA_RSA)
                Refuse(keyFile, "only RSA keys can be used for client certificates in the Windows build");
            rsaDer.assign(reinterpret_cast<const char *>(parsed->PrivateKey.pbData), parsed->PrivateKey.cbData);
        } else if (label != "RSA PRIVATE KEY") {
            Refuse(keyFile, "only RSA keys can be used for client certificates in the Windows build");
        }
        DecodedObject keyBlob;
        if (!keyBlob.Decode(PKCS_RSA_PRIVATE_KEY, rsaDer))
            Refuse(keyFile, "the RSA key cannot be read");

        certificate_ = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(certificateDer.data()),
                                                    static_cast<DWORD>(certificateDer.size()));
        if (!certificate_)
            Refuse(identity.certificateFile, StatusText("CertCreateCertificateContext", static_cast<long>(GetLastError())));
        static std::atomic<unsigned> serial{0};
        const std::string name = "karvenzop-client-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(serial.fetch_add(1)) + "-" + std::to_string(GetTickCount());
        container_.assign(name.begin(), name.end());
        if (!CryptAcquireContextW(&provider_, container_.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                  CRYPT_NEWKEYSET | CRYPT_SILENT))
            Refuse(keyFile, StatusText("CryptAcquireContext", static_cast<long>(GetLastError())));
        HCRYPTKEY key = 0;
        // Exportable: wine's TLS hands the key to its library that way.
        if (!CryptImportKey(provider_, static_cast<const BYTE *>(keyBlob.data), keyBlob.size, 0, CRYPT_EXPORTABLE, &key))
            Refuse(keyFile, StatusText("CryptImportKey", static_cast<long>(GetLastError())));
        CryptDestroyKey(key);
        CRYPT_KEY_PROV_INFO where{};
        where.pwszContainerName = container_.data();
        where.pwszProvName = const_cast<wchar_t *>(MS_ENH_RSA_AES_PROV_W);
        where.dwProvType = PROV_RSA_AES;
        where.dwKeySpec = AT_KEYEXCHANGE;
        if (!CertSetCertificateContextProperty(certificate_, CERT_KEY_PROV_INFO_PROP_ID, 0, &where))
            Refuse(keyFile, StatusText("CertSetCertificateContextProperty", static_cast<long>(GetLastError())));
    }
    ~ClientCertificate()
    {
        if (certificate_)
            CertFreeCertificateContext(certificate_);
        if (provider_) {
            CryptReleaseContext(provider_, 0);
            HCRYPTPROV gone = 0;
            CryptAcquireContextW(&gone, container_.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                 CRYPT_DELETEKEYSET | CRYPT_SILENT);
        }
    }
    ClientCertificate(const ClientCertificate &) = delete;
    ClientCertificate &operator=(const ClientCertificate &) = delete;

    PCCERT_CONTEXT Context() const { return certificate_; }

private:
    [[noreturn]] void Refuse(const std::string &file, const std::string &why) const
    {
        throw EHttpTlsError(host_, "client certificate " + file + ": " + why);
    }
    std::string ReadPem(const std::string &file) const
    {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            Refuse(file, "cannot be read");
        std::string text(static_cast<size_t>(kMaxPemBytes) + 1, '\0');
        in.read(text.data(), kMaxPemBytes + 1);
        if (in.gcount() > kMaxPemBytes)
            Refuse(file, "is larger than a PEM file can be");
        text.resize(static_cast<size_t>(in.gcount()));
        return text;
    }

    std::string host_;
    PCCERT_CONTEXT certificate_ = nullptr;
    HCRYPTPROV provider_ = 0;
    std::wstring container_;
};

// The system's TLS through SSPI, on memory buffers. The certificate is
// checked here (manual validation), so the reasons are the same named
// problems as on Linux.
class SchannelSession : public TlsSession {
public:
    SchannelSession(const std::string &host, const TlsClientIdentity &identity) : host_(host), wideHost_(Wide(host))
    {
        if (!identity.certificateFile.empty())
            client_ = std::make_unique<ClientCertificate>(host, identity);
        SCHANNEL_CRED credentials {};
        credentials.dwVersion = SCHANNEL_CRED_VERSION;
        PCCERT_CONTEXT shown = client_ ? client_->Context() : nullptr;
        if (shown) {
            credentials.cCreds = 1;
            credentials.paCred = &shown;
        }
        credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        credentials.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION | SCH_USE_STRONG_CRYPTO;
        const SECURITY_STATUS status
            = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t *>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                        &credentials, nullptr, nullptr, &credentials_, nullptr);
        if (status != SEC_E_OK)
            throw EHttpTlsError(host_, StatusText("AcquireCredentialsHandle", status));
        haveCredentials_ = true;
    }

    ~SchannelSession() override
    {
        if (haveContext_)
            DeleteSecurityContext(&context_);
        if (haveCredentials_)
            FreeCredentialsHandle(&credentials_);
    }

    void PutIncoming(const char *data, size_t length) override { incoming_.append(data, length); }

    std::string TakeOutgoing() override
    {
        std::string bytes;
        bytes.swap(outgoing_);
        return bytes;
    }

    bool Handshake() override
    {
        if (done_)
            return true;
        if (!Step())
            return false;
        CheckCertificate();
        const SECURITY_STATUS status = QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
        if (status != SEC_E_OK)
            throw EHttpTlsError(host_, StatusText("QueryContextAttributes", status));
        done_ = true;
        return true;
    }

    void Write(const char *data, size_t length) override
    {
        while (length > 0) {
            const size_t piece = std::min<size_t>(length, sizes_.cbMaximumMessage);
            std::string record(sizes_.cbHeader + piece + sizes_.cbTrailer, '\0');
            std::copy(data, data + piece, record.begin() + sizes_.cbHeader);
            SecBuffer buffers[4] = {
                {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                {static_cast<unsigned long>(piece), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
                {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + piece},
                {0, SECBUFFER_EMPTY, nullptr},
            };
            SecBufferDesc description {SECBUFFER_VERSION, 4, buffers};
            const SECURITY_STATUS status = EncryptMessage(&context_, 0, &description, 0);
            if (status != SEC_E_OK)
                throw EHttpTlsError(host_, StatusText("EncryptMessage", status));
            outgoing_.append(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
            data += piece;
            length -= piece;
        }
    }

    size_t Read(char *buffer, size_t maxLength) override
    {
        while (plain_.empty() && !closed_ && !incoming_.empty()) {
            SecBuffer buffers[4] = {
                {static_cast<unsigned long>(incoming_.size()), SECBUFFER_DATA, incoming_.data()},
                {0, SECBUFFER_EMPTY, nullptr},
                {0, SECBUFFER_EMPTY, nullptr},
                {0, SECBUFFER_EMPTY, nullptr},
            };
            SecBufferDesc description {SECBUFFER_VERSION, 4, buffers};
            const SECURITY_STATUS status = DecryptMessage(&context_, &description, 0, nullptr);
            if (status == SEC_E_INCOMPLETE_MESSAGE)
                break;
            if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE)
                throw EHttpTlsError(host_, StatusText("DecryptMessage", status));
            std::string extra;
            for (const SecBuffer &b : buffers) {
                if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0)
                    plain_.append(static_cast<const char *>(b.pvBuffer), b.cbBuffer);
                if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0)
                    extra.assign(incoming_.data() + incoming_.size() - b.cbBuffer, b.cbBuffer);
            }
            incoming_.swap(extra);
            if (status == SEC_I_CONTEXT_EXPIRED)
                closed_ = true;
            // Post-handshake messages (TLS 1.3 tickets, a key update) go
            // back through the handshake call.
            if (status == SEC_I_RENEGOTIATE)
                Step();
        }
        const size_t count = std::min(maxLength, plain_.size());
        std::copy(plain_.begin(), plain_.begin() + static_cast<std::ptrdiff_t>(count), buffer);
        plain_.erase(0, count);
        return count;
    }

    bool Closed() const override { return closed_ && plain_.empty(); }
    bool ClientCertificateAsked() const override { return certificateAsked_; }

private:
    // One or more handshake calls with what came in; true once complete.
    bool Step()
    {
        const unsigned long wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY
            | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
        for (;;) {
            if (haveContext_ && incoming_.empty())
                return false;
            SecBuffer in[2] = {
                {static_cast<unsigned long>(incoming_.size()), SECBUFFER_TOKEN, incoming_.data()},
                {0, SECBUFFER_EMPTY, nullptr},
            };
            SecBufferDesc inDescription {SECBUFFER_VERSION, 2, in};
            SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
            SecBufferDesc outDescription {SECBUFFER_VERSION, 1, out};
            unsigned long attributes = 0;
            const SECURITY_STATUS status = InitializeSecurityContextW(
                &credentials_, haveContext_ ? &context_ : nullptr, const_cast<wchar_t *>(wideHost_.c_str()), wanted,
                0, 0, haveContext_ ? &inDescription : nullptr, 0, &context_, &outDescription, &attributes, nullptr);
            haveContext_ = true;
            if (out[0].pvBuffer) {
                outgoing_.append(static_cast<const char *>(out[0].pvBuffer), out[0].cbBuffer);
                FreeContextBuffer(out[0].pvBuffer);
            }
            if (status == SEC_E_INCOMPLETE_MESSAGE)
                return false;
            if (status == SEC_I_INCOMPLETE_CREDENTIALS && !client_)
                certificateAsked_ = true;
            if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
                throw EHttpTlsError(host_, StatusText("InitializeSecurityContext", status));
            if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0)
                incoming_.erase(0, incoming_.size() - in[1].cbBuffer);
            else
                incoming_.clear();
            if (status == SEC_E_OK)
                return true;
        }
    }

    void CheckCertificate()
    {
        PCCERT_CONTEXT certificate = nullptr;
        if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK
            || !certificate)
            throw EHttpCertificateError(host_, EHttpCertificateError::ProblemKind::Other, "no certificate");
        CERT_CHAIN_PARA chainPara {};
        chainPara.cbSize = sizeof chainPara;
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        const BOOL built = CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara,
                                                   0, nullptr, &chain);
        CertFreeCertificateContext(certificate);
        if (!built)
            throw EHttpCertificateError(host_, EHttpCertificateError::ProblemKind::Other,
                                        StatusText("CertGetCertificateChain", static_cast<long>(GetLastError())));
        // The chain's own verdict first: wine's SSL policy lets an unknown
        // root pass.
        const DWORD trust = chain->TrustStatus.dwErrorStatus;
        if (trust & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
            CertFreeCertificateChain(chain);
            throw EHttpCertificateError(host_, EHttpCertificateError::ProblemKind::UntrustedIssuer,
                                        StatusText("chain status", static_cast<long>(trust)));
        }
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl {};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.pwszServerName = const_cast<wchar_t *>(wideHost_.c_str());
        CERT_CHAIN_POLICY_PARA policy {};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS result {};
        result.cbSize = sizeof result;
        const BOOL checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result);
        CertFreeCertificateChain(chain);
        if (!checked)
            throw EHttpCertificateError(host_, EHttpCertificateError::ProblemKind::Other,
                                        StatusText("CertVerifyCertificateChainPolicy", static_cast<long>(GetLastError())));
        if (result.dwError != 0)
            throw EHttpCertificateError(host_, ProblemOf(result.dwError),
                                        StatusText("certificate error", static_cast<long>(result.dwError)));
    }

    std::string host_;
    std::wstring wideHost_;
    // Before the credentials, so it outlives them.
    std::unique_ptr<ClientCertificate> client_;
    bool certificateAsked_ = false;
    CredHandle credentials_ {};
    CtxtHandle context_ {};
    bool haveCredentials_ = false;
    bool haveContext_ = false;
    bool done_ = false;
    bool closed_ = false;
    SecPkgContext_StreamSizes sizes_ {};
    std::string incoming_;
    std::string outgoing_;
    std::string plain_;
};

} // namespace

std::unique_ptr<TlsSession> TlsSession::Start(const std::string &host, const TlsClientIdentity &identity)
{
    return std::make_unique<SchannelSession>(host, identity);
}
