// What checking a signature adds to a firmware download: a 16 MiB image
// from nginx on 127.0.0.1, fetched as the window does up to its question
// (signature, image, container, comment), signed and unsigned, and the
// signature check alone.
#include "childprocess.h"
#include "firmwarecontainer.h"
#include "benchsupport.h"
#include "httpclient.h"
#include "minisign.h"
#include "nginxserver.h"
#include "updateservice.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

using benchsupport::BestSeconds;
using benchsupport::RecordBest;

namespace {

struct Server {
    TempDir signedDir, unsignedDir;
    MinisignKeyPair keys = GenerateMinisignKeyPair();
    std::string container = BuildFirmwareContainer("KARVEN-C469", "4.70", PatternBytes(kFirmwareMaxImageSize));
    std::string signature = SignMinisign(keys.secretKeyFile, container,
                                         "target:KARVEN-C469 version:4.70 file:karvenc469.acy");
    std::unique_ptr<Nginx> signedServer, unsignedServer;

    Server()
    {
        signedDir.WriteFile("www/karvenc469.acy", container);
        signedDir.WriteFile("www/karvenc469.acy.minisig", signature);
        signedDir.WriteFile("trusted.pub", keys.publicKeyFile);
        unsignedDir.WriteFile("www/karvenc469.acy", container);
        signedServer = std::make_unique<Nginx>(signedDir);
        unsignedServer = std::make_unique<Nginx>(unsignedDir);
        ::setenv("KARVENZOP_TRUSTED_KEYS", (signedDir.Path() + "/trusted.pub").c_str(), 1);
    }
};

Server &TheServer()
{
    static Server server;
    return server;
}

void Offer(benchmark::State &state, const Nginx &server, const char *name, bool expectSigned)
{
    if (!server.Started()) {
        state.SkipWithError("nginx did not start");
        return;
    }
    THttpClient client;
    session::UpdateService updates(client);
    updates.SetServer("127.0.0.1:" + std::to_string(server.Port()));
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        const session::FirmwareOffer offer = updates.FetchFirmwareOffer("4.69");
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (offer.download.isSigned != expectSigned)
            std::abort();
        state.SetIterationTime(seconds);
        RecordBest(name, seconds);
    }
}

void BM_OfferUnsigned(benchmark::State &state) { Offer(state, *TheServer().unsignedServer, "unsigned", false); }
void BM_OfferSigned(benchmark::State &state) { Offer(state, *TheServer().signedServer, "signed", true); }

void BM_VerifyOnly(benchmark::State &state)
{
    const MinisignPublicKey key = ParseMinisignPublicKey(TheServer().keys.publicKeyFile);
    for (auto _ : state) {
        const MinisignSignature signature = ParseMinisignSignature(TheServer().signature);
        if (!VerifyMinisign(signature, key, TheServer().container))
            std::abort();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(TheServer().container.size()));
}

} // namespace

BENCHMARK(BM_OfferUnsigned)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_OfferSigned)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_VerifyOnly)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    if (!benchsupport::RunBenchmarks(argc, argv))
        return 1;
    if (BestSeconds().count("signed") && BestSeconds().count("unsigned"))
        std::printf("download to question, best: unsigned %.1f ms, signed %.1f ms: the check adds %.1f %%\n",
                    BestSeconds()["unsigned"] * 1000, BestSeconds()["signed"] * 1000,
                    (BestSeconds()["signed"] / BestSeconds()["unsigned"] - 1) * 100);
    return 0;
}
