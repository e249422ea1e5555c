#include <algorithm>
#include <string>

#include "engine/waits.hpp"
#include "kdr/protocol.hpp"
#include "kdr/timing.hpp"

namespace kdr::engine {

namespace {
// A read that takes what waits and never waits itself: the clock's waits set
// this policy's windows.
constexpr Clock::Instant kNow = Clock::Instant::min();
}  // namespace

void FixedTiming::settle(Line& line, Clock::Duration limit) {
    await_quiet(line, protocol::kAnswerSilence, limit);
}

void FixedTiming::before_request(Line& line, Request which) {
    switch (which) {
        case Request::Connect:
            line.port.discard_input();
            break;
        case Request::Download: {
            std::string left_over;
            line.port.read(left_over, kNow);
            break;
        }
        case Request::ReadClock:
            busy_wait(line.clock, line.clock.now(), protocol::kReadBackPause);
            break;
        case Request::SetClock:
        case Request::Erase:
            // What waits stays: the reply window reads it with the reply.
            break;
    }
}

std::string FixedTiming::reply(Line& line, Reply which, const StepReport& step) {
    std::string reply;
    switch (which) {
        case Reply::Password: {
            // Five reads 0.05 s apart: the reply holds what the reader sent
            // within about 0.2 s of the request. Characters that come later
            // wait in the buffer until the next discard.
            constexpr int kReads = 5;
            constexpr Clock::Duration kApart = 50ms;
            static_assert(kReads * kApart == protocol::kReplyWindow);
            for (int read = 0; read < kReads; ++read) {
                line.port.read(reply, kNow);
                busy_wait(line.clock, line.clock.now(), kApart);
            }
            break;
        }
        case Reply::SetClock:
            yielding_wait(line.clock, line.host, line.clock.now(), 300ms);
            line.port.read(reply, kNow);
            break;
        case Reply::Erase: {
            constexpr int kLastStep = 100;
            for (int at = 0; at <= kLastStep; ++at) {
                if (step) {
                    step(at);
                }
                yielding_wait(line.clock, line.host, line.clock.now(), 3ms);
                // A read on a line that hung up can return nothing and no
                // error (so does a serial driver under Wine, and some USB
                // adapters once unplugged): asking the port's state fails
                // there.
                static_cast<void>(line.port.available());
                line.port.read(reply, kNow);
            }
            break;
        }
    }
    return reply;
}

std::string FixedTiming::answer(Line& line, AnswerWatch& watch) {
    busy_wait(line.clock, line.clock.now(), 100ms);
    watch.receiving();
    // The answer is complete when a read has emptied the buffer and nothing
    // more has come by the end of the following 0.3 s.
    std::string answer;
    while (line.port.available() != 0) {
        line.port.read(answer, kNow);
        static_cast<void>(watch.grew(answer));
        if (line.port.available() == 0) {
            yielding_wait(line.clock, line.host, line.clock.now(), protocol::kAnswerSilence);
        }
        watch.show();
    }
    return answer;
}

std::string FixedTiming::clock_reply(Line& line, std::size_t length) {
    const auto start = line.clock.now();
    constexpr auto kPollInterval = 1ms;
    constexpr Clock::Duration kLimit = protocol::kClockReplyLimit;
    while (line.port.available() < length) {
        const auto now = line.clock.now();
        if (now - start > kLimit) {
            return {};
        }
        line.clock.sleep_until(std::min(now + kPollInterval, start + kLimit + 1ns));
    }
    std::string reply;
    line.port.read(reply, kNow);
    return reply;
}

}  // namespace kdr::engine
