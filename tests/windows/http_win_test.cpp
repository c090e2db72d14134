// The HTTP client on Windows sockets (wsock32.dll loaded at run time)
// against a Python server and, for TLS, nginx on 127.0.0.1 that the lane
// script starts.
#include "httpclient.h"
#include "httperrors.h"
#include "laneenv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <windows.h>

TEST(WinHttp, FetchesFromALocalServerAndReportsTheSystemsErrorNumbers)
{
    const char *port = std::getenv("KZ_WIN_HTTP_PORT");
    const char *closed = std::getenv("KZ_WIN_CLOSED_PORT");
    if (port == nullptr || closed == nullptr)
        GTEST_SKIP() << "KZ_WIN_HTTP_PORT is not set: run scripts/windows/test-windows.sh";
    THttpClient client;
    int workSpans = 0;
    client.OnWorkBegin = [&](THttpClient *, TWorkMode, int32_t) { ++workSpans; };
    EXPECT_EQ(client.Get(std::string("http://localhost:") + port + "/firmware.txt"), "4.70\n");
    EXPECT_EQ(workSpans, 1);
    try {
        client.Get(std::string("http://127.0.0.1:") + port + "/absent.txt");
        ADD_FAILURE() << "no error for a missing resource";
    } catch (const EHttpProtocolError &e) {
        EXPECT_EQ(e.ErrorCode(), 404);
    }
    try {
        client.Get(std::string("http://127.0.0.1:") + closed + "/");
        ADD_FAILURE() << "connected to a closed port";
    } catch (const EHttpSocketError &e) {
        EXPECT_EQ(e.LastError(), 10061); // WSAECONNREFUSED, as the system reports it
        EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
    try {
        client.Get("http://no-such-host.invalid/");
        ADD_FAILURE() << "resolved an invalid name";
    } catch (const EHttpSocketError &e) {
        EXPECT_GE(e.LastError(), 11001); // the lookup's own number
        EXPECT_LE(e.LastError(), 11004);
    }
}

TEST(WinHttp, TlsThroughTheSystemChecksChainAndHostAndNeverFallsBack)
{
    const char *ports = std::getenv("KZ_WIN_TLS_PORTS");  // good, other host, expired, plain, self-signed
    const char *ca = std::getenv("KZ_WIN_TLS_CA");
    if (ports == nullptr || ca == nullptr)
        GTEST_SKIP() << "KZ_WIN_TLS_PORTS is not set: run scripts/windows/test-windows.sh";
    int good = 0, other = 0, expired = 0, plain = 0, stranger = 0;
    ASSERT_EQ(std::sscanf(ports, "%d %d %d %d %d", &good, &other, &expired, &plain, &stranger), 5);
    auto url = [](int port) { return "https://localhost:" + std::to_string(port) + "/firmware.txt"; };
    using ProblemKind = EHttpCertificateError::ProblemKind;
    auto problemOf = [&](int port) {
        THttpClient client;
        try {
            client.Get(url(port));
        } catch (const EHttpCertificateError &e) {
            return e.Problem();
        }
        ADD_FAILURE() << "no certificate error on port " << port;
        return ProblemKind::Other;
    };

    // Trusted before the first chain is built: the system reads its store once.
    ASSERT_TRUE(TrustCa(ca));
    THttpClient client;
    EXPECT_EQ(client.Get(url(good)), "4.70\n");
    EXPECT_EQ(problemOf(other), ProblemKind::WrongHost);
    EXPECT_EQ(problemOf(expired), ProblemKind::Expired);
    EXPECT_EQ(problemOf(stranger), ProblemKind::UntrustedIssuer);
    EXPECT_THROW(client.Get(url(plain)), EHttpTlsError);
}
