#pragma once

#include "streams.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <map>
#include <string>

namespace benchsupport {

// Counts the bytes and keeps none, like curl's -o /dev/null.
class DiscardStream : public Stream {
public:
    int64_t Size() const override { return position_; }
    void SetSize(int64_t) override {}
    int64_t Read(void *, int64_t) override { return 0; }
    int64_t Write(const void *, int64_t count) override
    {
        position_ += count;
        return count;
    }
    int64_t Seek(int64_t offset, SeekOrigin) override { return position_ = offset; }
    int64_t Position() const override { return position_; }

private:
    int64_t position_ = 0;
};

// The best time of each named run, for the comparison printed after the runs.
inline std::map<std::string, double> &BestSeconds()
{
    static std::map<std::string, double> best;
    return best;
}

inline void RecordBest(const std::string &name, double seconds)
{
    auto [it, added] = BestSeconds().emplace(name, seconds);
    if (!added)
        it->second = std::min(it->second, seconds);
}

// curl's own transfer time (-w time_total), so its process start is not
// counted; `options` go before the URL. Skips the run when curl fails or
// fetches another size.
inline void TimeCurl(benchmark::State &state, const std::string &options, const std::string &url, int64_t size)
{
    const std::string command =
        "curl -s " + options + " -o /dev/null -w '%{time_total} %{size_download}' '" + url + "'";
    for (auto _ : state) {
        FILE *pipe = ::popen(command.c_str(), "r");
        double seconds = 0;
        long long fetched = 0;
        if (!pipe || std::fscanf(pipe, "%lf %lld", &seconds, &fetched) != 2 || ::pclose(pipe) != 0 || fetched != size) {
            state.SkipWithError("curl failed");
            return;
        }
        state.SetIterationTime(seconds);
        RecordBest("curl", seconds);
    }
    state.SetBytesProcessed(state.iterations() * size);
}

// Google Benchmark's usual main; false when an argument was not understood.
inline bool RunBenchmarks(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return false;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return true;
}

} // namespace benchsupport
