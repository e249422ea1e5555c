#include <array>

#include "kdr/download.hpp"
#include "operations/timestamp_fields.hpp"

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

}  // namespace

void Stamp::append_line(std::string& out) const {
    if (state == StampState::OutOfRange) {
        out += operations::kDefaultTimestamp;
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

}  // namespace kdr
