// A clock that moves only when someone sleeps on it or advances it: timing
// rules are tested exactly and instantly, and no test sleeps.
#pragma once

#include <chrono>
#include <cstdint>

#include "kdr/platform.hpp"

namespace kdr::testing {

class VirtualClock : public Clock {
  public:
    Instant now() override { return now_; }
    void sleep_until(Instant deadline) override;

    void advance(Duration by) { now_ += by; }
    /// Time since the clock was made.
    [[nodiscard]] Duration elapsed() const { return now_ - Instant{}; }
    [[nodiscard]] double elapsed_seconds() const {
        return std::chrono::duration<double>(elapsed()).count();
    }
    [[nodiscard]] std::int64_t sleeps() const { return sleeps_; }

  private:
    Instant now_{};
    std::int64_t sleeps_ = 0;
};

}  // namespace kdr::testing
