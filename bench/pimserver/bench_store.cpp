#include "bench_support.h"

#include <benchmark/benchmark.h>

using namespace pim::store;

// One week of a calendar: the period query plus a walk over what it found.
static void BM_StoreWeekQuery(benchmark::State& state) {
    auto s = Store::open(pimbench::storeOf(static_cast<int>(state.range(0))));
    s->occurrences(pimbench::kWeekStart, pimbench::kWeekEnd);  // warm the series cache
    size_t found = 0;
    for (auto _ : state) {
        auto occ = s->occurrences(pimbench::kWeekStart, pimbench::kWeekEnd);
        UtcSeconds sum = 0;
        for (const Occurrence& o : occ) sum += o.start;
        benchmark::DoNotOptimize(sum);
        found = occ.size();
    }
    state.counters["occurrences"] = static_cast<double>(found);
}
BENCHMARK(BM_StoreWeekQuery)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The same query on a store opened afresh: every series is compiled from its text.
static void BM_StoreWeekQueryCold(benchmark::State& state) {
    std::string path = pimbench::storeOf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto s = Store::open(path);
        benchmark::DoNotOptimize(s->occurrences(pimbench::kWeekStart, pimbench::kWeekEnd).size());
    }
}
BENCHMARK(BM_StoreWeekQueryCold)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

static void BM_ImportIcs(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::string ics = pimbench::makeIcs(n);
    std::string dir = pimbench::benchDir();
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string path = dir + "/import-" + std::to_string(round++) + ".db";
        auto s = Store::open(path, Store::Options{true, 10000});
        state.ResumeTiming();
        ImportResult r = s->importIcs(ics);
        benchmark::DoNotOptimize(r.imported);
        state.PauseTiming();
        s.reset();
        std::filesystem::remove(path);
        std::filesystem::remove(path + "-wal");
        std::filesystem::remove(path + "-shm");
        state.ResumeTiming();
    }
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(n) * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ImportIcs)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);
