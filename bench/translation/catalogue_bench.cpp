// Lookups in a 10,000-entry catalogue against a std::unordered_map of the
// same pairs, measured in one run: the raw catalogue search, the full
// TranslateText (CR removal, CR LF restoration, UTF-8 check, locks) and
// the hash map.

#include "catalogue.h"
#include "translator.h"

#include "testsupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kEntries = 10000;

struct Fixture {
    std::map<std::string, std::string> pairs;
    std::vector<std::string> keys;  // lookup order, shuffled
    std::string bytes;
    testsupport::TempDir dir;
    std::unique_ptr<TTranslator> translator;
    std::unordered_map<std::string, std::string> map;

    Fixture()
    {
        static const char *const words[] = {"Cannot", "open", "file", "socket", "error", "port", "write",
                                            "read", "failed", "value", "list", "index", "key", "stream",
                                            "connection", "timed", "out", "%s", "%d", "reset"};
        std::mt19937 random(42);
        while (pairs.size() < kEntries) {
            std::string key;
            for (int n = 3 + static_cast<int>(random() % 4); n > 0; --n)
                key += std::string(key.empty() ? "" : " ") + words[random() % 20];
            key += " " + std::to_string(random() % 100000);
            pairs[key] = "Übersetzung von " + key;
        }
        for (const auto &[key, text] : pairs) {
            keys.push_back(key);
            map.emplace(key, text);
        }
        std::shuffle(keys.begin(), keys.end(), random);
        bytes = testsupport::BuildMo(pairs);
        testsupport::WriteBytes(dir / "locale/de/LC_MESSAGES/default.mo", bytes);
        translator = std::make_unique<TTranslator>(dir / "locale", "de");
    }
};

Fixture &Data()
{
    static Fixture fixture;
    return fixture;
}

void BM_CatalogueSearch(benchmark::State &state)
{
    Fixture &data = Data();
    const auto catalogue = MoCatalogue::Parse(data.bytes);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(catalogue->Find(data.keys[i]));
        i = i + 1 == data.keys.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_TranslateText(benchmark::State &state)
{
    Fixture &data = Data();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(data.translator->TranslateText("default", data.keys[i]));
        i = i + 1 == data.keys.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_UnorderedMap(benchmark::State &state)
{
    Fixture &data = Data();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(data.map.find(data.keys[i]));
        i = i + 1 == data.keys.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

// The map lookup copies its result too, as TranslateText must.
void BM_UnorderedMapWithCopy(benchmark::State &state)
{
    Fixture &data = Data();
    size_t i = 0;
    for (auto _ : state) {
        std::string copy = data.map.find(data.keys[i])->second;
        benchmark::DoNotOptimize(copy);
        i = i + 1 == data.keys.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_UnorderedMap);
BENCHMARK(BM_UnorderedMapWithCopy);
BENCHMARK(BM_CatalogueSearch);
BENCHMARK(BM_TranslateText);

BENCHMARK_MAIN();
