#include "httpclient.h"
#include "httperrors.h"
#include "nginxserver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// nginx with four sites signed by a CA made here: a good certificate, one
// for another host, an expired one, and a plain HTTP site.
struct TlsServers {
    TempDir dir;
    TestCa ca {dir.Path(), "test-ca"};
    Nginx nginx {dir,
                  {ca.Issue("good", "DNS:localhost,IP:127.0.0.1"), ca.Issue("other", "DNS:other.example"),
                   ca.Issue("expired", "DNS:localhost,IP:127.0.0.1", -1), NginxSite {}}};
    enum Site { Good, OtherHost, Expired, Plain };

    std::string Https(Site site, const std::string &path) const
    {
        return "https://127.0.0.1:" + std::to_string(nginx.Port(site)) + path;
    }
};

// The CA the client trusts for one test, named as OpenSSL-based tools take it.
class TrustedCaFile {
public:
    explicit TrustedCaFile(const std::string &file) { ::setenv("SSL_CERT_FILE", file.c_str(), 1); }
    ~TrustedCaFile() { ::unsetenv("SSL_CERT_FILE"); }
};

template <class Error, class Body>
Error Expect(Body body)
{
    try {
        body();
    } catch (const Error &error) {
        return error;
    }
    ADD_FAILURE() << "no error raised";
    throw std::runtime_error("no error raised");
}

} // namespace

TEST(ClientTls, DownloadsOverVerifiedTlsWithTheSameProgressAndCeilings)
{
    if (!ProgramAvailable("/usr/sbin/nginx"))
        GTEST_SKIP() << "nginx is not installed";
    TlsServers servers;
    ASSERT_TRUE(servers.ca.Made() && servers.nginx.Started());
    const std::string file = PatternBytes(1024 * 1024 + 5);
    servers.dir.WriteFile("www/firmware.bin", file);
    TrustedCaFile trust(servers.ca.CaFile());

    THttpClient client;
    int32_t announced = -1, last = -1;
    int ends = 0;
    client.OnWorkBegin = [&](THttpClient *, TWorkMode, int32_t max) { announced = max; };
    client.OnWork = [&](THttpClient *, TWorkMode, int32_t count) { last = count; };
    client.OnWorkEnd = [&](THttpClient *, TWorkMode) { ++ends; };
    MemoryStream stream;
    client.Get(servers.Https(TlsServers::Good, "/firmware.bin"), stream);
    EXPECT_EQ(std::string(stream.Memory(), static_cast<size_t>(stream.Size())), file);
    EXPECT_EQ(announced, static_cast<int32_t>(file.size()));
    EXPECT_LE(last, static_cast<int32_t>(file.size()));
    EXPECT_GT(last, 0);
    EXPECT_EQ(ends, 1);
    // The host name is checked as well as the address.
    EXPECT_EQ(client.Get("https://localhost:" + std::to_string(servers.nginx.Port(TlsServers::Good)) + "/firmware.bin").size(),
              file.size());

    client.MaxBodyBytes = 1000;
    const auto tooLarge = Expect<EHttpBodyTooLarge>([&] { client.Get(servers.Https(TlsServers::Good, "/firmware.bin")); });
    EXPECT_EQ(tooLarge.Message(), "Reply body larger than 1000 bytes");
}

TEST(ClientTls, RefusesWrongHostExpiredUnknownAuthorityAndPlainServers)
{
    if (!ProgramAvailable("/usr/sbin/nginx"))
        GTEST_SKIP() << "nginx is not installed";
    TlsServers servers;
    servers.dir.WriteFile("www/v.txt", "4.70");
    ASSERT_TRUE(servers.ca.Made() && servers.nginx.Started());
    TrustedCaFile trust(servers.ca.CaFile());
    THttpClient client;
    using ProblemKind = EHttpCertificateError::ProblemKind;

    const auto other = Expect<EHttpCertificateError>([&] { client.Get(servers.Https(TlsServers::OtherHost, "/v.txt")); });
    EXPECT_EQ(other.Problem(), ProblemKind::WrongHost);
    EXPECT_EQ(other.Message(), "The server's certificate is not for 127.0.0.1");

    const auto expired = Expect<EHttpCertificateError>([&] { client.Get(servers.Https(TlsServers::Expired, "/v.txt")); });
    EXPECT_EQ(expired.Problem(), ProblemKind::Expired);
    EXPECT_EQ(expired.Message(), "The certificate of 127.0.0.1 has expired or is not valid yet");

    // A plain server on the port: no request goes out in the clear.
    const auto plain = Expect<EHttpTlsError>([&] { client.Get(servers.Https(TlsServers::Plain, "/v.txt")); });
    EXPECT_EQ(plain.Message().rfind("TLS connection to 127.0.0.1 failed: ", 0), 0u) << plain.Message();
    EXPECT_FALSE(client.Connected());

    // Another CA in SSL_CERT_FILE: the test CA is no longer trusted.
    TestCa stranger(servers.dir.Path(), "stranger-ca");
    ASSERT_TRUE(stranger.Made());
    TrustedCaFile otherTrust(stranger.CaFile());
    const auto unknown = Expect<EHttpCertificateError>([&] { client.Get(servers.Https(TlsServers::Good, "/v.txt")); });
    EXPECT_EQ(unknown.Problem(), ProblemKind::UntrustedIssuer);
    EXPECT_EQ(unknown.Message(), "The certificate of 127.0.0.1 is not from a trusted certification authority");

    TrustedCaFile goodTrust(servers.ca.CaFile());
    EXPECT_EQ(client.Get(servers.Https(TlsServers::Good, "/v.txt")), "4.70");
}
