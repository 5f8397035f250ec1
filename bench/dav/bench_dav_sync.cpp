// The DAV store against a real Radicale on a loopback port: the initial sync of a
// calendar of 10,000 events into an empty working copy (the machine that joins),
// and sending local changes. Items are written into Radicale's folder directly, so
// the set-up does not count; a listing warms Radicale's own cache first, as on a
// server that has been running.
//
//     build/bin/bench_dav --benchmark_filter=InitialSync
#include "store.h"
#include "sync.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>

#include "Radicale.h"

namespace fs = std::filesystem;
using pim::store::Store;

namespace {

struct Server {
    fs::path dir = fs::temp_directory_path() / ("pimdav-bench-" + std::to_string(::getpid()));
    pimtest::Radicale radicale{dir / "server"};
    std::string error;
    Server() {
        fs::remove_all(dir);
        error = radicale.start();
    }
    ~Server() {
        radicale.stop();
        fs::remove_all(dir);
    }
};

Server& server() {
    static Server s;
    return s;
}

void fillCalendar(const fs::path& folder, int n) {
    fs::create_directories(folder);
    std::ofstream(folder / ".Radicale.props") << R"({"tag": "VCALENDAR"})";
    char buf[640];
    for (int i = 0; i < n; ++i) {
        int day = 1 + i % 28, month = 1 + (i / 28) % 12, hour = 8 + i % 9;
        std::snprintf(buf, sizeof buf,
                      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:bench\r\nBEGIN:VEVENT\r\nUID:bench-%d\r\n"
                      "DTSTAMP:20250101T000000Z\r\nDTSTART:2027%02d%02dT%02d0000Z\r\nDTEND:2027%02d%02dT%02d3000Z\r\n"
                      "SUMMARY:Appointment %d\r\nLOCATION:Room %d\r\n%sEND:VEVENT\r\nEND:VCALENDAR\r\n",
                      i, month, day, hour, month, day, hour, i, i % 50, i % 10 == 0 ? "RRULE:FREQ=WEEKLY;COUNT=20\r\n" : "");
        std::ofstream(folder / ("bench-" + std::to_string(i) + ".ics")) << buf;
    }
}

// The shared server, or nothing (the benchmark marked) when it did not start.
Server* ready(benchmark::State& state) {
    Server& s = server();
    if (s.error.empty()) return &s;
    state.SkipWithError(s.error.c_str());
    return nullptr;
}

struct Round {
    pim::dav::SyncReport report;
    unsigned long requests = 0;
};

// One sync of a new working copy `file` with `url`, only the sync itself on the clock: `fill`
// prepares the copy before, and the copy is removed after. Nothing (the benchmark marked) when
// the sync fails.
template <class Fill>
std::optional<Round> syncRound(benchmark::State& state, Server& s, const fs::path& file, const std::string& url,
                               Fill fill) {
    state.PauseTiming();
    auto copy = Store::open(file.string(), Store::Options{true, 10000});
    fill(*copy);
    pim::dav::HttpClient http({s.radicale.user(), s.radicale.password()});
    state.ResumeTiming();
    std::optional<Round> round;
    try {
        round = Round{pim::dav::synchronize(*copy, http, {url, {}}), http.requests()};
    } catch (const std::exception& e) {
        // The clock may not be touched once the benchmark is marked.
        state.SkipWithError(e.what());
        copy.reset();
        fs::remove(file);
        return round;
    }
    state.PauseTiming();
    copy.reset();
    fs::remove(file);
    state.ResumeTiming();
    return round;
}

void InitialSync(benchmark::State& state) {
    Server* s = ready(state);
    if (!s) return;
    const int n = static_cast<int>(state.range(0));
    const std::string name = "calendar" + std::to_string(n);
    const std::string url = s->radicale.url() + s->radicale.user() + "/" + name + "/";
    if (!fs::exists(s->radicale.collectionFolder(name))) {
        fillCalendar(s->radicale.collectionFolder(name), n);
        // Warm Radicale's item cache with one full sync that is not measured.
        auto warm = Store::open((s->dir / "warm.db").string(), Store::Options{true, 10000});
        pim::dav::HttpClient http({s->radicale.user(), s->radicale.password()});
        try {
            pim::dav::synchronize(*warm, http, {url, {}});
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
    }
    int round = 0;
    for (auto _ : state) {
        const auto r = syncRound(state, *s, s->dir / ("copy" + std::to_string(round++) + ".db"), url, [](Store&) {});
        if (!r) break;
        if (r->report.calendar.received != static_cast<size_t>(n)) state.SkipWithError("not every event arrived");
        state.counters["requests"] = static_cast<double>(r->requests);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(InitialSync)->Arg(10000)->Iterations(2)->Unit(benchmark::kSecond)->UseRealTime();

// Local changes to send: n new events, each one PUT.
void SendNew(benchmark::State& state) {
    Server* s = ready(state);
    if (!s) return;
    const int n = static_cast<int>(state.range(0));
    int round = 0;
    for (auto _ : state) {
        const std::string url = s->radicale.url() + s->radicale.user() + "/send" + std::to_string(round) + "/";
        const auto r = syncRound(state, *s, s->dir / ("send" + std::to_string(round++) + ".db"), url, [n](Store& copy) {
            copy.transaction([&] {
                for (int i = 0; i < n; ++i) {
                    pim::store::Appointment a;
                    a.subject = "Local " + std::to_string(i);
                    a.start = 1798761600 + i * 3600;
                    a.end = a.start + 1800;
                    a.zone = "Europe/Berlin";
                    copy.addAppointment(a);
                }
            });
        });
        if (!r) break;
        if (r->report.calendar.sent != static_cast<size_t>(n)) state.SkipWithError("not every event was sent");
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(SendNew)->Arg(200)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
