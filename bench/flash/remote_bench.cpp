// A 64 KiB firmware update through a serial device server, the round trip
// stretched by a delaying proxy, against the same update on the local pty:
// the real library, decoder_sim at its line rate with a window of 4 pages,
// ser2net in front of it. Register order matters: the local run comes first
// and the others report their time as a ratio to it.

#include "bootloaderlibrary.h"
#include "remoteservers.h"
#include "simprocess.h"
#include "testhost.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <random>

namespace {

double localSeconds = 0;

// state.range(0): -1 the local pty, else the round trip in ms through ser2net.
void BM_FlashAcrossRoundTrip(benchmark::State &state)
{
    const int rttMs = static_cast<int>(state.range(0));
    constexpr size_t kImageSize = 64 * 1024;
    SimProcess sim({"--window", "4"}, true);
    std::unique_ptr<DeviceServer> server;
    std::unique_ptr<DelayProxy> proxy;
    std::string port = sim.Port();
    if (rttMs >= 0) {
        server = std::make_unique<DeviceServer>(DeviceServer::Ser2net, sim.Port());
        port = server->Url();
        if (rttMs > 0) {
            proxy = std::make_unique<DelayProxy>(server->Port(), rttMs);
            port = proxy->Url();
        }
    }
    TestHost host(port);
    IntfPtr<IBootloader> loader = BootloaderLibrary::Default().OpenBootloader(&host);
    host.loader = loader.get();

    std::mt19937 random(7);
    std::string image(kImageSize, '\0');
    for (auto &c : image)
        c = static_cast<char>(random() & 0xFF);
    host.firmwareFile = sim.Directory() + "/firmware.acy";
    WriteFile(host.firmwareFile, MakeFirmwareContainer(image, "4.70"));

    double seconds = 0;
    for (auto _ : state) {
        SendEntryCommand(sim.Port());
        if (!loader->Connect(-1)) {
            state.SkipWithError("no bootloader");
            return;
        }
        const auto start = std::chrono::steady_clock::now();
        loader->Program(-1, -1);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        loader->Disconnect();
        if (ReadFile(sim.DumpPath()) != image) {
            state.SkipWithError("dump differs from the image");
            return;
        }
    }
    host.loader = nullptr;
    if (rttMs < 0)
        localSeconds = seconds;
    state.counters["program_s"] = seconds;
    if (localSeconds > 0)
        state.counters["ratio_to_local"] = seconds / localSeconds;
    state.counters["resends"] = static_cast<double>(host.AllOutput().find("sending it again") != std::string::npos);
}

} // namespace

BENCHMARK(BM_FlashAcrossRoundTrip)
    ->ArgName("rtt_ms")
    ->Arg(-1)
    ->Arg(0)
    ->Arg(50)
    ->Arg(150)
    ->Arg(300)
    ->UseManualTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(1);
BENCHMARK_MAIN();
