#include "httpclient.h"
#include "convert.h"
#include "httperrors.h"
#include "scriptedserver.h"
#include "tcpconnection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const std::string kStandardRequestTail =
    "Accept: text/html, */*\r\n"
    "User-Agent: Mozilla/3.0 (compatible; KarvenZop)\r\n"
    "\r\n";

// Records the work events as text, so a whole sequence compares at once.
struct WorkLog {
    std::vector<std::string> events;
    std::function<void()> onBegin;

    void Attach(THttpClient &client)
    {
        client.OnWorkBegin = [this](THttpClient *, TWorkMode mode, int32_t max) {
            events.push_back("begin " + std::to_string(static_cast<int>(mode)) + " " + std::to_string(max));
            if (onBegin)
                onBegin();
        };
        client.OnWork = [this](THttpClient *, TWorkMode mode, int32_t count) {
            events.push_back("work " + std::to_string(static_cast<int>(mode)) + " " + std::to_string(count));
        };
        client.OnWorkEnd = [this](THttpClient *, TWorkMode mode) {
            events.push_back("end " + std::to_string(static_cast<int>(mode)));
        };
    }
};

ScriptedServer::Script Reply(std::string bytes)
{
    return [bytes](ScriptedPeer &peer) {
        peer.ReadRequest();
        peer.Send(bytes);
        peer.WaitForClientClose();
    };
}

template <class E, class F>
E Expect(F &&call)
{
    try {
        call();
    } catch (const E &error) {
        return error;
    } catch (const std::exception &other) {
        ADD_FAILURE() << "other error: " << other.what();
        throw;
    }
    ADD_FAILURE() << "no error raised";
    throw std::runtime_error("no error raised");
}

} // namespace

