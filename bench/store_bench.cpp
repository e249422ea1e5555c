// The record store: a download of 100,000 records stored in one transaction
// (SQLite, and PostgreSQL when KDR_BENCH_PG names a server), and the store's
// work in a collect of the paced download (download/paced) as a share of that
// download's wall time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "kdr/posix_platform.hpp"
#include "kdr/simulator.hpp"
#include "protocol/record_decoding.hpp"
#include "store/store.hpp"

namespace {

namespace sim = kdr::simulator;

// The download the reader sends for `count` sample records, decoded.
kdr::Download sample_download(std::size_t count) {
    const kdr::LocalDateTime now = kdr::ConsoleHost().Now();
    const std::vector<sim::Record> records = sim::sample_records(count, sim::add_seconds(now, -60));
    return kdr::protocol::decode_records(sim::download_answer("KDR00001", records), now.year);
}

// A fresh store per iteration: a new SQLite file, or a new database.
std::string fresh_target(bool postgres, int iteration) {
    if (!postgres) {
        const auto path = std::filesystem::temp_directory_path() /
                          ("kdr-store-bench-" + std::to_string(::getpid()) + ".sqlite");
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::filesystem::remove(path.string() + suffix);
        }
        return path.string();
    }
    // The store creates its tables in a schema of its own per iteration.
    const std::string server = std::getenv("KDR_BENCH_PG");
    const std::string schema =
        "bench_" + std::to_string(::getpid()) + "_" + std::to_string(iteration);
    const char* separator = server.find('?') == std::string::npos ? "?" : "&";
    return server + separator + "options=-csearch_path%3D" + schema;
}

// The store's whole part of a collect: open (creating the schema) and the
// one transaction with every record.
void store_records(benchmark::State& state, bool postgres) {
    if (postgres && std::getenv("KDR_BENCH_PG") == nullptr) {
        state.SkipWithError("KDR_BENCH_PG is not set (scripts/bench.sh starts a server)");
        return;
    }
    const kdr::Download download = sample_download(static_cast<std::size_t>(state.range(0)));
    // Schema names stay unique over every run of the program.
    static int iteration = 0;
    int iterations = 0;
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string target = fresh_target(postgres, iteration++);
        ++iterations;
        if (postgres) {
            // The schema must exist before the store's connection uses it.
            const std::string server = std::getenv("KDR_BENCH_PG");
            const std::string create = "psql -q \"" + server + "\" -c \"CREATE SCHEMA bench_" +
                                       std::to_string(::getpid()) + "_" +
                                       std::to_string(iteration - 1) + "\"";
            if (std::system(create.c_str()) != 0) {
                state.SkipWithError("cannot create a schema on KDR_BENCH_PG");
                return;
            }
        }
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        const std::unique_ptr<kdr::store::Store> store = kdr::store::open_store(target);
        const auto now = std::chrono::system_clock::now();
        const kdr::store::StoreOutcome outcome = store->store_download(
            {"bench", now, now, &download, true, {}, 1, kdr::store::ReadCheck::NotChecked, {}});
        if (outcome.new_records != download.records.size()) {
            state.SkipWithError("the store took the download for an incomplete one");
            return;
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["store_s"] = seconds / static_cast<double>(iterations);
    state.counters["records"] = static_cast<double>(download.records.size());
}

void store_sqlite(benchmark::State& state) {
    store_records(state, false);
}
void store_postgres(benchmark::State& state) {
    store_records(state, true);
}

// 740 records are the paced download's (download_bench.cpp); 99,999 are the
// most a reader holds (its header counts in five digits).
BENCHMARK(store_sqlite)
    ->Name("store/sqlite")
    ->Arg(740)
    ->Arg(99'999)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK(store_postgres)
    ->Name("store/postgres")
    ->Arg(740)
    ->Arg(99'999)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace
