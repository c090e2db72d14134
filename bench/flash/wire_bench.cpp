// Wire efficiency of a firmware update: image bytes against all bytes on the
// line in both directions while Program runs, and what that means in time at
// 19200 baud. Runs the real library against decoder_sim on a pty.

#include "bootloaderlibrary.h"
#include "simprocess.h"
#include "testhost.h"

#include <benchmark/benchmark.h>

#include <random>

namespace {

void BM_ProgramImage(benchmark::State &state)
{
    const size_t imageSize = static_cast<size_t>(state.range(0));
    SimProcess sim({});
    TestHost host(sim.Port());
    IntfPtr<IBootloader> loader = BootloaderLibrary::Default().OpenBootloader(&host);
    host.loader = loader.get();

    std::mt19937 random(42);
    std::string image(imageSize, '\0');
    for (auto &c : image)
        c = static_cast<char>(random() & 0xFF);
    const std::string in = sim.Directory() + "/image.bin";
    host.firmwareFile = sim.Directory() + "/firmware.acy";
    WriteFile(in, image);
    const std::string command = BinDirectory() + "mkfirmware --target KARVEN-C469 --version 4.70 '" + in + "' '" +
                                host.firmwareFile + "' > /dev/null";
    if (std::system(command.c_str()) != 0) {
        state.SkipWithError("mkfirmware failed");
        return;
    }

    int64_t sent = 0, received = 0;
    for (auto _ : state) {
        state.PauseTiming();
        SendEntryCommand(sim.Port());
        if (!loader->Connect(-1)) {
            state.SkipWithError("no bootloader");
            return;
        }
        state.ResumeTiming();
        loader->Program(-1, -1);
        state.PauseTiming();
        loader->GetWireCounters(sent, received);
        loader->Disconnect();
        if (ReadFile(sim.DumpPath()) != image) {
            state.SkipWithError("dump differs from the image");
            return;
        }
        state.ResumeTiming();
    }
    host.loader = nullptr;

    const double total = static_cast<double>(sent + received);
    const double lineSeconds = total * 10 / 19200;
    const double limitSeconds = static_cast<double>(imageSize) * 10 / 19200;
    state.counters["image_bytes"] = static_cast<double>(imageSize);
    state.counters["sent_bytes"] = static_cast<double>(sent);
    state.counters["received_bytes"] = static_cast<double>(received);
    state.counters["efficiency"] = static_cast<double>(imageSize) / total;
    state.counters["line_s_19200"] = lineSeconds;
    state.counters["limit_s_19200"] = limitSeconds;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * imageSize));
}

} // namespace

BENCHMARK(BM_ProgramImage)->Arg(64 * 1024)->Arg(16 * 1024)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
