#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "kdr/engine.hpp"
#include "kdr/protocol.hpp"

namespace kdr::engine {

namespace {

// A clock reading as a point in local time; nullopt for a date that does not
// exist. The time of day is checked for its range before.
[[nodiscard]] std::optional<std::chrono::local_seconds> moment(const LocalDateTime& when) {
    using namespace std::chrono;
    const year_month_day date{year{when.year}, month{static_cast<unsigned>(when.month)},
                              day{static_cast<unsigned>(when.day)}};
    if (when.month < 1 || when.day < 1 || !date.ok()) {
        return std::nullopt;
    }
    return local_days{date} + hours{when.hour} + minutes{when.minute} + seconds{when.second};
}

[[nodiscard]] std::string describe(const LocalDateTime& when) {
    return fmt::format("{:04}/{:02}/{:02} {:02}:{:02}:{:02}", when.year, when.month, when.day,
                       when.hour, when.minute, when.second);
}

[[nodiscard]] Failure failure(ErrorKind kind, std::string description) {
    return {kind, std::move(description), std::nullopt};
}

}  // namespace

ClockSync Engine::sync_clock(std::string_view padded_password) {
    using namespace std::chrono_literals;
    ClockSync sync;
    // The host clock is read once for all six characters: fields read one by
    // one could mix two moments (23:59:59 and then the next day's date).
    sync.sent = host_.Now();
    const auto sent_at = clock_.now();
    const std::string clock_chars = protocol::encode_clock(sync.sent);
    const auto request = [&](char letter) {
        return protocol::build_frame(protocol::command_body(padded_password, letter, clock_chars));
    };

    hold_.acquire();
    Line on = line();
    timing_.before_request(on, Request::SetClock);
    port_.write(request(protocol::kSetClock));
    const std::string reply = timing_.reply(on, Reply::SetClock, {});
    switch (protocol::test_reply(reply)) {
        case protocol::ReplyVerdict::NoAnswer:
            sync.failure = failure(
                ErrorKind::NoAnswer,
                fmt::format("The reader did not acknowledge the new time on {}.", port_.name()));
            return sync;
        case protocol::ReplyVerdict::Refused:
            hold_.release();
            sync.failure = failure(ErrorKind::Refused, "The reader refused the new time.");
            return sync;
        case protocol::ReplyVerdict::Accepted:
            break;
    }

    // The policy gives the reader the pause it needs before it reads its new
    // clock back.
    timing_.before_request(on, Request::ReadClock);
    port_.write(request(protocol::kReadClock));
    constexpr std::size_t kClockReplyLength = 10;
    const std::string clock_reply = timing_.clock_reply(on, kClockReplyLength);
    if (clock_reply.size() < kClockReplyLength) {
        hold_.release();
        sync.failure =
            failure(ErrorKind::NoAnswer,
                    "The reader acknowledged the new time but did not send its clock back.");
        return sync;
    }
    // Characters 2 to 7 of the reply carry the reader's clock.
    const auto elapsed = clock_.now() - sent_at;
    const LocalDateTime reader = protocol::decode_clock(std::string_view(clock_reply).substr(1, 6));
    sync.read_back = reader;
    hold_.release();
    // Each field within its range before the moment is compared: fields that
    // only carry into the time sent (16:29:-15 for 16:28:45, 24:00:00 for
    // midnight) are no clock a reader keeps.
    const bool time_in_range = reader.hour >= 0 && reader.hour <= 23 && reader.minute >= 0 &&
                               reader.minute <= 59 && reader.second >= 0 && reader.second <= 59;
    if (!time_in_range) {
        sync.failure =
            failure(ErrorKind::BadAnswer,
                    fmt::format("The reader's clock reads an impossible time ({}:{}:{}).",
                                reader.hour, reader.minute, reader.second));
        return sync;
    }
    // The reader must show the time it was sent, moved on by no more than the
    // time since (and 2 s for the seconds both clocks drop): compared as whole
    // moments, so that a sync across midnight holds, and against the time
    // sent, not a later reading of the host's clock.
    const auto sent = moment(sync.sent);
    const auto shown = moment(reader);
    if (!sent || !shown || *shown < *sent || *shown - *sent > elapsed + 2s) {
        sync.failure = failure(
            ErrorKind::ClockMismatch,
            fmt::format("The reader's clock reads {} after being set to {}: it did not take the "
                        "new time.",
                        describe(reader), describe(sync.sent)));
        return sync;
    }
    sync.synced = true;
    return sync;
}

}  // namespace kdr::engine