TEST(ClientRequest, SendsExactlyTheHeaderBlock)
{
    ScriptedServer server({Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"),
                            Reply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"),
                            Reply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")});
    THttpClient client;
    const std::string port = std::to_string(server.Port());
    EXPECT_EQ(client.Get("http://127.0.0.1:" + port + "/dir/firmware.php?id=karvenzop#part"), "ok");
    client.ProtocolVersion = HttpProtocolVersion::pv1_0;
    EXPECT_EQ(client.Get("http://LocalHost:" + port + "\\a\\b c.exe"), "ok");
    client.ProtocolVersion = HttpProtocolVersion::pv1_1;
    EXPECT_EQ(client.Get("ftp://127.0.0.1:" + port), "ok");  // any scheme but HTTPS is plain HTTP
    const std::vector<std::string> expected = {
        "GET /dir/firmware.php?id=karvenzop HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kStandardRequestTail,
        "GET /a/b%20c.exe HTTP/1.0\r\nHost: LocalHost\r\n" + kStandardRequestTail,
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kStandardRequestTail,
    };
    EXPECT_EQ(server.Requests(), expected);
    EXPECT_EQ(client.Port(), server.Port());
}

TEST(ClientReply, RedirectsAndErrorStatusesRaiseProtocolErrorAfterTheBody)
{
    ScriptedServer server({[](ScriptedPeer &peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.1 200 OK\r\nLocation: http://elsewhere/\r\nContent-Length: 4\r\n\r\nbody");
        peer.ReadRequest();
        peer.Send("HTTP/1.1 302 Found\r\nContent-Length: 5\r\n\r\nmoved");
        peer.ReadRequest();
        peer.Send("HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\n\r\nmissing");
        peer.ReadRequest();
        peer.Send("HTTP/1.1 204 No Content\r\n\r\n");
        peer.WaitForClientClose();
    }});
    THttpClient client;
    MemoryStream stream;
    auto get = [&] {
        stream.Clear();
        client.Get(server.Url("/r"), stream);
    };
    auto body = [&] { return std::string(stream.Memory(), static_cast<size_t>(stream.Size())); };

    auto first = Expect<EHttpProtocolError>(get);
    EXPECT_EQ(first.Message(), "200 OK");
    EXPECT_EQ(first.ErrorCode(), 200);
    EXPECT_EQ(body(), "body");
    auto second = Expect<EHttpProtocolError>(get);
    EXPECT_EQ(second.Message(), "302 Found");
    EXPECT_EQ(second.ErrorCode(), 302);
    EXPECT_EQ(body(), "moved");
    auto third = Expect<EHttpProtocolError>(get);
    EXPECT_EQ(third.Message(), "404 Not Found");
    EXPECT_EQ(body(), "missing");
    // 204 carries no body: it must not be read until a close that never comes.
    get();
    EXPECT_EQ(body(), "");
    EXPECT_EQ(server.Connections(), 1);  // errors after the status line keep the connection
}

TEST(ClientReply, FollowsRedirectsWhenAskedAndFailsAtTheLimit)
{
    ScriptedServer server({[](ScriptedPeer &peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.1 302 Found\r\nLocation: /second\r\nContent-Length: 14\r\n\r\nfirst redirect");
        peer.ReadRequest();
        peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfinal");
        for (int i = 0; i < 3; ++i) {
            peer.ReadRequest();
            peer.Send("HTTP/1.1 301 Moved\r\nLocation: loop\r\nContent-Length: 4\r\n\r\nloop");
        }
        peer.WaitForClientClose();
    }});
    THttpClient client;
    client.HandleRedirects = true;
    EXPECT_EQ(client.Get(server.Url("/dir/first")), "final");
    client.RedirectMaximum = 3;
    const auto error = Expect<EHttpProtocolError>([&] { client.Get(server.Url("/dir/loop")); });
    EXPECT_EQ(error.Message(), "301 Moved");
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[1].substr(0, 19), "GET /second HTTP/1.");
    EXPECT_EQ(requests[3].substr(0, 21), "GET /dir/loop HTTP/1.");
}

TEST(ClientReply, NonNumericStatusRaisesConvertError)
{
    ScriptedServer server({Reply("HTTP/1.1 abc Broken\r\n\r\n")});
    THttpClient client;
    const auto error = Expect<EConvertError>([&] { client.Get(server.Url("/")); });
    EXPECT_EQ(error.Message(), "'abc' is not a valid integer value");
    EXPECT_FALSE(client.Connected());  // the rest of that reply must not answer the next request
}

TEST(ClientWorkSpans, NestPerModeAndOnlyTheOutermostReports)
{
    THttpClient client;
    WorkLog log;
    log.Attach(client);
    client.BeginWork(TWorkMode::wmRead, 10);
    client.BeginWork(TWorkMode::wmRead, 99);  // inner: silent
    client.BeginWork(TWorkMode::wmWrite, 5);  // other mode: its own span
    client.DoWork(TWorkMode::wmRead, 4);
    client.EndWork(TWorkMode::wmRead);
    client.DoWork(TWorkMode::wmRead, 3);
    client.EndWork(TWorkMode::wmWrite);
    client.EndWork(TWorkMode::wmRead);
    client.BeginWork(TWorkMode::wmRead, 1);  // the total restarts
    client.DoWork(TWorkMode::wmRead, 1);
    client.EndWork(TWorkMode::wmRead);
    EXPECT_EQ(log.events, (std::vector<std::string>{"begin 0 10", "begin 1 5", "work 0 4", "work 0 7", "end 1",
                                                    "end 0", "begin 0 1", "work 0 1", "end 0"}));
}

TEST(ClientBody, ChunkedRepliesGiveOneWorkSpanPerChunk)
{
    OneShotSignal sendRest;
    ScriptedServer server({[&](ScriptedPeer &peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n5\r\nhel");
        // The rest only once the client is inside the first chunk, so its
        // bytes come from the socket and are counted.
        sendRest.Wait();
        peer.Send("lo\r\n1a ext\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n");
        peer.WaitForClientClose();
    }});
    THttpClient client;
    WorkLog log;
    log.onBegin = [&] { sendRest.Raise(); };
    log.Attach(client);
    EXPECT_EQ(client.Get(server.Url("/chunks")), "helloabcdefghijklmnopqrstuvwxyz");
    const std::vector<std::string> expected = {"begin 0 5", "work 0 2", "end 0", "begin 0 26", "end 0"};
    EXPECT_EQ(log.events, expected);
}

TEST(ClientBody, KnownLengthCountsOnlySocketBytesInPiecesOfAtMost32K)
{
    const std::string body(100000, 'z');
    OneShotSignal sendRest;
    ScriptedServer server({[&](ScriptedPeer &peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + body.substr(0, 10));
        sendRest.Wait();
        peer.Send(body.substr(10));
        peer.WaitForClientClose();
    }});
    THttpClient client;
    WorkLog log;
    log.onBegin = [&] { sendRest.Raise(); };
    log.Attach(client);
    MemoryStream stream;
    stream.WriteBuffer("prefix:", 7);
    stream.WriteBuffer("old content that must go", 24);
    stream.SetPosition(7);
    client.Get(server.Url("/big"), stream);
    EXPECT_EQ(stream.Size(), 7 + 100000);  // cut back to what was written
    EXPECT_EQ(std::string(stream.Memory() + 7, 100000), body);

    ASSERT_GE(log.events.size(), 3u);
    EXPECT_EQ(log.events.front(), "begin 0 100000");
    EXPECT_EQ(log.events.back(), "end 0");
    int previous = 0;
    for (size_t i = 1; i + 1 < log.events.size(); ++i) {
        ASSERT_EQ(log.events[i].substr(0, 7), "work 0 ");
        const int count = std::stoi(log.events[i].substr(7));
        EXPECT_GT(count, previous);
        EXPECT_LE(count - previous, 32768);
        previous = count;
    }
    EXPECT_EQ(previous, 100000 - 10);
}

