// The simulated reader: frames in, scheduled replies out.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "kdr/error.hpp"
#include "kdr/protocol.hpp"
#include "kdr/simulator.hpp"

namespace kdr::simulator {

namespace {

// Longer than any request a host builds; a frame that grows past it is noise.
constexpr std::size_t kMaxFrame = 4096;
constexpr std::size_t kClockLength = 6;

bool valid_date_time(const LocalDateTime& when) {
    using namespace std::chrono;
    if (when.year < 2000 || when.year > 2099 || when.month < 1 || when.month > 12 || when.day < 1 ||
        when.hour < 0 || when.hour > 23 || when.minute < 0 || when.minute > 59 || when.second < 0 ||
        when.second > 59) {
        return false;
    }
    const year_month_day date{year{when.year}, month{static_cast<unsigned>(when.month)},
                              day{static_cast<unsigned>(when.day)}};
    return date.ok();
}

std::string describe(const LocalDateTime& when) {
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", when.year, when.month, when.day,
                       when.hour, when.minute, when.second);
}

}  // namespace

void validate(const ReaderConfig& config) {
    const auto invalid = [](const std::string& what) {
        throw Error(ErrorKind::InvalidArgument, what);
    };
    if (!valid_date_time(config.clock)) {
        invalid(fmt::format("reader clock {} is no date and time between 2000 and 2099",
                            describe(config.clock)));
    }
    if (config.machine_id.size() > kMachineIdLength) {
        // Not the ID itself: its bytes may be no UTF-8 text to show.
        invalid(fmt::format("the machine ID is {} characters long, longer than {}",
                            config.machine_id.size(), kMachineIdLength));
    }
    if (config.records.size() > kMaxRecords) {
        invalid(fmt::format("{} records: a reader holds at most {}", config.records.size(),
                            kMaxRecords));
    }
    for (std::size_t i = 0; i < config.records.size(); ++i) {
        const Record& record = config.records[i];
        if (!record.empty && record.text.find("?\r") != std::string::npos) {
            invalid(
                fmt::format("record {}: its text holds \"?\" followed by CR, which ends a "
                            "record",
                            i + 1));
        }
        if (!valid_date_time(record.stamp)) {
            invalid(fmt::format("record {}: {} is no date and time between 2000 and 2099", i + 1,
                                describe(record.stamp)));
        }
    }
    if (config.burst_size == 0) {
        invalid("the burst size must be at least one character");
    }
    static_cast<void>(character_time(config.line_settings));
}

Clock::Instant Emission::end() const {
    if (bytes.empty()) {
        return start;
    }
    return start + char_time * static_cast<std::int64_t>(bytes.size() - 1);
}

// A reply before the line's faults shape it.
struct ReaderModel::Reply {
    enum class Kind { Frame, ClockReply, Download };
    Kind kind = Kind::Frame;
    std::string bytes;
};

ReaderModel::ReaderModel(ReaderConfig config, Clock::Instant now)
    : config_(std::move(config)), clock_set_at_(now), line_free_at_(now) {
    validate(config_);
    padded_password_ = config_.password;
    static_cast<void>(protocol::pad_password(padded_password_));
    records_ = config_.records;
    clock_base_ = config_.clock;
    char_time_ = config_.pacing == Pacing::Fast ? Clock::Duration::zero()
                                                : character_time(config_.line_settings);
}

LocalDateTime ReaderModel::clock_at(Clock::Instant now) const {
    const auto elapsed = std::chrono::floor<std::chrono::seconds>(now - clock_set_at_);
    return add_seconds(clock_base_, elapsed.count());
}

bool ReaderModel::hits(FaultKind kind, char letter) const {
    return std::any_of(config_.faults.begin(), config_.faults.end(), [&](const Fault& fault) {
        const std::string_view letters =
            fault.commands.empty() ? default_commands(fault.kind) : fault.commands;
        if (fault.kind != kind || letters.find(letter) == std::string_view::npos) {
            return false;
        }
        if (fault.only == 0) {
            return true;
        }
        unsigned seen = 0;
        for (const char each : letters) {
            seen += seen_.at(static_cast<unsigned char>(each));
        }
        return seen == fault.only;
    });
}

std::vector<Emission> ReaderModel::receive(std::string_view bytes, Clock::Instant now) {
    std::vector<Emission> out;
    for (const char byte : bytes) {
        if (byte == protocol::STX) {
            frame_.assign(1, byte);
            in_frame_ = true;
            continue;
        }
        if (!in_frame_) {
            continue;
        }
        frame_ += byte;
        if (protocol::ends_frame(frame_)) {
            in_frame_ = false;
            handle_frame(frame_, now, out);
            frame_.clear();
        } else if (frame_.size() > kMaxFrame) {
            in_frame_ = false;
            frame_.clear();
        }
    }
    return out;
}

void ReaderModel::line_dropped(Clock::Instant now) {
    frame_.clear();
    in_frame_ = false;
    line_free_at_ = now;
}

