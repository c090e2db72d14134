// Event log appends: the window appends a line and selects it, for days on end.
#include "eventlog.h"
#include "eventlogexport.h"

#include <QApplication>

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdio>
#include <string>

namespace {

const std::string FortyChars = "R1: 12345678 S:3 TKI:0 BS:1 FZ->LS T: ab";

// Append with the select-last-line step, as AddLogLine does, into a shown list.
void BM_AppendAndSelect(benchmark::State &state)
{
    TEventLog log;
    log.resize(544, 73);
    log.show();
    int n = 0;
    for (auto _ : state) {
        log.Append(FortyChars);
        log.SetItemIndex(log.Content().Count() - 1);
        // The event loop runs between batches of received bytes and shows the selection.
        if (++n % 1000 == 0)
            QApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["appends_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AppendAndSelect)->Iterations(1000000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Heap bytes per line once a million 40-character lines are held.
void BM_MemoryPerLine(benchmark::State &state)
{
    const int lines = static_cast<int>(state.range(0));
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        auto *log = new TEventLog;
        for (int i = 0; i < lines; ++i)
            log->Append(FortyChars);
        log->SetItemIndex(log->Content().Count() - 1);
        const size_t after = mallinfo2().uordblks;
        state.counters["heap_bytes_per_line"] = static_cast<double>(after - before) / lines;
        state.counters["reserved_bytes_per_line"] = static_cast<double>(log->Content().Lines().BytesReserved()) / lines;
        delete log;
    }
}
BENCHMARK(BM_MemoryPerLine)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

// Saving a million lines with their times shown (file in /tmp).
void BM_SaveMillionLinesWithTimes(benchmark::State &state)
{
    TEventLog log;
    for (int i = 0; i < 1000000; ++i)
        log.Append(FortyChars);
    log.SetTimesShown(true);
    const std::string path = "/tmp/eventlog_bench_save.txt";
    for (auto _ : state)
        SaveEventLog(log.Content(), path);
    std::remove(path.c_str());
}
BENCHMARK(BM_SaveMillionLinesWithTimes)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