TEST(ClientBody, BodyArrivingWithTheHeadersRaisesOnlyBeginAndEnd)
{
    ScriptedServer server({Reply("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n1.0.3\n"),
                            Reply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")});
    THttpClient client;
    client.ReadTimeout = 60000;
    WorkLog log;
    log.Attach(client);
    EXPECT_EQ(client.Get(server.Url("/firmware.php?id=karvenzop")), "1.0.3\n");
    EXPECT_EQ(log.events, (std::vector<std::string>{"begin 0 6", "end 0"}));
    // Content-Length 0 on a connection the server keeps open: returns at once
    // instead of waiting (the server only closes when the client does).
    log.events.clear();
    client.Disconnect();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Get(server.Url("/empty")), "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_EQ(log.events, (std::vector<std::string>{"begin 0 0", "end 0"}));
}

TEST(ClientBody, ReadsUntilCloseWithAFinalUnchangedCount)
{
    OneShotSignal sendRest;
    ScriptedServer server({[&](ScriptedPeer &peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 200 OK\r\n\r\nfirst ");
        sendRest.Wait();
        peer.Send("second");
    }});
    THttpClient client;
    WorkLog log;
    log.onBegin = [&] { sendRest.Raise(); };
    log.Attach(client);
    EXPECT_EQ(client.Get(server.Url("/")), "first second");
    EXPECT_EQ(log.events, (std::vector<std::string>{"begin 0 0", "work 0 6", "work 0 6", "end 0"}));
    EXPECT_FALSE(client.Connected());
}

TEST(ClientFailure, EarlyCloseRaisesConnClosedGracefullyAndEndsTheSpan)
{
    OneShotSignal sendRest;
    ScriptedServer server({[&](ScriptedPeer &peer) {
                                peer.ReadRequest();
                                peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 2000000000\r\n\r\n0123");
                                sendRest.Wait();
                                peer.Send("456789");
                            },
                            [](ScriptedPeer &peer) {
                                peer.ReadRequest();
                                peer.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nonly part");
                                peer.ShutdownWrite();
                                peer.WaitForClientClose();
                            },
                            [](ScriptedPeer &peer) {
                                peer.ReadRequest();
                                peer.Send("HTTP/1.1 200 OK\r\nConn");
                            }});
    THttpClient client;
    client.MaxBodyBytes = 2000000000;
    WorkLog log;
    log.onBegin = [&] { sendRest.Raise(); };
    log.Attach(client);
    MemoryStream stream;
    auto error = Expect<EHttpConnClosedGracefully>([&] { client.Get(server.Url("/"), stream); });
    EXPECT_EQ(error.Message(), "Connection Closed Gracefully.");
    // The announced two gigabytes were never reserved: only what came is kept.
    EXPECT_EQ(std::string(stream.Memory(), static_cast<size_t>(stream.Size())), "0123456789");
    EXPECT_EQ(log.events, (std::vector<std::string>{"begin 0 2000000000", "work 0 6", "work 0 6", "end 0"}));

    log.events.clear();
    error = Expect<EHttpConnClosedGracefully>([&] { client.Get(server.Url("/")); });
    EXPECT_EQ(log.events, (std::vector<std::string>{"begin 0 16", "work 0 0", "end 0"}));
    // A close inside the header block.
    error = Expect<EHttpConnClosedGracefully>([&] { client.Get(server.Url("/")); });
    EXPECT_EQ(error.Message(), "Connection Closed Gracefully.");
}

TEST(ClientFailure, ResetSilenceAndRefusalGiveSocketErrors)
{
    OneShotSignal clientDone;
    ScriptedServer server({[](ScriptedPeer &peer) {
                                peer.ReadRequest();
                                peer.Reset();
                            },
                            [&](ScriptedPeer &peer) {
                                peer.ReadRequest();
                                clientDone.Wait();  // accepts and stays silent
                            }});
    THttpClient client;
    auto reset = Expect<EHttpSocketError>([&] { client.Get(server.Url("/")); });
    EXPECT_EQ(reset.Message(), "Socket Error # 10054\r\nConnection reset by peer.");
    EXPECT_EQ(reset.LastError(), 10054);

    client.ReadTimeout = 300;
    auto silent = Expect<EHttpSocketError>([&] { client.Get(server.Url("/")); });
    clientDone.Raise();
    EXPECT_EQ(silent.Message(), "Socket Error # 10060\r\nConnection timed out.");
    EXPECT_FALSE(client.Connected());  // a late reply must not answer the next request

    const int unused = UnusedLoopbackPort();
    auto refused = Expect<EHttpSocketError>([&] { client.Get("http://127.0.0.1:" + std::to_string(unused) + "/"); });
    EXPECT_EQ(refused.Message(), "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(refused.LastError(), 10061);

    auto badPort = Expect<EConvertError>([&] { client.Get("http://127.0.0.1:8o/"); });
    EXPECT_EQ(badPort.Message(), "'8o' is not a valid integer value");
    auto noPort = Expect<EHttpSocketError>([&] { client.Get("http://127.0.0.1:70000/"); });
    EXPECT_EQ(noPort.LastError(), 10049);
}

TEST(ClientFailure, UnknownHostGivesALookupNumberWithEmptyText)
{
    // A label longer than 63 bytes cannot be put into a query, so the
    // resolver refuses it locally and nothing leaves the machine.
    const std::string host = std::string(70, 'x') + ".invalid";
    THttpClient client;
    const auto error = Expect<EHttpSocketError>([&] { client.Get("http://" + host + "/"); });
    EXPECT_GE(error.LastError(), 11001);
    EXPECT_LE(error.LastError(), 11004);
    EXPECT_EQ(error.Message(), "Socket Error # " + std::to_string(error.LastError()) + "\r\n");
}

TEST(ClientFailure, OversizedChunkSizeIsRefusedAndTheConnectionDropped)
{
    ScriptedServer server({Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffffff\r\n")});
    THttpClient client;
    const auto error = Expect<EHttpInvalidReply>([&] { client.Get(server.Url("/")); });
    EXPECT_EQ(error.Message(), "Invalid chunk size 'ffffffffffffffffff'");
    EXPECT_FALSE(client.Connected());
}

TEST(ClientFailure, SendingOnAResetConnectionGivesError10058NotSigpipe)
{
    OneShotSignal connected;
    OneShotSignal accepted;
    ScriptedServer server({[&](ScriptedPeer &peer) {
        connected.Wait();
        peer.Reset();
        accepted.Raise();
    }});
    TcpConnection connection;
    connection.Connect("127.0.0.1", server.Port(), 5000);
    connected.Raise();
    ASSERT_TRUE(accepted.Wait());
    for (int i = 0; i < 2000 && !connection.PeerHasClosed(); ++i)
        connection.WaitReadable(10);
    // Depending on whether the reset's own error was already taken, the
    // first send may still report 10054; sending on after that is 10058.
    std::vector<int> errors;
    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    for (int attempt = 0; attempt < 5 && (errors.empty() || errors.back() != 10058); ++attempt) {
        try {
            connection.SendAll(request.data(), request.size(), 5000);
        } catch (const EHttpSocketError &error) {
            errors.push_back(error.LastError());
            if (error.LastError() == 10058) {
                EXPECT_EQ(error.Message(), "Socket Error # 10058\r\nCannot send or receive after socket is closed.");
            }
        }
    }
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), 10058);
    for (size_t i = 0; i + 1 < errors.size(); ++i)
        EXPECT_EQ(errors[i], 10054);
}

TEST(ClientConnection, ReusesOnlyForTheSameHostAndExplicitPort)
{
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    OneShotSignal firstServed;
    OneShotSignal closeNow;
    OneShotSignal closedByServer;
    ScriptedServer server({[&](ScriptedPeer &peer) {
                                for (int i = 0; i < 2; ++i) {
                                    peer.ReadRequest();
                                    peer.Send(ok);
                                }
                                peer.ReadRequest();
                                peer.Send("HTTP/1.1 200 OK\r\nConnection:  Close \r\nContent-Length: 2\r\n\r\nok");
                                peer.WaitForClientClose();
                            },
                            [&](ScriptedPeer &peer) {
                                peer.ReadRequest();
                                peer.Send(ok);
                                firstServed.Raise();
                                closeNow.Wait();
                                peer.Close();
                                closedByServer.Raise();
                            },
                            Reply(ok)});
    THttpClient client;
    const std::string port = std::to_string(server.Port());
    client.Get("http://localhost:" + port + "/1");
    EXPECT_TRUE(client.Connected());
    client.Get("http://LOCALHOST:" + port + "/2");  // host compared without regard to case
    client.Get("http://localhost:" + port + "/3");  // the reply asks to close
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(server.Connections(), 1);

    // The server drops the kept connection between two requests: the client
    // notices and connects anew instead of failing.
    client.Get("http://localhost:" + port + "/4");
    ASSERT_TRUE(firstServed.Wait());
    closeNow.Raise();
    ASSERT_TRUE(closedByServer.Wait());
    EXPECT_EQ(client.Get("http://localhost:" + port + "/5"), "ok");
    EXPECT_EQ(server.Connections(), 3);
}

TEST(ClientReply, InterimHeadsAreSkippedAndEachRequestGetsItsOwnReply)
{
    ScriptedServer server({[](ScriptedPeer &peer) {
                                peer.ReadRequest();
                                peer.Send("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfirst");
                                peer.ReadRequest();
                                peer.Send("HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n");
                                peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecond");
                                peer.ReadRequest();
                                peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nthird");
                                peer.WaitForClientClose();
                            },
                            [](ScriptedPeer &peer) {
                                // Interim heads without end share the header block's budget.
                                peer.ReadRequest();
                                while (peer.Send("HTTP/1.1 103 Early Hints\r\n\r\n")) {
                                }
                            }});
    THttpClient client;
    EXPECT_EQ(client.Get(server.Url("/1")), "first");
    EXPECT_EQ(client.Get(server.Url("/2")), "second");
    EXPECT_EQ(client.Response().ExtraHeaders.size(), 0u);  // the interim head's fields are not the reply's
    EXPECT_EQ(client.Get(server.Url("/3")), "third");
    EXPECT_EQ(server.Connections(), 1);

    client.Disconnect();
    const auto error = Expect<EHttpInvalidReply>([&] { client.Get(server.Url("/4")); });
    EXPECT_EQ(error.Message(), "Reply header block larger than 307200 bytes");
}

TEST(ClientConnection, BytesLeftAfterAReplyMakeTheNextRequestUseAFreshConnection)
{
    // Two stray line ends and a stale reply after the announced body: none
    // of it may be read as the answer to the next request.
    ScriptedServer server({Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok\r\n"
                                  "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nstale"),
                            Reply("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfresh")});
    THttpClient client;
    EXPECT_EQ(client.Get(server.Url("/1")), "ok");
    EXPECT_EQ(client.Get(server.Url("/2")), "fresh");
    EXPECT_EQ(server.Connections(), 2);
}

TEST(ClientLimits, BodiesOverTheCeilingAreRefusedNamingTheLimit)
{
    auto endless = [](std::string head, std::string block) {
        return [head, block](ScriptedPeer &peer) {
            peer.ReadRequest();
            if (peer.Send(head))
                while (peer.Send(block)) {
                }
        };
    };
    const std::string block(1024, 'x');
    ScriptedServer server({Reply("HTTP/1.1 200 OK\r\nContent-Length: 4096\r\n\r\n" + std::string(4096, 'a')),
                            endless("HTTP/1.1 200 OK\r\nContent-Length: 10737418240\r\n\r\n", block),
                            endless("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "400\r\n" + block + "\r\n"),
                            endless("HTTP/1.0 200 OK\r\n\r\n", block)});
    THttpClient client;
    client.SetLimits({4096, 0});
    WorkLog log;
    log.Attach(client);
    MemoryStream stream;
    client.Get(server.Url("/exactly"), stream);  // the ceiling itself is allowed
    EXPECT_EQ(stream.Size(), 4096);
    client.Disconnect();

    const auto started = std::chrono::steady_clock::now();
    for (int reply = 0; reply < 3; ++reply) {
        SCOPED_TRACE(reply);
        stream.Clear();
        log.events.clear();
        const auto error = Expect<EHttpBodyTooLarge>([&] { client.Get(server.Url("/"), stream); });
        EXPECT_EQ(error.Message(), "Reply body larger than 4096 bytes");
        EXPECT_LE(stream.Size(), 4096);
        EXPECT_FALSE(client.Connected());
        if (reply == 0) {
            // Refused on the announcement: nothing read, no transfer shown.
            EXPECT_EQ(stream.Size(), 0);
            EXPECT_TRUE(log.events.empty());
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

TEST(ClientLimits, ATricklingServerIsGivenUpWithATimeOut)
{
    OneShotSignal done;
    auto trickle = [&](ScriptedPeer &peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\n");
        while (!done.Wait(50) && peer.Send("v")) {
        }
    };
    ScriptedServer server({trickle, trickle});
    THttpClient client;
    // 20 bytes a second stays under 100 bytes a second over each 1 s window.
    client.LowSpeedLimit = 100;
    client.LowSpeedTime = 1;
    auto started = std::chrono::steady_clock::now();
    auto error = Expect<EHttpSocketError>([&] { client.Get(server.Url("/slow")); });
    EXPECT_EQ(error.Message(), "Socket Error # 10060\r\nConnection timed out.");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    EXPECT_FALSE(client.Connected());

    // Fast enough for the window, but not done within the request's bound.
    client.LowSpeedLimit = 1;
    client.SetLimits({4096, 1500});
    started = std::chrono::steady_clock::now();
    error = Expect<EHttpSocketError>([&] { client.Get(server.Url("/long")); });
    done.Raise();
    EXPECT_EQ(error.LastError(), 10060);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
}
