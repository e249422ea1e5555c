// The benchmark program: Google Benchmark's runner, and with --table one
// table of the measures against their goals, in Markdown, after the runs.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Result {
    double seconds_per_iteration = 0.0;      // wall time
    double cpu_seconds_per_iteration = 0.0;  // this process's CPU time
    std::map<std::string, double> counters;

    [[nodiscard]] double counter(const std::string& name) const {
        const auto it = counters.find(name);
        return it == counters.end() ? 0.0 : it->second;
    }
};

// Keeps every finished run, and still prints them as the console does.
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal: the output is often kept in a file.
    CollectingReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) {
                continue;
            }
            Result result;
            const auto iterations = static_cast<double>(run.iterations);
            result.seconds_per_iteration = run.real_accumulated_time / iterations;
            result.cpu_seconds_per_iteration = run.cpu_accumulated_time / iterations;
            for (const auto& [name, counter] : run.counters) {
                result.counters[name] = counter.value;
            }
            // The name as registered, without the iteration and time suffixes.
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty()) {
                name += "/" + run.run_name.args;
            }
            results_[name].push_back(result);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    /// The run of that name; with repetitions, the one of median time.
    [[nodiscard]] std::optional<Result> find(const std::string& name) const {
        const auto it = results_.find(name);
        if (it == results_.end() || it->second.empty()) {
            return std::nullopt;
        }
        std::vector<Result> runs = it->second;
        std::sort(runs.begin(), runs.end(), [](const Result& a, const Result& b) {
            return a.seconds_per_iteration < b.seconds_per_iteration;
        });
        return runs[runs.size() / 2];
    }

  private:
    std::map<std::string, std::vector<Result>> results_;
};

std::string cpu_model() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown processor";
}

struct Row {
    std::string measure;
    std::string value;
    std::string goal;
    std::string met;
};

std::string verdict(bool met) {
    return met ? "yes" : "**no**";
}

constexpr std::array<int, 3> kSizes{1, 16, 64};  // MiB

// "a / b / c": a value for each answer size, "-" where its run is missing.
template <typename F>
std::string per_size(const std::vector<std::optional<Result>>& runs, F value) {
    std::string out;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        out += i == 0 ? "" : " / ";
        out += runs[i] ? value(*runs[i], kSizes[i]) : std::string("-");
    }
    return out;
}

