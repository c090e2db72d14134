#include "childprocess.h"
#include "httpclient.h"
#include "httperrors.h"
#include "nginxserver.h"
#include "scriptedserver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

std::string StreamText(const MemoryStream &stream)
{
    return std::string(stream.Memory(), static_cast<size_t>(stream.Size()));
}

// Real servers answer over HTTP/1.0 (Python) or keep the connection (nginx);
// each starts on a free 127.0.0.1 port and is stopped by its destructor.
std::unique_ptr<ChildProcess> StartPython(const std::vector<std::string> &args, int &port)
{
    std::vector<std::string> argv = {"python3", "-u"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = std::make_unique<ChildProcess>(argv);
    port = PortFromLine(child->WaitForLine("port "));
    return port > 0 && WaitUntilListening(port) ? std::move(child) : nullptr;
}

} // namespace

TEST(ClientPython, DownloadsFilesWithContentLengthOverHttp10)
{
    TempDir dir;
    const std::string file = PatternBytes(300000);
    dir.WriteFile("www/firmware.bin", file);
    int port = 0;
    auto server = StartPython({"-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", dir.Path() + "/www"}, port);
    ASSERT_TRUE(server) << "python3 -m http.server did not start";

    THttpClient client;
    int32_t announced = -1;
    int32_t last = -1;
    int ends = 0;
    client.OnWorkBegin = [&](THttpClient *, TWorkMode, int32_t max) { announced = max; };
    client.OnWork = [&](THttpClient *, TWorkMode, int32_t count) { last = count; };
    client.OnWorkEnd = [&](THttpClient *, TWorkMode) { ++ends; };
    MemoryStream stream;
    client.Get("http://127.0.0.1:" + std::to_string(port) + "/firmware.bin", stream);
    EXPECT_EQ(StreamText(stream), file);
    EXPECT_EQ(announced, 300000);
    EXPECT_GT(last, 0);
    EXPECT_LE(last, 300000);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(client.ResponseVersion(), "1.0");
    EXPECT_FALSE(client.Connected());  // a 1.0 reply closes

    const auto error = [&] {
        try {
            client.Get("http://127.0.0.1:" + std::to_string(port) + "/missing.bin");
        } catch (const EHttpProtocolError &e) {
            return e;
        }
        return EHttpProtocolError(0, "none");
    }();
    EXPECT_EQ(error.ErrorCode(), 404);
    EXPECT_EQ(error.Message(), "404 File not found");
}

TEST(ClientPython, ReadsUntilCloseAndDecodesChunkedStreams)
{
    TempDir dir;
    dir.WriteFile("server.py", R"PY(
import http.server, sys
BODY = bytes((i * 7) % 256 for i in range(150000))
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        if self.path == "/until-close":
            self.close_connection = True
            self.send_response(200)
            self.end_headers()
            self.wfile.write(BODY)
        else:
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            at = 0
            for size in (1, 4095, 40000, 70000, 35904):
                self.wfile.write(b"%x\r\n" % size + BODY[at:at + size] + b"\r\n")
                self.wfile.flush()
                at += size
            self.wfile.write(b"0\r\n\r\n")
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print("port %d" % server.server_address[1], flush=True)
server.serve_forever()
)PY");
    int port = 0;
    auto server = StartPython({dir.Path() + "/server.py"}, port);
    ASSERT_TRUE(server) << "scripted python server did not start";
    std::string expected(150000, '\0');
    for (size_t i = 0; i < expected.size(); ++i)
        expected[i] = static_cast<char>((i * 7) % 256);

    THttpClient client;
    std::vector<int32_t> spans;
    client.OnWorkBegin = [&](THttpClient *, TWorkMode, int32_t max) { spans.push_back(max); };
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(client.Get(base + "/until-close"), expected);
    EXPECT_EQ(spans, std::vector<int32_t>{0});

    spans.clear();
    EXPECT_EQ(client.Get(base + "/chunked"), expected);
    EXPECT_EQ(spans, (std::vector<int32_t>{1, 4095, 40000, 70000, 35904}));
    EXPECT_TRUE(client.Connected());
    // The kept connection carries the next request.
    EXPECT_EQ(client.Get(base + "/chunked"), expected);
}

TEST(ClientPython, UpdateServerToolAnswersTheToolsRequests)
{
    int port = 0;
    auto server = StartPython({KZ_UPDATE_SERVER_SCRIPT, "--port", "0", "--root", KZ_UPDATE_SERVER_CONTENT}, port);
    ASSERT_TRUE(server) << "update_server.py did not start";
    THttpClient client;
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(client.Get(base + "/firmware.php?id=karvenzop"), "1.0.3");
    EXPECT_EQ(client.Get(base + "/firmware.php?id=karvenfir"), "4.70");
    const std::string exe = client.Get(base + "/ZOP-Update.exe");
    EXPECT_FALSE(exe.empty());
    EXPECT_TRUE(client.Connected());
    try {
        client.Get(base + "/karvenc469.acy");  // not shipped: generated at run time
        ADD_FAILURE() << "no error for a missing image";
    } catch (const EHttpProtocolError &error) {
        EXPECT_EQ(error.Message(), "404 Not Found");
    }
    EXPECT_FALSE(server->WaitForLine("\"GET /ZOP-Update.exe HTTP/1.1\" 200").empty());
}

TEST(ClientNginx, KeepsTheConnectionAndDecodesChunkedReplies)
{
    if (!ProgramAvailable("/usr/sbin/nginx"))
        GTEST_SKIP() << "nginx is not installed";
    TempDir dir;
    const std::string file = PatternBytes(2 * 1024 * 1024 + 17);
    dir.WriteFile("www/big.bin", file);
    const std::string page(200000, 'p');
    dir.WriteFile("www/ssi/page.html", page + "<!--# echo var=\"unset_name\" default=\"END\" -->");
    Nginx nginx(dir);
    ASSERT_TRUE(nginx.Started()) << "nginx did not start";

    THttpClient client;
    MemoryStream stream;
    client.Get(nginx.Url("/big.bin"), stream);
    EXPECT_EQ(StreamText(stream), file);
    EXPECT_EQ(client.Response().ContentLength, static_cast<int64_t>(file.size()));
    const std::string firstConnection = client.Response().ExtraHeaderValue("X-Connection");
    EXPECT_TRUE(client.Connected());

    int spans = 0;
    client.OnWorkBegin = [&](THttpClient *, TWorkMode, int32_t) { ++spans; };
    EXPECT_EQ(client.Get(nginx.Url("/ssi/page.html")), page + "END");
    EXPECT_TRUE(ContainsTextIgnoringCase(client.Response().ExtraHeaderValue("Transfer-Encoding"), "chunked"));
    EXPECT_GE(spans, 1);
    EXPECT_EQ(client.Response().ExtraHeaderValue("X-Connection"), firstConnection);

    try {
        client.Get(nginx.Url("/nothing-here"));
        ADD_FAILURE() << "no error for 404";
    } catch (const EHttpProtocolError &error) {
        EXPECT_EQ(error.Message(), "404 Not Found");
    }
    // The error page was read whole, so the connection is still in step.
    stream.Clear();
    client.Get(nginx.Url("/big.bin"), stream);
    EXPECT_EQ(StreamText(stream), file);
    EXPECT_EQ(client.Response().ExtraHeaderValue("X-Connection"), firstConnection);
}
