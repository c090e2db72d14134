// Showing a 20 MB version reply: the designed label (markup detection, full
// layout) against the bounded plain static text the window now uses, and
// as a line of the event log.
#include "errorbox.h"
#include "eventlog.h"
#include "statictext.h"

#include <QApplication>
#include <QLabel>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <string>

namespace {

const std::string Reply = [] {
    std::string s;
    s.reserve(20u << 20);
    while (s.size() < (20u << 20))
        s += "<p>4.70 version text ";
    return s;
}();

long PeakKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The reply arrives (decode, set, paint), then the page is shown again (paint).
template <class Label>
void ShowReply(benchmark::State &state)
{
    const long before = PeakKiB();
    for (auto _ : state) {
        Label label;
        label.setGeometry(0, 0, 81, 17);
        label.show();
        label.setText(AnsiToQString(Reply));
        benchmark::DoNotOptimize(label.grab());
        label.hide();
        label.show();
        benchmark::DoNotOptimize(label.grab());
    }
    state.counters["peak_growth_MiB"] = static_cast<double>(PeakKiB() - before) / 1024.0;
}
// Bounded first: the peak resident size only ever grows.
BENCHMARK(ShowReply<TStaticText>)->Name("BM_Reply20MB_BoundedStaticText")->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(ShowReply<QLabel>)->Name("BM_Reply20MB_PlainQLabel")->Iterations(1)->Unit(benchmark::kMillisecond);

// The same reply as one log line: appended, shown, shown again.
void BM_LogLine20MB(benchmark::State &state)
{
    for (auto _ : state) {
        TEventLog log;
        log.resize(544, 73);
        log.show();
        log.Append(Reply);
        log.SetItemIndex(0);
        benchmark::DoNotOptimize(log.grab());
        benchmark::DoNotOptimize(log.grab());
    }
}
BENCHMARK(BM_LogLine20MB)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
