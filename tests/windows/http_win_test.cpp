// The HTTP client on Windows sockets (wsock32.dll loaded at run time)
// against a Python server on 127.0.0.1 that the lane script starts.
#include "httpclient.h"
#include "httperrors.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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
