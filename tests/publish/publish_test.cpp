// The station publisher: addresses, the spool on disk, and publishing to a
// real mosquitto on 127.0.0.1.

#include "brokeraddress.h"
#include "brokertestsupport.h"
#include "scriptedserver.h"
#include "spool.h"
#include "stationpublisher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>
#include <stdexcept>

using namespace publish;
using namespace std::chrono_literals;

namespace {

// Reports of a publisher, for waiting on one.
class Reports {
public:
    StationPublisher::Report Sink()
    {
        return [this](const std::string &text) {
            std::lock_guard<std::mutex> lock(mutex_);
            texts_ += text + "\n";
            changed_.notify_all();
        };
    }
    bool WaitFor(const std::string &part, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return texts_.find(part) != std::string::npos; });
    }
    std::string Text()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string texts_;
};

StationSettings Station(const std::string &url, const std::string &name, const std::string &spool)
{
    StationSettings settings;
    settings.link.broker = ParseBrokerAddress(url);
    settings.station = name;
    settings.spoolDir = spool;
    return settings;
}

std::vector<uint64_t> SeqsOf(Spool &spool)
{
    std::vector<uint64_t> seqs;
    while (auto message = spool.Next())
        seqs.push_back(message->seq);
    return seqs;
}

} // namespace

TEST(BrokerAddress, TakesHostPortAndPrefixAndRefusesWildcardsAndControlCharacters)
{
    const BrokerAddress plain = ParseBrokerAddress("mqtt://centre.example/kz/north");
    EXPECT_FALSE(plain.tls);
    EXPECT_EQ(plain.host, "centre.example");
    EXPECT_EQ(plain.port, 1883);
    EXPECT_EQ(plain.prefix, "kz/north");
    EXPECT_EQ(StationTopic(plain, "site1", "telegram"), "kz/north/site1/telegram");
    const BrokerAddress tls = ParseBrokerAddress("mqtts://[::1]:9883/kz");
    EXPECT_TRUE(tls.tls);
    EXPECT_EQ(tls.host, "::1");
    EXPECT_EQ(tls.port, 9883);
    EXPECT_EQ(ParseBrokerAddress("mqtts://h/p").port, 8883);

    for (const char *bad : {"http://h/p", "mqtt://h", "mqtt://h/", "mqtt:///p", "mqtt://h:0/p", "mqtt://h:65536/p",
                            "mqtt://h:/p", "mqtt://h:12a/p", "mqtt://user:secret@h/p", "mqtt://h/kz/#",
                            "mqtt://h/kz/+/x", "mqtt://h/kz//x", "mqtt://h/kz/", "mqtt://h/$SYS", "mqtt://h/k\x01z",
                            "mqtt://h/k\xffz", "mqtt://h\t/p"})
        EXPECT_THROW(ParseBrokerAddress(bad), std::invalid_argument) << bad;
    try {
        ParseBrokerAddress("mqtt://user:secret@h/p");
    } catch (const std::invalid_argument &e) {
        EXPECT_NE(std::string(e.what()).find("--credentials"), std::string::npos) << e.what();
    }

    EXPECT_EQ(StationNameProblem("site-1 Nord"), "");
    for (const char *bad : {"", "a/b", "a+", "#", "a\nb", "\x7f"})
        EXPECT_NE(StationNameProblem(bad), "") << bad;
}