void print_table(const CollectingReporter& results) {
    std::vector<Row> rows;
    // Decoding and copying are timed on this process's CPU time, so that other
    // work on a shared machine does not count against them.
    std::vector<std::optional<Result>> decode, copy, fresh;
    for (const int mib : kSizes) {
        decode.push_back(results.find(fmt::format("decode/{}", mib)));
        copy.push_back(results.find(fmt::format("memcpy/{}", mib)));
        fresh.push_back(results.find(fmt::format("copy_new/{}", mib)));
    }
    const auto rate = [&](std::size_t i, const std::optional<Result>& run) {
        return kSizes[i] / run->cpu_seconds_per_iteration;
    };
    const auto rate_text = [](const Result& run, int mib) {
        return fmt::format("{:.0f}", mib / run.cpu_seconds_per_iteration);
    };
    if (decode[0] || decode[1] || decode[2]) {
        rows.push_back(
            {"decoding, MiB/s (1 / 16 / 64 MiB answers)", per_size(decode, rate_text), "", ""});
        rows.push_back({"memcpy of the same bytes, MiB/s", per_size(copy, rate_text), "", ""});
        if (fresh[0] || fresh[1] || fresh[2]) {
            rows.push_back({"copy into a new string, MiB/s", per_size(fresh, rate_text), "", ""});
        }
    }
    std::string ratios;
    bool ratios_met = true;
    for (std::size_t i = 0; i < kSizes.size(); ++i) {
        if (decode[i] && copy[i]) {
            const double ratio = rate(i, decode[i]) / rate(i, copy[i]);
            ratios += fmt::format("{}1/{:.1f}", ratios.empty() ? "" : " / ", 1 / ratio);
            ratios_met = ratios_met && ratio >= 1.0 / 3.0;
        }
    }
    if (!ratios.empty()) {
        rows.push_back({"decoding / memcpy", ratios, "at least 1/3", verdict(ratios_met)});
    }
    if (decode[0] && decode[2]) {
        const double growth =
            decode[2]->cpu_seconds_per_iteration / (64.0 * decode[0]->cpu_seconds_per_iteration);
        rows.push_back({"decoding time per byte, 64 MiB / 1 MiB", fmt::format("{:.2f}", growth),
                        "linear (at most 1.25)", verdict(growth <= 1.25)});
    }
    if (decode[0] || decode[1] || decode[2]) {
        bool met = true;
        const std::string peaks = per_size(decode, [&met](const Result& run, int /*mib*/) {
            met = met && run.counter("peak_x") <= 3.0;
            return fmt::format("{:.2f}", run.counter("peak_x"));
        });
        rows.push_back({"peak memory, x answer", peaks, "at most 3", verdict(met)});
    }
    if (const auto empty = results.find("decode_empty/16")) {
        const double peak = empty->counter("peak_x");
        rows.push_back({"peak memory, records with empty texts (16 MiB), x answer",
                        fmt::format("{:.2f}", peak), "at most 5", verdict(peak <= 5.0)});
    }
    for (const std::string kind : {"busy", "yielding"}) {
        const auto wait = results.find("wait/" + kind);
        if (!wait) {
            continue;
        }
        const double median = wait->counter("median_us") / 1e3;
        const double p99 = wait->counter("p99_us") / 1e3;
        rows.push_back({fmt::format("{} wait overshoot, median / p99", kind),
                        fmt::format("{:.3f} ms / {:.3f} ms", median, p99), "under 2 ms",
                        verdict(median < 2.0 && p99 < 2.0)});
    }
    if (const auto paced = results.find("download/paced")) {
        const Result& c = *paced;
        const double excess = (c.counter("wall_s") / c.counter("limit_s") - 1.0) * 100.0;
        rows.push_back(
            {fmt::format("paced download of {:.0f} characters, wall / limit", c.counter("chars")),
             fmt::format("{:.2f} s / {:.2f} s (+{:.1f} %)", c.counter("wall_s"),
                         c.counter("limit_s"), excess),
             "within 5 %", verdict(excess <= 5.0)});
        rows.push_back({"paced download, process CPU / wall",
                        fmt::format("{:.2f} %", c.counter("cpu_pct")), "at most 2 %",
                        verdict(c.counter("cpu_pct") <= 2.0)});
    }

    // The store's part of a collect (open and one transaction), against the
    // download it stores: the exchanges are those of download and erase.
    const auto stored_paced = results.find("store/sqlite/740");
    if (const auto paced = results.find("download/paced"); paced && stored_paced) {
        const double share = 100.0 * stored_paced->counter("store_s") / paced->counter("wall_s");
        rows.push_back(
            {"collect: storing the paced download (SQLite), share of its wall time",
             fmt::format("{:.1f} ms / {:.2f} s ({:.2f} %)", stored_paced->counter("store_s") * 1e3,
                         paced->counter("wall_s"), share),
             "at most 1 %", verdict(share <= 1.0)});
    }
    for (const std::string backend : {"sqlite", "postgres"}) {
        if (const auto big = results.find("store/" + backend + "/99999")) {
            const double seconds = big->counter("store_s");
            rows.push_back({fmt::format("collect: 99,999 records stored ({})",
                                        backend == "sqlite" ? "SQLite" : "PostgreSQL"),
                            fmt::format("{:.2f} s", seconds), "under 2 s", verdict(seconds < 2.0)});
        }
    }

    utsname system{};
    ::uname(&system);
    fmt::print("\nMachine: {}, {} processors, {} {} {}\n", cpu_model(),
               ::sysconf(_SC_NPROCESSORS_ONLN), system.sysname, system.release, system.machine);
    fmt::print("Compiler: {}{}\n\n", __VERSION__,
#ifdef NDEBUG
               ", optimised"
#else
               ", NOT optimised (assertions on): figures are not representative"
#endif
    );
    fmt::print("| Measure | Value | Goal | Met |\n|---|---|---|---|\n");
    for (const Row& row : rows) {
        fmt::print("| {} | {} | {} | {} |\n", row.measure, row.value, row.goal, row.met);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // --table is ours; everything else goes to Google Benchmark.
    bool table = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--table") {
            table = true;
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (table) {
        print_table(reporter);
    }
    return 0;
}
