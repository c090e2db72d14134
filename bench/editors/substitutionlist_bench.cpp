// Loading and saving a 100,000-entry substitution file, next to a plain
// baseline in the same run: read the bytes and cut them into lines, no checks.
// The list's load should stay within three times the baseline.
#include "fileio.h"
#include "substitutionlist.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace {

const std::string &FileName()
{
    static const std::string name = "/tmp/kz_substi_bench_" + std::to_string(::getpid()) + ".txt";
    return name;
}

void WriteFile()
{
    std::string text;
    for (int i = 0; i < 100000; ++i)
        text += std::to_string(10000000 + i) + "=Fahrzeug " + std::to_string(i) + " Wache S\xFC" "d\r\n";
    SaveFileBytes(FileName(), text);
}

void BM_BaselineReadAndSplit(benchmark::State &state)
{
    for (auto _ : state) {
        const std::string bytes = LoadFileBytes(FileName());
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == '\n') {
                lines.emplace_back(bytes.data() + start, i - start);
                start = i + 1;
            }
        }
        benchmark::DoNotOptimize(lines.data());
    }
}
BENCHMARK(BM_BaselineReadAndSplit)->Unit(benchmark::kMillisecond);

void BM_LoadFromFile(benchmark::State &state)
{
    SubstitutionList list;
    for (auto _ : state) {
        list.LoadFromFile(FileName());
        benchmark::DoNotOptimize(list.Count());
    }
}
BENCHMARK(BM_LoadFromFile)->Unit(benchmark::kMillisecond);

void BM_BaselineWrite(benchmark::State &state)
{
    const std::string bytes = LoadFileBytes(FileName());
    const std::string out = FileName() + ".plain";
    for (auto _ : state) {
        std::FILE *f = std::fopen(out.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    std::remove(out.c_str());
}
BENCHMARK(BM_BaselineWrite)->Unit(benchmark::kMillisecond);

// Includes the fsync that makes the save safe, which the baseline skips.
void BM_SaveToFile(benchmark::State &state)
{
    SubstitutionList list;
    list.LoadFromFile(FileName());
    const std::string out = FileName() + ".saved";
    for (auto _ : state)
        list.SaveToFile(out);
    std::remove(out.c_str());
}
BENCHMARK(BM_SaveToFile)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    WriteFile();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(FileName().c_str());
    return 0;
}
