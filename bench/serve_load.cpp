// The load of the benchmark of `kdr serve` (bench/serve.sh): clients on
// keep-alive connections of their own, each asking, round after round, for the
// readers page, a reader's first page of records, a search of every reader's
// records and a deep page of that search (after a random reader's first
// record, by key). Prints a Markdown table of the server's own time per
// request (its Server-Timing header) and the time the client waited for the
// whole answer, per kind of request and overall, and the requests a second.
//
// Usage: kdr_serve_load HOST PORT [CLIENTS [ROUNDS [WORD]]]
//   CLIENTS  clients at once (20)
//   ROUNDS   rounds of the four requests each client makes (20)
//   WORD     the search (damaged)
// Exit 1 when a request failed or was not answered 200.
#include <fmt/format.h>
#include <httplib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <iostream>
#include <latch>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum Kind : std::size_t { kReaders, kReader, kSearch, kDeep, kKinds };
constexpr std::array<std::string_view, kKinds> kKindNames{
    "readers page `/`", "a reader's first page `/readers/<ID>`",
    "search of every reader `/?q=WORD`", "a deep page of it `/?q=WORD&after=<key>`"};

// Readers whose first record's key makes a deep page.
constexpr std::size_t kDeepReaders = 50;

struct Sample {
    double server_ms = 0;
    double client_ms = 0;
};

struct Samples {
    std::array<std::vector<Sample>, kKinds> by_kind;
    std::vector<Sample> first;  ///< each connection's first readers page, before the rounds
    std::size_t failures = 0;
    std::string first_failure;
};

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

std::string percent_encoded(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 || c == '-' || c == '_' || c == '.') {
            out += c;
        } else {
            out += fmt::format("%{:02X}", byte);
        }
    }
    return out;
}

// "app;dur=12.345" -> 12.345; negative when the header is missing.
double server_time(const httplib::Result& result) {
    const std::string header = result->get_header_value("Server-Timing");
    const std::size_t at = header.find("dur=");
    if (at == std::string::npos) {
        return -1;
    }
    return std::stod(header.substr(at + 4));
}

// The nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) {
        return 0;
    }
    const auto rank =
        static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

std::string row(std::string_view name, const std::vector<Sample>& samples) {
    std::vector<double> server;
    std::vector<double> client;
    for (const Sample& s : samples) {
        server.push_back(s.server_ms);
        client.push_back(s.client_ms);
    }
    std::sort(server.begin(), server.end());
    std::sort(client.begin(), client.end());
    return fmt::format("| {} | {} | {:.1f} ms | {:.1f} ms | {:.1f} ms | {:.1f} ms | {:.1f} ms |",
                       name, samples.size(), percentile(server, 50), percentile(server, 99),
                       percentile(client, 50), percentile(client, 99),
                       client.empty() ? 0.0 : client.back());
}

