// How late the controller's timed waits end on the real monotonic clock: the
// overshoot past the wait's length, as its median and 99th percentile.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <sstream>
#include <vector>

#include "engine/waits.hpp"
#include "kdr/posix_platform.hpp"

namespace {

using namespace std::chrono_literals;

constexpr auto kLength = 10ms;  // long enough to sleep, short enough for many samples
constexpr int kSamples = 300;

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto at =
        static_cast<std::size_t>(std::lround(p * static_cast<double>(values.size() - 1)));
    return values[at];
}

template <typename Wait>
void measure(benchmark::State& state, Wait wait) {
    kdr::SteadyClock clock;
    std::vector<double> overshoot_us;
    overshoot_us.reserve(kSamples);
    for (auto _ : state) {
        const auto start = clock.now();
        wait(clock, start);
        const auto late = clock.now() - (start + kLength);
        overshoot_us.push_back(std::chrono::duration<double, std::micro>(late).count());
    }
    state.counters["median_us"] = percentile(overshoot_us, 0.5);
    state.counters["p99_us"] = percentile(overshoot_us, 0.99);
    state.counters["max_us"] = *std::max_element(overshoot_us.begin(), overshoot_us.end());
}

void busy_wait(benchmark::State& state) {
    measure(state, [](kdr::Clock& clock, kdr::Clock::Instant start) {
        kdr::engine::busy_wait(clock, start, kLength);
    });
}

void yielding_wait(benchmark::State& state) {
    std::ostringstream discard;
    kdr::ConsoleHost host(discard);
    measure(state, [&host](kdr::Clock& clock, kdr::Clock::Instant start) {
        kdr::engine::yielding_wait(clock, host, start, kLength);
    });
}

}  // namespace

BENCHMARK(busy_wait)->Name("wait/busy")->Iterations(kSamples)->Unit(benchmark::kMillisecond);
BENCHMARK(yielding_wait)
    ->Name("wait/yielding")
    ->Iterations(kSamples)
    ->Unit(benchmark::kMillisecond);
