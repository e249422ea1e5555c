#include <algorithm>
#include <array>
#include <cstdint>

#include "kdr/download.hpp"
#include "protocol/timestamp_fields.hpp"

namespace kdr {
namespace {

// Room for the longest date line: "20", five fields of three characters ("-16"
// or "239") and a year of three, five separators.
constexpr std::size_t kLongestDateLine = 25;

// A clock field (-16 to 239) in decimal with at least two digits; a negative
// one keeps its sign in front ("-05").
[[nodiscard]] char* write_field(char* out, int value) noexcept {
    if (value < 0) {
        *out++ = '-';
        value = -value;
    }
    if (value >= 100) {
        *out++ = static_cast<char>('0' + value / 100);
    }
    *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

// Whether a stamp the reader's limits accept is a calendar date and time.
void classify(Stamp& stamp) {
    const auto field = [&](std::size_t i) { return stamp.value(i); };
    const std::chrono::year_month_day date{std::chrono::year{2000 + field(0)},
                                           std::chrono::month{static_cast<unsigned>(field(1))},
                                           std::chrono::day{static_cast<unsigned>(field(2))}};
    std::uint8_t bad = 0;
    if (field(0) < 0 || field(0) > 99) {
        bad = 1;
    } else if (field(1) < 1 || field(1) > 12) {
        bad = 2;
    } else if (field(2) < 1 || !date.ok()) {
        bad = 3;
    } else if (field(3) < 0 || field(3) > 23) {
        bad = 4;
    } else if (field(4) < 0 || field(4) > 59) {
        bad = 5;
    } else if (field(5) < 0 || field(5) > 59) {
        bad = 6;
    }
    stamp.bad_field = bad;
    stamp.state = bad == 0 ? StampState::Valid : StampState::NotADate;
}

}  // namespace

Stamp Stamp::from_codes(std::string_view six) {
    Stamp stamp;
    std::transform(
        six.begin(),
        six.begin() + static_cast<std::ptrdiff_t>(std::min(six.size(), stamp.codes.size())),
        stamp.codes.begin(), [](char c) { return static_cast<std::uint8_t>(c); });
    // The reader's limits: month 12, day 31, hour 24, minute and second 60.
    // The year is taken as it comes, and no field has a lower bound.
    constexpr std::array<int, 6> kLimits{999, 12, 31, 24, 60, 60};
    for (std::size_t i = 1; i < stamp.codes.size(); ++i) {
        if (stamp.value(i) > kLimits.at(i)) {
            stamp.state = StampState::OutOfRange;
            stamp.bad_field = static_cast<std::uint8_t>(i + 1);
            return stamp;
        }
    }
    classify(stamp);
    return stamp;
}

std::string_view Stamp::chars() const noexcept {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): bytes as bytes
    return {reinterpret_cast<const char*>(codes.data()), codes.size()};
}

void Stamp::append_line(std::string& out) const {
    if (state == StampState::OutOfRange) {
        out += protocol::kDefaultTimestamp;
        return;
    }
    std::array<char, kLongestDateLine> line{};
    char* end = line.data();
    *end++ = '2';
    *end++ = '0';
    constexpr std::array<char, 6> kSeparators{'\0', '/', '/', ' ', ':', ':'};
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (i > 0) {
            *end++ = kSeparators.at(i);
        }
        end = write_field(end, value(i));
    }
    out.append(line.data(), end);
}

std::string Stamp::line() const {
    std::string text;
    append_line(text);
    return text;
}

std::optional<std::chrono::local_seconds> Stamp::time() const {
    if (state != StampState::Valid) {
        return std::nullopt;
    }
    using namespace std::chrono;
    const year_month_day date{year{2000 + value(0)}, month{static_cast<unsigned>(value(1))},
                              day{static_cast<unsigned>(value(2))}};
    return local_days{date} + hours{value(3)} + minutes{value(4)} + seconds{value(5)};
}

bool separator_in_stamp(const DownloadedRecord& record) noexcept {
    const std::string_view stamp = record.stamp.chars();
    return stamp.find("?\r") != std::string_view::npos ||
           (stamp.back() == '?' && record.has_lead && record.lead == '\r');
}

bool Download::complete() const noexcept {
    return has_header && nothing_after_records(records.size(), announced, tail.size()) &&
           announced >= 0 && records.size() == static_cast<std::size_t>(announced) &&
           std::none_of(records.begin(), records.end(), separator_in_stamp);
}

}  // namespace kdr