void ReaderModel::handle_frame(const std::string& frame, Clock::Instant now,
                               std::vector<Emission>& out) {
    // receive() hands over whole frames only.
    const protocol::Request parsed = protocol::parse_request(frame, padded_password_).value();
    Request request{parsed.command, Verdict::Accepted, frame, now};
    ++seen_.at(static_cast<unsigned char>(request.letter));
    const bool is_connect = parsed.command == protocol::kConnect;
    const bool password_ok = parsed.password == padded_password_;
    const std::string_view data = parsed.data;

    if (hits(FaultKind::Silent, request.letter)) {
        request.verdict = Verdict::Ignored;
        requests_.push_back(std::move(request));
        return;
    }

    Reply reply{Reply::Kind::Frame, protocol::nak_reply()};
    if (!parsed.checksum_ok) {
        request.verdict = Verdict::BadChecksum;
    } else if (!password_ok) {
        request.verdict = Verdict::WrongPassword;
    } else if (hits(FaultKind::Refuse, request.letter)) {
        // The refusing reader turns the request down without acting on it.
        request.verdict = Verdict::Refused;
    } else if (is_connect) {
        reply.bytes = protocol::ack_reply();
    } else {
        switch (request.letter) {
            case protocol::kDownload:
                if (data.empty()) {
                    reply =
                        Reply{Reply::Kind::Download, download_answer(config_.machine_id, records_)};
                } else {
                    request.verdict = Verdict::BadRequest;
                }
                break;
            case protocol::kSetClock: {
                const bool complete = data.size() == kClockLength;
                const LocalDateTime when =
                    complete ? protocol::decode_clock(data) : LocalDateTime{};
                if (complete && valid_date_time(when)) {
                    clock_base_ = when;
                    clock_set_at_ = now;
                    reply.bytes = protocol::ack_reply();
                } else {
                    request.verdict = Verdict::BadRequest;
                }
                break;
            }
            case protocol::kReadClock:
                // The clock characters a host sends along are not the
                // reader's business: it answers with its own clock.
                if (data.size() == kClockLength) {
                    LocalDateTime shown = clock_at(now);
                    if (hits(FaultKind::Borrow, request.letter)) {
                        // The same moment, written from the next minute.
                        const int second = shown.second;
                        shown = add_seconds(shown, 60);
                        shown.second = second - 60;
                    }
                    reply = Reply{Reply::Kind::ClockReply, clock_reply(shown)};
                } else {
                    request.verdict = Verdict::BadRequest;
                }
                break;
            case protocol::kErase:
                if (data.empty()) {
                    records_.clear();
                    reply.bytes = protocol::ack_reply();
                } else {
                    request.verdict = Verdict::BadRequest;
                }
                break;
            default:
                request.verdict = Verdict::BadRequest;
                break;
        }
    }
    const char letter = request.letter;
    requests_.push_back(std::move(request));
    emit(std::move(reply), letter, now, out);
}

void ReaderModel::emit(Reply reply, char letter, Clock::Instant now, std::vector<Emission>& out) {
    // The request has been carried out already; the reader just does not answer.
    if (hits(FaultKind::Mute, letter)) {
        return;
    }
    // The answer was made from records_ just now, so they locate its records.
    if (reply.kind == Reply::Kind::Download && hits(FaultKind::Merge, letter)) {
        reply.bytes = merge_records(std::move(reply.bytes), records_);
    }
    if (reply.kind == Reply::Kind::Download && hits(FaultKind::Split, letter)) {
        reply.bytes = split_record(std::move(reply.bytes), records_);
    }
    if (hits(FaultKind::Garble, letter)) {
        reply.bytes = garble(std::move(reply.bytes), seen_.at(static_cast<unsigned char>(letter)));
    }
    if (hits(FaultKind::Flip, letter)) {
        reply.bytes =
            flip_one(std::move(reply.bytes), seen_.at(static_cast<unsigned char>(letter)));
    }
    if (hits(FaultKind::ShortReply, letter)) {
        const std::size_t keep = reply.kind == Reply::Kind::Download     ? 13
                                 : reply.kind == Reply::Kind::ClockReply ? 9
                                                                         : 1;
        reply.bytes.resize(std::min(keep, reply.bytes.size()));
    }

    // The pieces the reply goes out in, each with the pause before it.
    struct Piece {
        std::size_t length;
        Clock::Duration pause_before;
    };
    std::vector<Piece> pieces;
    const std::size_t size = reply.bytes.size();
    const bool drop = hits(FaultKind::DropLine, letter);
    const std::size_t sent = drop ? size / 2 : size;
    if (hits(FaultKind::LongPause, letter) && sent >= 2) {
        pieces.push_back({sent / 2, {}});
        pieces.push_back({sent - sent / 2, config_.long_pause});
    } else {
        pieces.push_back({sent, {}});
    }
    if (hits(FaultKind::Bursts, letter)) {
        std::vector<Piece> bursts;
        for (const Piece& piece : pieces) {
            for (std::size_t offset = 0; offset < piece.length; offset += config_.burst_size) {
                bursts.push_back({std::min(config_.burst_size, piece.length - offset),
                                  offset == 0 ? piece.pause_before : config_.burst_pause});
            }
        }
        pieces = std::move(bursts);
    }

    const bool abandon = line_free_at_ > now;
    const std::size_t first = out.size();
    Clock::Instant at = now + config_.response_delay;
    std::size_t offset = 0;
    for (const Piece& piece : pieces) {
        if (piece.length == 0) {
            continue;
        }
        at += piece.pause_before;
        Emission emission{at, reply.bytes.substr(offset, piece.length), char_time_, false,
                          abandon && out.size() == first};
        offset += piece.length;
        at = emission.end() + char_time_;
        out.push_back(std::move(emission));
    }
    if (drop) {
        out.push_back(
            Emission{at + config_.drop_delay, {}, {}, true, abandon && out.size() == first});
        at += config_.drop_delay;
    }
    line_free_at_ = at;
}

}  // namespace kdr::simulator