TEST(Spool, KeepsOrderAndSequenceAcrossRestartsAndCutsATornTail)
{
    TempDir dir;
    const std::string folder = dir.Path() + "/spool";
    {
        Spool spool(folder, {});
        for (int i = 1; i <= 5; ++i)
            EXPECT_EQ(spool.Append(Channel::Telegram, "m" + std::to_string(i)), static_cast<uint64_t>(i));
        EXPECT_FALSE(spool.Next()) << "handed out before it is on the disk";
        spool.Commit();
        EXPECT_THROW(Spool(folder, {}), std::runtime_error) << "a second monitor of the station";
        const auto first = spool.Next();
        ASSERT_TRUE(first);
        EXPECT_EQ(first->payload, "m1");
        EXPECT_EQ(first->channel, Channel::Telegram);
        EXPECT_EQ(SeqsOf(spool), (std::vector<uint64_t>{2, 3, 4, 5}));
        spool.Delivered(2);   // out of order: 1 still waits
        spool.Delivered(1);
        spool.Append(Channel::Line, "m6");   // never committed: lost with the crash below
        spool.Commit();
        EXPECT_EQ(spool.Waiting(), 4u);
    }
    // A crash in the middle of a record.
    {
        std::ofstream tail(folder + "/journal-00000000000000000001", std::ios::app | std::ios::binary);
        tail << std::string("\x30\0\0\0\x12\x34", 6);
    }
    {
        Spool spool(folder, {});
        EXPECT_EQ(spool.Waiting(), 4u);
        EXPECT_EQ(spool.NextSeq(), 7u);
        EXPECT_EQ(SeqsOf(spool), (std::vector<uint64_t>{3, 4, 5, 6}));
        spool.Rewind();
        EXPECT_EQ(SeqsOf(spool), (std::vector<uint64_t>{3, 4, 5, 6}));
        for (uint64_t seq = 3; seq <= 6; ++seq)
            spool.Delivered(seq);
        spool.Commit();
    }
    // Everything delivered: the numbering still goes on.
    Spool spool(folder, {});
    EXPECT_EQ(spool.Waiting(), 0u);
    EXPECT_EQ(spool.Append(Channel::Line, "m7"), 7u);
}

TEST(Spool, DropsTheOldestWhenFullAndCountsThem)
{
    TempDir dir;
    const std::string folder = dir.Path() + "/spool";
    {
        Spool spool(folder, {uint64_t{1} << 20, 3});
        for (int i = 1; i <= 5; ++i)
            spool.Append(Channel::Telegram, std::string(100, 'a'));
        spool.Commit();
        EXPECT_EQ(spool.Waiting(), 3u);
        EXPECT_EQ(spool.Dropped().count, 2u);
        EXPECT_EQ(spool.Dropped().firstSeq, 1u);
        EXPECT_EQ(spool.Dropped().lastSeq, 2u);
    }
    {
        // The count survives a restart, and a smaller size bound drops more.
        Spool spool(folder, {250, 100});
        EXPECT_EQ(spool.Waiting(), 2u);
        EXPECT_EQ(spool.Dropped().count, 3u);
        EXPECT_EQ(SeqsOf(spool), (std::vector<uint64_t>{4, 5}));
        spool.DroppedAnnounced(spool.Dropped());
        spool.Commit();
    }
    Spool spool(folder, {250, 100});
    EXPECT_EQ(spool.Dropped().count, 0u);
    // Many segments' worth, with the oldest going as new ones come.
    for (int i = 0; i < 2000; ++i)
        spool.Append(Channel::Line, std::string(40, 'b'));
    spool.Commit();
    EXPECT_LE(spool.WaitingBytes(), 250u);
    EXPECT_EQ(SeqsOf(spool).back(), 2005u);
}

TEST(StationPublisher, AnnouncesWhatTheFullSpoolDroppedWhenTheBrokerIsBack)
{
    MosquittoBroker broker;
    TestSubscriber subscriber(broker.Port(), "kz/#");
    broker.Stop();
    TempDir dir;
    StationSettings settings = Station(broker.Url("kz"), "s1", dir.Path() + "/spool");
    settings.limits.maxMessages = 5;
    StationPublisher publisher(settings, nullptr);
    for (int i = 1; i <= 8; ++i)
        publisher.Telegram("{\"n\":" + std::to_string(i) + "}");
    std::this_thread::sleep_for(300ms);   // handed to the spool while the broker is away
    broker.Start();
    ASSERT_TRUE(subscriber.WaitFor([](auto &m) { return m.size() >= 8; }, 15s)) << broker.Log();
    EXPECT_EQ(subscriber.On("kz/s1/line").at(0).payload,
              "{\"station\":\"s1\",\"kind\":\"spool-dropped\",\"dropped\":3,\"first_seq\":1,\"last_seq\":3}");
    const auto telegrams = subscriber.On("kz/s1/telegram");
    ASSERT_EQ(telegrams.size(), 5u);
    for (int i = 4; i <= 8; ++i)
        EXPECT_EQ(telegrams[i - 4].payload,
                  "{\"station\":\"s1\",\"seq\":" + std::to_string(i) + ",\"n\":" + std::to_string(i) + "}");
    EXPECT_TRUE(subscriber.WaitForPayload("kz/s1/status", "online", 5s));
}

