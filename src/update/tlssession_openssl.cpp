#include "tlssession.h"

#include "httperrors.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>

namespace {

// The library's own words for the last failure of this thread.
std::string OpenSslReason()
{
    std::string reason;
    while (const unsigned long code = ERR_get_error()) {
        if (const char *text = ERR_reason_error_string(code))
            reason = text;
    }
    return reason.empty() ? std::string("unknown error") : reason;
}

EHttpCertificateError::ProblemKind ProblemOf(long verifyResult)
{
    using ProblemKind = EHttpCertificateError::ProblemKind;
    switch (verifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return ProblemKind::Expired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return ProblemKind::WrongHost;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return ProblemKind::UntrustedIssuer;
    default:
        return ProblemKind::Other;
    }
}

class OpenSslSession : public TlsSession {
public:
    OpenSslSession(const std::string &host, const TlsClientIdentity &identity) : host_(host)
    {
        contextOwner_.reset(SSL_CTX_new(TLS_client_method()));
        SSL_CTX *context_ = contextOwner_.get();
        if (!context_)
            throw EHttpTlsError(host_, OpenSslReason());
        SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
        // The system's store, or the file SSL_CERT_FILE names (a private CA).
        if (SSL_CTX_set_default_verify_paths(context_) != 1)
            throw EHttpTlsError(host_, OpenSslReason());
        SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
        if (!identity.certificateFile.empty())
            UseIdentity(context_, identity);
        else
            SSL_CTX_set_client_cert_cb(context_, &NoneToShow);

        sslOwner_.reset(SSL_new(context_));
        ssl_ = sslOwner_.get();
        if (!ssl_)
            throw EHttpTlsError(host_, OpenSslReason());
        BIO *incoming = BIO_new(BIO_s_mem());
        BIO *outgoing = BIO_new(BIO_s_mem());
        if (!incoming || !outgoing) {
            BIO_free(incoming);
            BIO_free(outgoing);
            throw EHttpTlsError(host_, OpenSslReason());
        }
        // An empty incoming buffer means "more to come", not the end.
        BIO_set_mem_eof_return(incoming, -1);
        SSL_set_bio(ssl_, incoming, outgoing);
        incoming_ = incoming;
        outgoing_ = outgoing;
        SSL_set_connect_state(ssl_);
        SSL_set_app_data(ssl_, this);

        in6_addr probe;
        const bool isAddress = inet_pton(AF_INET, host_.c_str(), &probe) == 1
            || inet_pton(AF_INET6, host_.c_str(), &probe) == 1;
        const int named = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host_.c_str())
                                    : SSL_set1_host(ssl_, host_.c_str());
        if (named != 1)
            throw EHttpTlsError(host_, OpenSslReason());
        if (!isAddress)
            SSL_set_tlsext_host_name(ssl_, host_.c_str());
    }

    void PutIncoming(const char *data, size_t length) override
    {
        if (length > 0 && BIO_write(incoming_, data, static_cast<int>(length)) != static_cast<int>(length))
            throw EHttpTlsError(host_, OpenSslReason());
    }

    std::string TakeOutgoing() override
    {
        std::string bytes(static_cast<size_t>(BIO_ctrl_pending(outgoing_)), '\0');
        if (!bytes.empty())
            bytes.resize(static_cast<size_t>(std::max(0, BIO_read(outgoing_, bytes.data(), static_cast<int>(bytes.size())))));
        return bytes;
    }

    bool Handshake() override
    {
        ERR_clear_error();
        const int rc = SSL_do_handshake(ssl_);
        if (rc == 1)
            return true;
        const int error = SSL_get_error(ssl_, rc);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            return false;
        const long verified = SSL_get_verify_result(ssl_);
        if (verified != X509_V_OK)
            throw EHttpCertificateError(host_, ProblemOf(verified), X509_verify_cert_error_string(verified));
        throw EHttpTlsError(host_, OpenSslReason());
    }

    void Write(const char *data, size_t length) override
    {
        ERR_clear_error();
        size_t written = 0;
        // A memory buffer takes everything at once.
        if (length > 0 && SSL_write_ex(ssl_, data, length, &written) != 1)
            throw EHttpTlsError(host_, OpenSslReason());
    }

    size_t Read(char *buffer, size_t maxLength) override
    {
        if (closed_ || maxLength == 0)
            return 0;
        ERR_clear_error();
        size_t got = 0;
        if (SSL_read_ex(ssl_, buffer, maxLength, &got) == 1)
            return got;
        switch (SSL_get_error(ssl_, 0)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return 0;
        case SSL_ERROR_ZERO_RETURN:
            closed_ = true;
            return 0;
        default:
            throw EHttpTlsError(host_, OpenSslReason());
        }
    }

    bool Closed() const override { return closed_; }
    bool ClientCertificateAsked() const override { return asked_; }

private:
    // An encrypted key is refused rather than asked for on a terminal that a
    // window or a service does not have.
    static int NoPassphrase(char *, int, int, void *) { return 0; }

    // Called only when the server asks and no certificate is set.
    static int NoneToShow(SSL *ssl, X509 **, EVP_PKEY **)
    {
        static_cast<OpenSslSession *>(SSL_get_app_data(ssl))->asked_ = true;
        return 0;
    }

    // The library's reasons for a missing file read "system lib".
    void CheckReadable(const std::string &what, const std::string &file)
    {
        if (std::FILE *opened = std::fopen(file.c_str(), "rb"))
            std::fclose(opened);
        else
            throw EHttpTlsError(host_, what + " " + file + ": " + std::strerror(errno));
    }

    void UseIdentity(SSL_CTX *context, const TlsClientIdentity &identity)
    {
        const std::string &keyFile = identity.keyFile.empty() ? identity.certificateFile : identity.keyFile;
        CheckReadable("client certificate", identity.certificateFile);
        CheckReadable("client key", keyFile);
        SSL_CTX_set_default_passwd_cb(context, &NoPassphrase);
        ERR_clear_error();
        if (SSL_CTX_use_certificate_chain_file(context, identity.certificateFile.c_str()) != 1)
            throw EHttpTlsError(host_, "client certificate " + identity.certificateFile + ": " + OpenSslReason());
        if (SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1
            || SSL_CTX_check_private_key(context) != 1)
            throw EHttpTlsError(host_, "client key " + keyFile + ": " + OpenSslReason());
    }

    std::string host_;
    // SSL_free frees both buffers too.
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> contextOwner_ {nullptr, &SSL_CTX_free};
    std::unique_ptr<SSL, decltype(&SSL_free)> sslOwner_ {nullptr, &SSL_free};
    SSL *ssl_ = nullptr;
    BIO *incoming_ = nullptr;
    BIO *outgoing_ = nullptr;
    bool closed_ = false;
    bool asked_ = false;
};

} // namespace

std::unique_ptr<TlsSession> TlsSession::Start(const std::string &host, const TlsClientIdentity &identity)
{
    return std::make_unique<OpenSslSession>(host, identity);
}