int run(int argc, char** argv) {
    if (argc < 3 || argc > 6) {
        std::cerr << "usage: kdr_serve_load HOST PORT [CLIENTS [ROUNDS [WORD]]]\n";
        return 2;
    }
    const std::string host = argv[1];
    const int port = static_cast<int>(number(argv[2], "PORT"));
    const std::size_t clients = argc > 3 ? number(argv[3], "CLIENTS") : 20;
    const std::size_t rounds = argc > 4 ? number(argv[4], "ROUNDS") : 20;
    const std::string word = argc > 5 ? argv[5] : "damaged";

    // The readers to ask for, as the API lists them; the first answer warms
    // the server's store connection and is not counted.
    std::vector<std::string> readers;
    {
        httplib::Client client(host, port);
        client.set_read_timeout(std::chrono::seconds(120));
        const httplib::Result result = client.Get("/api/readers");
        if (!result || result->status != 200) {
            throw std::runtime_error("/api/readers was not answered");
        }
        for (const nlohmann::json& reader : nlohmann::json::parse(result->body)) {
            readers.push_back(percent_encoded(reader.at("machine_id").get<std::string>()));
        }
        if (readers.empty()) {
            throw std::runtime_error("the store holds no reader");
        }
    }
    // Keys deep in the store: the first record of readers spread over it.
    std::vector<std::string> keys;
    {
        httplib::Client client(host, port);
        client.set_read_timeout(std::chrono::seconds(120));
        for (std::size_t i = 0; i < std::min(kDeepReaders, readers.size()); ++i) {
            const std::string& reader = readers[i * readers.size() / kDeepReaders];
            const httplib::Result result =
                client.Get(fmt::format("/api/records?reader={}&limit=1", reader));
            if (!result || result->status != 200) {
                throw std::runtime_error("/api/records was not answered");
            }
            const nlohmann::json next = nlohmann::json::parse(result->body).at("next");
            if (next.is_string()) {
                keys.push_back(next.get<std::string>());
            }
        }
        if (keys.empty()) {
            throw std::runtime_error("no reader holds a record");
        }
    }

    std::mutex mutex;
    Samples all;
    // Every client connects its own way first; then they start at once.
    std::latch ready(static_cast<std::ptrdiff_t>(clients));
    std::latch start(1);
    std::vector<std::thread> threads;
    const auto work = [&](std::size_t index) {
        Samples mine;
        httplib::Client client(host, port);
        client.set_keep_alive(true);
        client.set_read_timeout(std::chrono::seconds(120));
        std::mt19937 random(static_cast<std::uint32_t>(index));
        // Each connection's first readers page reads the store's summaries
        // for its store connection: a server that has run a while has them,
        // and a new download costs each connection one such read. That
        // first answer is timed apart.
        {
            const auto began = Clock::now();
            const httplib::Result result = client.Get("/");
            const std::chrono::duration<double, std::milli> waited = Clock::now() - began;
            if (result && result->status == 200) {
                mine.first.push_back({server_time(result), waited.count()});
            }
        }
        ready.count_down();
        start.wait();
        for (std::size_t r = 0; r < rounds; ++r) {
            const std::string& reader = readers[random() % readers.size()];
            const std::array<std::string, kKinds> paths{
                "/", "/readers/" + reader, fmt::format("/?q={}", word),
                fmt::format("/?q={}&after={}", word, keys[random() % keys.size()])};
            for (std::size_t kind = 0; kind < kKinds; ++kind) {
                const auto began = Clock::now();
                const httplib::Result result = client.Get(paths[kind]);
                const std::chrono::duration<double, std::milli> waited = Clock::now() - began;
                const double server = result ? server_time(result) : -1;
                if (!result || result->status != 200 || server < 0) {
                    if (mine.failures++ == 0) {
                        mine.first_failure =
                            !result ? fmt::format("{}: {}", paths[kind],
                                                  httplib::to_string(result.error()))
                                    : fmt::format("{}: status {}", paths[kind], result->status);
                    }
                    continue;
                }
                mine.by_kind[kind].push_back({server, waited.count()});
            }
        }
        const std::scoped_lock lock(mutex);
        for (std::size_t kind = 0; kind < kKinds; ++kind) {
            all.by_kind[kind].insert(all.by_kind[kind].end(), mine.by_kind[kind].begin(),
                                     mine.by_kind[kind].end());
        }
        if (all.failures == 0) {
            all.first_failure = mine.first_failure;
        }
        all.first.insert(all.first.end(), mine.first.begin(), mine.first.end());
        all.failures += mine.failures;
    };
    for (std::size_t i = 0; i < clients; ++i) {
        threads.emplace_back(work, i);
    }
    ready.wait();
    const auto began = Clock::now();
    start.count_down();
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::chrono::duration<double> took = Clock::now() - began;

    std::vector<Sample> every;
    std::cout << "| Request | Answered | Server p50 | Server p99 | Client p50 | Client p99 | "
                 "Client max |\n|---|---|---|---|---|---|---|\n";
    for (std::size_t kind = 0; kind < kKinds; ++kind) {
        std::cout << row(kKindNames[kind], all.by_kind[kind]) << '\n';
        every.insert(every.end(), all.by_kind[kind].begin(), all.by_kind[kind].end());
    }
    std::cout << row("**all**", every) << '\n';
    std::cout << row("each connection's first readers page, all at once, before the rounds",
                     all.first)
              << "\n\n";
    std::cout << fmt::format(
        "{} clients, {} rounds of 4 requests each, {} readers to choose from, search \"{}\": "
        "{} answered in {:.2f} s, {:.1f} requests/s, {} failed\n",
        clients, rounds, readers.size(), word, every.size(), took.count(),
        static_cast<double>(every.size()) / took.count(), all.failures);
    if (all.failures > 0) {
        std::cerr << "kdr_serve_load: " << all.failures
                  << " requests failed, the first: " << all.first_failure << '\n';
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "kdr_serve_load: " << error.what() << '\n';
        return 1;
    }
}
