#include <algorithm>
#include <string>

#include "engine/waits.hpp"
#include "kdr/protocol.hpp"
#include "kdr/timing.hpp"

namespace kdr::engine {

namespace {

// The time one character takes on the line: start bit, data bits, parity
// and stop bits (1.5 counted as 2).
[[nodiscard]] Clock::Duration character_time(const LineSettings& settings) {
    const int bits = 1 + settings.data_bits + (settings.parity == 'n' ? 0 : 1) +
                     (settings.stop_bits == StopBits::One ? 1 : 2);
    return std::chrono::duration_cast<Clock::Duration>(std::chrono::seconds(bits)) /
           std::max(settings.baud, 1);
}

// How long the reader itself may take before its reply begins.
[[nodiscard]] Clock::Duration reply_window(Reply which) {
    return which == Reply::Erase ? protocol::kEraseReplyWindow : protocol::kReplyWindow;
}

// What a wake-up may be late on a loaded computer.
constexpr Clock::Duration kScheduling = 10ms;
// Reads of fewer bytes than this are a trickle, let gather for kGather.
constexpr std::size_t kTrickle = 256;
constexpr Clock::Duration kGather = 5ms;

}  // namespace

Clock::Duration LineTiming::round_trip() const noexcept {
    return has_measurement_ ? std::max(measured_, latency_) : latency_;
}

Clock::Duration LineTiming::expected_round_trip(const Line& line) const noexcept {
    if (!has_measurement_ && line.port.link() == LinkKind::Network) {
        return std::max(kFirstNetworkRoundTrip, latency_);
    }
    return round_trip();
}

void LineTiming::measured(Clock::Duration first_byte) noexcept {
    measured_ = has_measurement_ ? std::max(measured_, first_byte) : first_byte;
    has_measurement_ = true;
}

void LineTiming::settle(Line& line, Clock::Duration limit) {
    // An interrupted answer runs on without pauses: a short quiet ends it.
    await_quiet(line, 50ms + latency_, limit);
}

void LineTiming::before_request(Line& line, Request which) {
    if (which == Request::Download) {
        std::string left_over;
        line.port.read(left_over, Clock::Instant::min());
        return;
    }
    if (which == Request::ReadClock) {
        busy_wait(line.clock, line.clock.now(), protocol::kReadBackPause);
    }
    // Whatever came after the last reply's frame is no part of the next.
    line.port.discard_input();
}

std::string LineTiming::reply(Line& line, Reply which, const StepReport& step) {
    const auto start = line.clock.now();
    const auto deadline = start + reply_window(which) + expected_round_trip(line);
    if (step) {
        step(0);
    }
    std::string reply;
    while (!protocol::reply_frame_end(reply) && line.clock.now() < deadline) {
        const bool first = reply.empty();
        // The reader answers a password at once: its reply times the link.
        // An erase or a new time may keep it busy a while first.
        if (line.port.read(reply, deadline) > 0 && first && which == Reply::Password) {
            measured(line.clock.now() - start);
        }
    }
    if (step) {
        step(100);
    }
    return reply;
}

std::string LineTiming::answer(Line& line, AnswerWatch& watch) {
    watch.receiving();
    const Clock::Duration trip = expected_round_trip(line);
    const auto first_byte_limit = line.clock.now() + reply_window(Reply::Password) + trip;
    std::string answer;
    while (answer.empty() && line.clock.now() < first_byte_limit) {
        line.port.read(answer, first_byte_limit);
    }
    if (answer.empty()) {
        return answer;
    }
    const Clock::Duration guard =
        4 * character_time(line.port.settings()) + kScheduling + trip / 20;
    const Clock::Duration silence = protocol::kAnswerSilence + trip;
    auto last_arrival = line.clock.now();
    // The count is trusted from the moment the announced records are in until
    // another byte comes: from then on only silence ends the answer.
    std::size_t counted_at = 0;
    bool count_trusted = true;
    std::size_t last_read = answer.size();
    while (true) {
        const DownloadProgress& progress = watch.grew(answer);
        watch.show();
        if (count_trusted && counted_at == 0 && progress.announced &&
            progress.records >= static_cast<std::size_t>(std::max(*progress.announced, 0))) {
            counted_at = answer.size();
        } else if (counted_at != 0 && answer.size() > counted_at) {
            count_trusted = false;
        }
        const bool counted = count_trusted && counted_at != 0;
        const auto deadline = last_arrival + (counted ? guard : silence);
        if (!counted && last_read < kTrickle) {
            // An answer that trickles in at the line's rate is let gather for
            // a few milliseconds: one wake-up for a dozen characters rather
            // than one for each. The end is seen as soon, give or take them.
            line.clock.sleep_until(std::min(deadline, line.clock.now() + kGather));
        }
        std::size_t got = 0;
        while (got == 0 && line.clock.now() < deadline) {
            got = line.port.read(answer, deadline);
        }
        if (got == 0) {
            return answer;
        }
        last_read = got;
        last_arrival = line.clock.now();
    }
}

std::string LineTiming::clock_reply(Line& line, std::size_t length) {
    const auto deadline = line.clock.now() + protocol::kClockReplyLimit + round_trip();
    std::string reply;
    while (reply.size() < length && line.clock.now() < deadline) {
        line.port.read(reply, deadline);
    }
    return reply;
}

}  // namespace kdr::engine
