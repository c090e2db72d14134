// The station publisher: addresses, the spool on disk, and publishing to a
// real mosquitto on 127.0.0.1.

#include "brokeraddress.h"
#include "brokertestsupport.h"
#include "scriptedserver.h"
#include "spool.h"
#include "stationpublisher.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <stdexcept>

#include <unistd.h>

using namespace publish;
using Json = nlohmann::json;
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

// The "epoch" member a spool's messages carry, with its comma.
std::string EpochOf(const std::string &spool)
{
    std::ifstream in(spool + "/epoch");
    std::string epoch;
    in >> epoch;
    EXPECT_EQ(epoch.size(), 16u);
    return "\"epoch\":\"" + epoch + "\",";
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
    const std::string epoch = EpochOf(dir.Path() + "/spool");
    EXPECT_EQ(subscriber.On("kz/s1/line").at(0).payload,
              "{\"station\":\"s1\"," + epoch + "\"kind\":\"spool-dropped\",\"dropped\":3,\"first_seq\":1,\"last_seq\":3}");
    const auto telegrams = subscriber.On("kz/s1/telegram");
    ASSERT_EQ(telegrams.size(), 5u);
    for (int i = 4; i <= 8; ++i)
        EXPECT_EQ(telegrams[i - 4].payload,
                  "{\"station\":\"s1\"," + epoch + "\"seq\":" + std::to_string(i) + ",\"n\":" + std::to_string(i) + "}");
    EXPECT_TRUE(subscriber.WaitForPayload("kz/s1/status", "online", 5s));
}

// Telegrams and notices of station s1 as received, repeats (QoS 1) left out.
struct Received {
    std::map<uint64_t, std::string> telegrams;
    std::vector<std::string> notices;
};

Received ReceivedOf(TestSubscriber &subscriber)
{
    Received received;
    for (const ReceivedMessage &m : subscriber.On("kz/s1/telegram")) {
        const uint64_t seq = std::stoull(m.payload.substr(m.payload.find("\"seq\":") + 6));
        EXPECT_TRUE(received.telegrams.emplace(seq, m.payload).second || received.telegrams[seq] == m.payload) << seq;
    }
    for (const ReceivedMessage &m : subscriber.On("kz/s1/line"))
        received.notices.push_back(m.payload.substr(m.payload.find("\"kind\"")));
    return received;
}

TEST(StationPublisher, ADamagedRecordCostsThatRecordOnlyAndItsSeqIsNotIssuedAgain)
{
    MosquittoBroker broker;
    TestSubscriber subscriber(broker.Port(), "kz/#");
    broker.Stop();
    TempDir dir;
    const StationSettings settings = Station(broker.Url("kz"), "s1", dir.Path() + "/spool");
    {
        StationPublisher publisher(settings, nullptr);
        for (int i = 1; i <= 48; ++i)
            publisher.Telegram("{\"n\":" + std::to_string(i) + "}");
        EXPECT_FALSE(publisher.Flush(500ms));
    }
    // One bit of the payload flips on the disk, in the third record and in the last.
    for (const int damaged : {3, 48}) {
        std::fstream journal(dir.Path() + "/spool/journal-00000000000000000001",
                             std::ios::in | std::ios::out | std::ios::binary);
        std::streamoff at = 0;
        for (int record = 1; record < damaged; ++record) {
            unsigned char length[4];
            journal.seekg(at);
            journal.read(reinterpret_cast<char *>(length), 4);
            at += 8 + (length[0] | length[1] << 8 | length[2] << 16);
        }
        journal.seekg(at + 8 + 9 + 20);
        const char byte = static_cast<char>(journal.get() ^ 0x04);
        journal.seekp(at + 8 + 9 + 20);
        journal.put(byte);
    }
    broker.Start();
    StationPublisher publisher(settings, nullptr);
    publisher.Telegram("{\"n\":49}");
    ASSERT_TRUE(publisher.Flush(15s)) << broker.Log();
    ASSERT_TRUE(subscriber.WaitFor([](auto &m) { return m.size() >= 47 + 2 + 2; }, 10s));
    const Received received = ReceivedOf(subscriber);
    ASSERT_EQ(received.telegrams.size(), 47u);
    EXPECT_EQ(received.telegrams.count(3), 0u);
    EXPECT_EQ(received.telegrams.count(48), 0u);
    // The last record's seq was issued: the next telegram does not get it again.
    EXPECT_EQ(received.telegrams.rbegin()->first, 49u);
    EXPECT_NE(received.telegrams.at(49).find("\"n\":49"), std::string::npos);
    EXPECT_EQ(received.notices,
              (std::vector<std::string>{"\"kind\":\"spool-dropped\",\"dropped\":1,\"first_seq\":3,\"last_seq\":3}",
                                        "\"kind\":\"spool-dropped\",\"dropped\":1,\"first_seq\":48,\"last_seq\":48}"}));
}