TEST(StationPublisher, TlsWithTheCaFileAndLoginOrARefusal)
{
    TempDir pki;
    MakeTestCertificates(pki.Path());
    ASSERT_EQ(std::system(("mosquitto_passwd -c -b '" + pki.Path() + "/passwd' station s3cret").c_str()), 0);
    const int tlsPort = FreePort();
    MosquittoBroker broker("listener " + std::to_string(tlsPort) + " 127.0.0.1\n"
                           "cafile " + pki.Path() + "/ca.crt\ncertfile " + pki.Path() + "/server.crt\n"
                           "keyfile " + pki.Path() + "/server.key\n"
                           "allow_anonymous false\npassword_file " + pki.Path() + "/passwd\n");
    TestSubscriber subscriber(broker.Port(), "kz/#");
    TempDir dir;

    Reports good, wrong, untrusted;
    StationSettings settings = Station(broker.Url("kz", true, tlsPort), "s1", dir.Path() + "/s1");
    settings.link.tls.caFile = pki.Path() + "/ca.crt";
    settings.link.credentials = {"station", "s3cret"};
    StationPublisher publisher(settings, good.Sink());
    publisher.Telegram("{\"n\":1}");
    EXPECT_TRUE(subscriber.WaitForPayload("kz/s1/telegram", "{\"station\":\"s1\",\"seq\":1,\"n\":1}", 10s))
        << good.Text() << broker.Log();

    settings = Station(broker.Url("kz", true, tlsPort), "s2", dir.Path() + "/s2");
    settings.link.tls.caFile = pki.Path() + "/ca.crt";
    settings.link.credentials = {"station", "wrong"};
    StationPublisher refused(settings, wrong.Sink());
    EXPECT_TRUE(wrong.WaitFor("login refused: Connection Refused: not authorised", 10s)) << wrong.Text();

    // Without the CA file only the system's trust store counts, which does not know the test CA.
    settings = Station(broker.Url("kz", true, tlsPort), "s3", dir.Path() + "/s3");
    settings.link.credentials = {"station", "s3cret"};
    StationPublisher stranger(settings, untrusted.Sink());
    EXPECT_TRUE(untrusted.WaitFor("TLS", 10s)) << untrusted.Text();

    EXPECT_TRUE(subscriber.On("kz/s2/status").empty());
    EXPECT_TRUE(subscriber.On("kz/s3/status").empty());
}

TEST(StationPublisher, RetriesWithBackOffABrokerThatClosesAnswersGarbageOrResets)
{
    ScriptedServer server({[](ScriptedPeer &peer) { peer.Close(); },
                            [](ScriptedPeer &peer) {
                                peer.Send(std::string(8, '\xff'));
                                peer.WaitForClientClose();
                            },
                            [](ScriptedPeer &peer) { peer.Reset(); }});
    TempDir dir;
    Reports reports;
    {
        StationPublisher publisher(
            Station("mqtt://127.0.0.1:" + std::to_string(server.Port()) + "/kz", "s1", dir.Path() + "/spool"),
            reports.Sink());
        publisher.Telegram("{\"n\":1}");
        std::this_thread::sleep_for(3s);
    }
    const std::string said = reports.Text();
    // Tries 0.5 s, 1 s and 2 s apart: three in three seconds, not a busy loop.
    EXPECT_EQ(server.Connections(), 3) << said;
    EXPECT_NE(said.find("; trying again"), std::string::npos) << said;
    // Said once per change, not once per try.
    EXPECT_LE(std::count(said.begin(), said.end(), '\n'), 3) << said;
    EXPECT_EQ(Spool(dir.Path() + "/spool", {}).Waiting(), 1u);
}
