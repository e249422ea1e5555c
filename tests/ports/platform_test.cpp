// The POSIX platform's clock and console host, and the window-less progress
// bar, against the real system.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "kdr/memory_progress_bar.hpp"
#include "kdr/posix_platform.hpp"
#include "tests/ports/pty.hpp"

namespace kdr {
namespace {

using namespace std::chrono_literals;
using testing::thread_cpu_time;

// ---- Clock ---------------------------------------------------------------

TEST(SteadyClock, ReadsTheMonotonicClock) {
    SteadyClock clock;
    timespec mono{};
    ::clock_gettime(CLOCK_MONOTONIC, &mono);
    const auto system = std::chrono::seconds(mono.tv_sec) + std::chrono::nanoseconds(mono.tv_nsec);
    const auto ours = clock.now().time_since_epoch();
    EXPECT_LT(ours - system, 10ms);
    EXPECT_GE(ours - system, 0ns);
}

TEST(SteadyClock, SleepsUntilTheDeadlineWithoutSpinning) {
    SteadyClock clock;
    for (const auto length : {1ms, 30ms}) {
        const auto deadline = clock.now() + length;
        const auto cpu_before = thread_cpu_time();
        clock.sleep_until(deadline);
        const auto woke = clock.now();
        EXPECT_GE(woke, deadline);
        EXPECT_LT(woke - deadline, 20ms);
        EXPECT_LT(thread_cpu_time() - cpu_before, 5ms);
    }
    // A deadline in the past returns at once.
    const auto start = clock.now();
    clock.sleep_until(start - 1s);
    clock.sleep_until(Clock::Instant{});
    EXPECT_LT(clock.now() - start, 5ms);
}

// ---- Console host --------------------------------------------------------

TEST(ConsoleHost, WritesMessagesAsLines) {
    struct Case {
        std::string_view text;
        std::optional<std::string_view> title;
        std::string_view shown;
    };
    const std::vector<Case> cases = {
        {"Device did not open.   ", std::nullopt, "Device did not open.   \n"},
        {"Device did not open.   ", "Erase Data From KDR",
         "Erase Data From KDR: Device did not open.   \n"},
        {"Communications failed to establish.   \r\nCheck physical connections and  \r\nmake "
         "sure reader is powered up.",
         "Download Data From KDR",
         "Download Data From KDR: Communications failed to establish.   \nCheck physical "
         "connections and  \nmake sure reader is powered up.\n"},
        {"a\rb\nc\r\n", "", "a\nb\nc\n\n"},
        {"", std::nullopt, "\n"},
    };
    for (const Case& c : cases) {
        std::ostringstream out;
        ConsoleHost host(out);
        host.MsgBox(c.text, kMessageBoxInformation, c.title);
        EXPECT_EQ(out.str(), c.shown);
    }
}

TEST(ConsoleHost, DoEventsCallsTheOwnersCallback) {
    std::ostringstream out;
    int turns = 0;
    ConsoleHost host(out, [&] { ++turns; });
    host.DoEvents();
    host.DoEvents();
    EXPECT_EQ(turns, 2);
    ConsoleHost without(out);
    without.DoEvents();  // no callback: nothing to do
    EXPECT_EQ(out.str(), "");
}

TEST(ConsoleHost, NowIsTheLocalTime) {
    ConsoleHost host;
    const auto local = [](time_t at) {
        tm fields{};
        ::localtime_r(&at, &fields);
        return LocalDateTime{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                             fields.tm_hour,        fields.tm_min,     std::min(fields.tm_sec, 59)};
    };
    const time_t before = ::time(nullptr);
    const LocalDateTime now = host.Now();
    const time_t after = ::time(nullptr);
    EXPECT_TRUE(now == local(before) || now == local(after));
}

// ---- Progress bar ----------------------------------------------------------

TEST(MemoryProgressBar, KeepsItsValuesAndReportsChangesOfValueAndMax) {
    std::vector<std::pair<float, float>> seen;
    MemoryProgressBar bar([&](float value, float max) { seen.emplace_back(value, max); });
    EXPECT_EQ(bar.get_Max(), 100.0F);
    EXPECT_EQ(bar.get_Value(), 0.0F);

    bar.put_Max(100.0F);  // unchanged
    bar.put_Value(5.0F);
    bar.put_Value(5.0F);  // unchanged
    bar.put_Max(50.0F);
    bar.put_Left(60.0F);
    bar.put_Top(70.0F);
    bar.put_Width(4320.0F);
    bar.put_Height(795.0F);
    bar.put_Value(0.0F);

    const std::vector<std::pair<float, float>> expected = {
        {5.0F, 100.0F}, {5.0F, 50.0F}, {0.0F, 50.0F}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(bar.get_Left(), 60.0F);
    EXPECT_EQ(bar.get_Top(), 70.0F);
    EXPECT_EQ(bar.get_Width(), 4320.0F);
    EXPECT_EQ(bar.get_Height(), 795.0F);

    MemoryProgressBar silent;  // no observer
    silent.put_Value(3.0F);
    EXPECT_EQ(silent.get_Value(), 3.0F);
}

}  // namespace
}  // namespace kdr