TEST(StationPublisher, AFullDiskDropsWhatItMustCountsItAndWorksAgainOnceTheBrokerTookTheSpool)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    MosquittoBroker broker;
    TestSubscriber subscriber(broker.Port(), "kz/#");
    broker.Stop();
    TempDir dir;
    const std::string disk = dir.Path() + "/disk";
    ASSERT_EQ(std::system(("mkdir -p '" + disk + "' && mount -t tmpfs -o size=64k tmpfs '" + disk + "'").c_str()), 0);
    struct Unmount {
        std::string path;
        ~Unmount() { [[maybe_unused]] const int rc = std::system(("umount '" + path + "'").c_str()); }
    } unmount{disk};

    Reports reports;
    StationPublisher publisher(Station(broker.Url("kz"), "s1", disk + "/spool"), reports.Sink());
    const std::string filler(400, 'x');
    int sent = 0;
    auto send = [&](int count) {
        for (int i = 0; i < count; ++i, ++sent) {
            publisher.Telegram("{\"n\":" + std::to_string(sent + 1) + ",\"f\":\"" + filler + "\"}");
            std::this_thread::sleep_for(2ms);
        }
    };
    send(300);   // about 180 fit
    ASSERT_TRUE(reports.WaitFor("No space left on device; dropping messages until there is room", 5s))
        << reports.Text();
    broker.Start();
    // Once the broker has what the spool held, new telegrams are written and sent again.
    ASSERT_TRUE(publisher.Flush(20s)) << reports.Text();
    send(20);
    EXPECT_TRUE(publisher.Flush(15s)) << reports.Text();
    const std::string last = "\"n\":" + std::to_string(sent) + ",";
    ASSERT_TRUE(subscriber.WaitFor(
        [&](auto &m) {
            return std::any_of(m.begin(), m.end(), [&](auto &one) { return one.payload.find(last) != std::string::npos; });
        },
        10s))
        << reports.Text();
    const std::string said = reports.Text();
    EXPECT_EQ(said.find("dropping messages"), said.rfind("dropping messages")) << said;
    EXPECT_NE(said.find("spool: writing again"), std::string::npos) << said;

    // Every seq arrived or was announced as dropped, with its range.
    const Received received = ReceivedOf(subscriber);
    for (int n = sent - 19; n <= sent; ++n)
        EXPECT_TRUE(std::any_of(received.telegrams.begin(), received.telegrams.end(), [&](const auto &t) {
            return t.second.find("\"n\":" + std::to_string(n) + ",") != std::string::npos;
        })) << "telegram " << n << " sent after the disk had room again";
    uint64_t announced = 0;
    std::set<uint64_t> covered;
    for (const std::string &notice : received.notices) {
        const Json object = Json::parse("{" + notice);
        announced += object["dropped"].get<uint64_t>();
        for (uint64_t seq = object["first_seq"]; seq <= object["last_seq"]; ++seq)
            covered.insert(seq);
    }
    EXPECT_EQ(received.telegrams.size() + announced, static_cast<size_t>(sent));
    for (uint64_t seq = 1; seq <= static_cast<uint64_t>(sent); ++seq)
        EXPECT_TRUE(received.telegrams.count(seq) || covered.count(seq)) << "seq " << seq;
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
    EXPECT_TRUE(subscriber.WaitForPayload(
        "kz/s1/telegram", "{\"station\":\"s1\"," + EpochOf(dir.Path() + "/s1") + "\"seq\":1,\"n\":1}", 10s))
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
