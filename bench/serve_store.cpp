// A big store for the benchmark of `kdr serve` (bench/serve.sh): readers
// collected every few days over about 60 days, each download erased after it
// was stored, written through the store's own algorithm (store_download and
// set_erase_result), as `kdr collect --erase` writes it.
//
// Usage: kdr_serve_store TARGET [READERS [RECORDS [DOWNLOADS]]]
//   TARGET     a SQLite file (made as TARGET.part, renamed when whole, so that
//              a file at TARGET is always a whole store) or a postgresql:// URI
//   READERS    readers (1000), with machine IDs B0000001, B0000002, ...
//   RECORDS    records of each reader (1000)
//   DOWNLOADS  downloads each reader's records come in (4)
// One record in 25 holds the word "DAMAGED", for the searches. Prints what it
// wrote and how long it took.
#include <fmt/format.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "kdr/posix_platform.hpp"
#include "kdr/simulator.hpp"
#include "protocol/record_decoding.hpp"
#include "store/store.hpp"

namespace {

namespace sim = kdr::simulator;
using std::chrono::seconds;

constexpr std::int64_t kSpanSeconds = std::int64_t{60} * 24 * 3600;

std::size_t number(const char* text, std::string_view what) {
    std::size_t value = 0;
    const std::string_view view(text);
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (error != std::errc{} || end != view.data() + view.size() || value == 0) {
        throw std::invalid_argument(
            fmt::format("{} must be a positive number, not \"{}\"", what, view));
    }
    return value;
}

// The texts a stock-taking reader keeps: item lines, bar codes, shelf checks
// with a "?" inside, notes, and now and then a damaged lot to search for.
std::string record_text(std::mt19937& random, std::size_t n) {
    if (random() % 25 == 0) {
        return fmt::format("LOT {} DAMAGED BOX {}", random() % 10000, random() % 100);
    }
    switch (random() % 4) {
        case 0:
            return fmt::format("ITEM {:05} QTY {}", random() % 100000, n % 20 + 1);
        case 1:
            return fmt::format("40063813{:05}", random() % 100000);
        case 2:
            return fmt::format("SHELF A-{:02}? CHECK", random() % 100);
        default:
            return fmt::format("NOTE {}: count again", n);
    }
}

// Reader `index`'s records, the newest at `newest` less a few seconds of its
// own, the others spread evenly over kSpanSeconds before it.
std::vector<sim::Record> reader_records(std::size_t index, std::size_t count,
                                        const kdr::LocalDateTime& newest) {
    std::mt19937 random(static_cast<std::uint32_t>(index));
    const std::int64_t spacing = kSpanSeconds / static_cast<std::int64_t>(count);
    const auto shift = static_cast<std::int64_t>(index % 3600);
    std::vector<sim::Record> records;
    records.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t age = static_cast<std::int64_t>(count - 1 - i) * spacing + shift;
        records.push_back(
            sim::Record{sim::add_seconds(newest, -age), record_text(random, i + 1), "ABC"[i % 3]});
    }
    return records;
}

int run(int argc, char** argv) {
    if (argc < 2 || argc > 5) {
        std::cerr << "usage: kdr_serve_store TARGET [READERS [RECORDS [DOWNLOADS]]]\n";
        return 2;
    }
    const std::string target = argv[1];
    const std::size_t readers = argc > 2 ? number(argv[2], "READERS") : 1000;
    const std::size_t per_reader = argc > 3 ? number(argv[3], "RECORDS") : 1000;
    const std::size_t downloads = argc > 4 ? number(argv[4], "DOWNLOADS") : 4;
    if (downloads > per_reader || per_reader / downloads > sim::kMaxRecords) {
        throw std::invalid_argument("each download must hold 1 to 99,999 records");
    }

    const bool sqlite = !target.starts_with("postgres");
    const std::string part = sqlite ? target + ".part" : target;
    if (sqlite) {
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::filesystem::remove(part + suffix);
        }
    }

    const auto began = std::chrono::steady_clock::now();
    const auto now = std::chrono::system_clock::now();
    const kdr::LocalDateTime newest = kdr::ConsoleHost().Now();
    const std::int64_t spacing = kSpanSeconds / static_cast<std::int64_t>(per_reader);
    std::size_t stored = 0;
    {
        const std::unique_ptr<kdr::store::Store> store = kdr::store::open_store(part);
        for (std::size_t r = 0; r < readers; ++r) {
            const std::string id = fmt::format("B{:07}", r + 1);
            const std::vector<sim::Record> records = reader_records(r, per_reader, newest);
            for (std::size_t d = 0; d < downloads; ++d) {
                const std::size_t first = d * per_reader / downloads;
                const std::size_t end = (d + 1) * per_reader / downloads;
                const std::vector<sim::Record> memory(records.begin() + static_cast<long>(first),
                                                      records.begin() + static_cast<long>(end));
                const kdr::Download download =
                    kdr::protocol::decode_records(sim::download_answer(id, memory), newest.year);
                // Collected as its last record was taken.
                const auto ended =
                    now - seconds(static_cast<std::int64_t>(per_reader - end) * spacing);
                const kdr::store::StoreOutcome outcome =
                    store->store_download({"/dev/ttyUSB0",
                                           ended - seconds(2),
                                           ended,
                                           &download,
                                           true,
                                           {},
                                           2,
                                           kdr::store::ReadCheck::Sure,
                                           {}});
                if (outcome.new_records != memory.size()) {
                    throw std::runtime_error(fmt::format("{}'s download {} stored {} of {} records",
                                                         id, d + 1, outcome.new_records,
                                                         memory.size()));
                }
                store->set_erase_result(outcome.download_id, kdr::store::EraseResult::Verified);
                stored += outcome.new_records;
            }
            if ((r + 1) % 100 == 0) {
                std::cerr << fmt::format("kdr_serve_store: {} of {} readers\n", r + 1, readers);
            }
        }
    }
    if (sqlite) {
        // The last connection's close folded the log into the file.
        if (std::filesystem::exists(part + "-wal")) {
            throw std::runtime_error(part + "-wal is left: the store was not closed whole");
        }
        std::filesystem::rename(part, target);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    std::cout << fmt::format(
        "{} records of {} readers in {} downloads stored into {} in {:.1f} s\n", stored, readers,
        readers * downloads, target, took.count());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "kdr_serve_store: " << error.what() << '\n';
        return 1;
    }
}
