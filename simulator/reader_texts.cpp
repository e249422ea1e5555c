// The reader's texts and the small calculations around them.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>

#include "kdr/error.hpp"
#include "kdr/line_settings.hpp"
#include "kdr/protocol.hpp"
#include "kdr/simulator.hpp"

namespace kdr::simulator {

namespace {

struct FaultName {
    FaultKind kind;
    std::string_view name;
    std::string_view default_letters;
};

constexpr std::array<FaultName, 12> kFaultNames{{
    {FaultKind::Silent, "silent", "PDTRE"},
    {FaultKind::Refuse, "refuse", "PDTRE"},
    {FaultKind::Garble, "garble", "PDTRE"},
    {FaultKind::Bursts, "bursts", "D"},
    {FaultKind::LongPause, "pause", "D"},
    {FaultKind::DropLine, "drop", "D"},
    {FaultKind::ShortReply, "short", "R"},
    {FaultKind::Merge, "merge", "D"},
    {FaultKind::Split, "split", "D"},
    {FaultKind::Mute, "mute", "E"},
    {FaultKind::Borrow, "borrow", "R"},
    {FaultKind::Flip, "flip", "D"},
}};

constexpr std::string_view kCommandLetters = "PDTRE";

const FaultName& entry(FaultKind kind) noexcept {
    for (const FaultName& name : kFaultNames) {
        if (name.kind == kind) {
            return name;
        }
    }
    return kFaultNames[0];
}

// The download answer's layout: STX, machine ID and count, then per record
// the clock characters, the lead and text unless empty, "?" and CR.
constexpr std::size_t kAnswerHeader = 1 + 8 + 5;
constexpr std::size_t kStampLength = 6;

std::size_t answer_size(const Record& record) {
    return kStampLength + (record.empty ? 0 : 1 + record.text.size()) + 2;
}

std::string known_faults() {
    std::string names;
    for (const FaultName& name : kFaultNames) {
        names += names.empty() ? "" : ", ";
        names += name.name;
    }
    return names;
}

}  // namespace

std::string_view default_commands(FaultKind kind) noexcept {
    return entry(kind).default_letters;
}

std::string_view to_string(FaultKind kind) noexcept {
    return entry(kind).name;
}

Fault parse_fault(std::string_view text) {
    const std::string_view whole = text;
    Fault fault;
    if (const std::size_t at = text.find('@'); at != std::string_view::npos) {
        const std::string_view number = text.substr(at + 1);
        unsigned nth = 0;
        const auto [end, error] = std::from_chars(number.begin(), number.end(), nth);
        if (number.empty() || error != std::errc{} || end != number.end() || nth == 0) {
            throw Error(ErrorKind::InvalidArgument,
                        fmt::format("fault \"{}\": after @ give which request it hits, 1 for "
                                    "the first",
                                    whole));
        }
        fault.only = nth;
        text = text.substr(0, at);
    }
    const std::size_t colon = text.find(':');
    const std::string_view name = text.substr(0, colon);
    bool known = false;
    for (const FaultName& candidate : kFaultNames) {
        if (candidate.name == name) {
            fault.kind = candidate.kind;
            known = true;
        }
    }
    if (!known) {
        throw Error(ErrorKind::InvalidArgument,
                    fmt::format("unknown fault \"{}\": the faults are {}", name, known_faults()));
    }
    if (colon != std::string_view::npos) {
        const std::string_view letters = text.substr(colon + 1);
        if (letters.empty()) {
            throw Error(ErrorKind::InvalidArgument,
                        fmt::format("fault \"{}\": name the command letters after the colon "
                                    "(some of {})",
                                    text, kCommandLetters));
        }
        for (const char letter : letters) {
            if (kCommandLetters.find(letter) == std::string_view::npos) {
                throw Error(ErrorKind::InvalidArgument,
                            fmt::format("fault \"{}\": '{}' is no command letter; use some of {}",
                                        text, letter, kCommandLetters));
            }
            if (fault.commands.find(letter) == std::string::npos) {
                fault.commands += letter;
            }
        }
    }
    return fault;
}

std::string to_string(const Fault& fault) {
    std::string text(to_string(fault.kind));
    if (!fault.commands.empty()) {
        text += ':';
        text += fault.commands;
    }
    if (fault.only != 0) {
        text += fmt::format("@{}", fault.only);
    }
    return text;
}

std::string_view to_string(Verdict verdict) noexcept {
    switch (verdict) {
        case Verdict::Accepted:
            return "accepted";
        case Verdict::WrongPassword:
            return "wrong password";
        case Verdict::BadChecksum:
            return "bad checksum";
        case Verdict::BadRequest:
            return "bad request";
        case Verdict::Refused:
            return "refused";
        case Verdict::Ignored:
            return "ignored";
    }
    return "?";
}

std::string download_answer(std::string_view machine_id, const std::vector<Record>& records) {
    std::string answer;
    answer.reserve(14 + records.size() * 32);
    answer += protocol::STX;
    // Eight bytes, as the reader sends them: fmt's width and precision count
    // UTF-8 characters, not bytes.
    std::string id(machine_id.substr(0, kMachineIdLength));
    id.resize(kMachineIdLength, ' ');
    answer += id;
    answer += fmt::format("{:05}", records.size() % 100000);
    for (const Record& record : records) {
        answer += protocol::encode_clock(record.stamp);
        if (!record.empty) {
            answer += record.lead;
            answer += record.text;
        }
        answer += '?';
        answer += protocol::CR;
    }
    return answer;
}

std::string clock_reply(const LocalDateTime& clock) {
    return protocol::build_frame(protocol::encode_clock(clock));
}

std::string garble(std::string text, unsigned nth) {
    constexpr unsigned char kFlip = 0x21;
    constexpr unsigned kEvery = 7;
    for (std::size_t i = 1 + (nth == 0 ? 0 : (nth - 1) % kEvery); i < text.size(); i += kEvery) {
        text[i] = static_cast<char>(static_cast<unsigned char>(text[i]) ^ kFlip);
    }
    return text;
}

std::string flip_one(std::string text, unsigned nth) {
    if (text.size() < 2) {
        return text;
    }
    // A prime step: the places differ for every nth below the text's length.
    constexpr std::uint64_t kStep = 104'729;
    const std::size_t place = 1 + static_cast<std::size_t>((kStep * nth) % (text.size() - 1));
    text[place] = static_cast<char>(static_cast<unsigned char>(text[place]) ^ 1U);
    return text;
}

std::string merge_records(std::string answer, const std::vector<Record>& records) {
    const std::size_t n = records.size();
    if (n < 2) {
        return answer;
    }
    // With two records n/2 is the last one, which has no next to merge into.
    const std::size_t index = std::min(n / 2, n - 2);
    std::size_t end = kAnswerHeader;
    for (std::size_t i = 0; i <= index; ++i) {
        end += answer_size(records[i]);
    }
    // `end - 1` is the CR; an answer not made for these records stays whole.
    if (end <= answer.size()) {
        answer[end - 1] = 'M';
    }
    return answer;
}

std::string split_record(std::string answer, const std::vector<Record>& records) {
    std::size_t start = kAnswerHeader;
    for (const Record& record : records) {
        const std::size_t mark = record.empty ? std::string::npos : record.text.find('?');
        if (mark != std::string::npos && mark + 1 < record.text.size()) {
            const std::size_t at = start + kStampLength + 1 + mark + 1;
            if (at < answer.size()) {
                answer[at] = protocol::CR;
            }
            return answer;
        }
        start += answer_size(record);
    }
    return answer;
}

LocalDateTime add_seconds(const LocalDateTime& when, std::int64_t seconds) {
    using namespace std::chrono;
    const sys_days day{year{when.year} / month{static_cast<unsigned>(when.month)} /
                       std::chrono::day{static_cast<unsigned>(when.day)}};
    const sys_seconds moment = day + hours{when.hour} + minutes{when.minute} +
                               std::chrono::seconds{when.second} + std::chrono::seconds{seconds};
    const sys_days new_day = floor<days>(moment);
    const year_month_day date{new_day};
    const hh_mm_ss time{moment - new_day};
    return LocalDateTime{static_cast<int>(date.year()),
                         static_cast<int>(static_cast<unsigned>(date.month())),
                         static_cast<int>(static_cast<unsigned>(date.day())),
                         static_cast<int>(time.hours().count()),
                         static_cast<int>(time.minutes().count()),
                         static_cast<int>(time.seconds().count())};
}

std::vector<Record> sample_records(std::size_t count, const LocalDateTime& newest) {
    constexpr std::int64_t kSpacingSeconds = std::int64_t{97} * 60;
    constexpr std::array<char, 3> kLeads{'A', 'B', 'C'};
    std::vector<Record> records;
    records.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto age = static_cast<std::int64_t>(count - 1 - i) * kSpacingSeconds;
        const std::size_t n = i + 1;
        std::string text;
        switch (i % 4) {
            case 0:
                text = fmt::format("ITEM {:05} QTY {}", n, (n * 7) % 20 + 1);
                break;
            case 1:
                text = fmt::format("40063813{:05}", (n * 389) % 100000);
                break;
            case 2:
                text = fmt::format("SHELF A-{:02}? CHECK", n % 100);
                break;
            default:
                text = fmt::format("NOTE {}: count again", n);
                break;
        }
        records.push_back(Record{add_seconds(newest, -age), std::move(text), kLeads[i % 3]});
    }
    return records;
}

Clock::Duration character_time(std::string_view line_settings) {
    const LineSettings settings = parse_line_settings(line_settings);
    // Bits in tenths: start bit, data bits, parity bit, stop bits (1.5 is 15).
    int tenths = 10 + settings.data_bits * 10 + (settings.parity == 'n' ? 0 : 10);
    switch (settings.stop_bits) {
        case StopBits::One:
            tenths += 10;
            break;
        case StopBits::OnePointFive:
            tenths += 15;
            break;
        case StopBits::Two:
            tenths += 20;
            break;
    }
    constexpr std::int64_t kTenthNanosPerSecond = 100'000'000;
    return Clock::Duration{kTenthNanosPerSecond * tenths / settings.baud};
}

}  // namespace kdr::simulator
