#include "tlssession.h"

#include "httperrors.h"

#define SECURITY_WIN32
#include <windows.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>

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

// The system's TLS through SSPI, on memory buffers. The certificate is
// checked here (manual validation), so the reasons are the same named
// problems as on Linux.
class SchannelSession : public TlsSession {
public:
    explicit SchannelSession(const std::string &host) : host_(host), wideHost_(Wide(host))
    {
        SCHANNEL_CRED credentials {};
        credentials.dwVersion = SCHANNEL_CRED_VERSION;
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
    // Said rather than ignored: a server that requires one would refuse us
    // with a less helpful reason.
    if (!identity.certificateFile.empty())
        throw EHttpTlsError(host, "client certificate " + identity.certificateFile +
                                      ": client certificates are not available in the Windows build");
    return std::make_unique<SchannelSession>(host);
}
