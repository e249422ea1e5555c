// Decoding throughput on answers of 1, 16 and 64 MB, against memcpy of the
// same bytes in the same run, with the decoding's peak heap.
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "alloc_counter.hpp"
#include "kdr/protocol.hpp"
#include "protocol/record_decoding.hpp"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20U;

// A reader's answer of about `size` bytes holding the records a stock-taking
// reader stores: item lines, bar codes, shelf checks with a "?" in the text,
// notes; each with its own time stamp.
std::string answer_of_size(std::size_t size, bool empty_texts = false) {
    std::string answer =
        "\x02KDR00001"
        "99999";
    answer.reserve(size + 64);
    std::uint32_t n = 0;
    while (answer.size() < size) {
        ++n;
        answer += kdr::protocol::encode_clock(
            {2007, static_cast<int>(1 + n % 12), static_cast<int>(1 + n % 28),
             static_cast<int>(n % 24), static_cast<int>(n % 60), static_cast<int>(n * 7 % 60)});
        answer += static_cast<char>('A' + n % 3);
        switch (empty_texts ? -1 : static_cast<int>(n % 4)) {
            case -1:
                break;
            case 0:
                answer += fmt::format("ITEM {:05} QTY {}", n % 100000, n * 7 % 20 + 1);
                break;
            case 1:
                answer += fmt::format("40063813{:05}", n * 389 % 100000);
                break;
            case 2:
                answer += fmt::format("SHELF A-{:02}? CHECK", n % 100);
                break;
            default:
                answer += fmt::format("NOTE {}: count again", n);
                break;
        }
        answer += "?\r";
    }
    return answer;
}

const std::string& answer_mib(std::int64_t mib) {
    static std::map<std::int64_t, std::string> answers;
    auto& answer = answers[mib];
    if (answer.empty()) {
        answer = answer_of_size(static_cast<std::size_t>(mib) * kMiB);
    }
    return answer;
}

// Both display switches on: the most text per answer byte.
void measure_decoding(benchmark::State& state, const std::string& answer) {
    const kdr::protocol::DecodeOptions options{true, true, 2007};
    double peak_ratio = 0.0;
    for (auto _ : state) {
        kdr::bench::reset_heap_peak();
        const std::size_t before = kdr::bench::heap_in_use();
        std::string text = kdr::protocol::decode_download(answer, options);
        benchmark::DoNotOptimize(text.data());
        // The caller's answer, plus what the decoding took at its peak.
        const auto peak = static_cast<double>(answer.size() + kdr::bench::heap_peak() - before);
        peak_ratio = std::max(peak_ratio, peak / static_cast<double>(answer.size()));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(answer.size()));
    state.counters["peak_x"] = peak_ratio;
}

void decode(benchmark::State& state) {
    measure_decoding(state, answer_mib(state.range(0)));
}

// Records that hold only their leading character: the most date line per
// answer byte, the decoding's largest result for its answer.
void decode_empty(benchmark::State& state) {
    static const std::string answer =
        answer_of_size(static_cast<std::size_t>(state.range(0)) * kMiB, true);
    measure_decoding(state, answer);
}

// The same bytes copied into a buffer already in memory.
void copy(benchmark::State& state) {
    const std::string& answer = answer_mib(state.range(0));
    std::vector<char> target(answer.size(), 1);
    for (auto _ : state) {
        std::memcpy(target.data(), answer.data(), answer.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(answer.size()));
}

// The same bytes copied into a new string: the allocation and first touch
// of fresh memory that the decoding's result pays too.
void copy_new(benchmark::State& state) {
    const std::string& answer = answer_mib(state.range(0));
    for (auto _ : state) {
        std::string target(answer);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(answer.size()));
}

}  // namespace

BENCHMARK(decode)->Name("decode")->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(decode_empty)->Name("decode_empty")->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(copy)->Name("memcpy")->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(copy_new)->Name("copy_new")->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);
