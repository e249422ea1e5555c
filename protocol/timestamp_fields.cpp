#include "protocol/timestamp_fields.hpp"

#include <charconv>
#include <limits>
#include <system_error>
#include <utility>

#include "kdr/error.hpp"

namespace kdr::protocol {
namespace {

constexpr std::string_view kInvalidCall = "Invalid procedure call or argument";

[[nodiscard]] bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

[[nodiscard]] std::size_t count_digits(std::string_view text, std::size_t from) noexcept {
    std::size_t end = from;
    while (end < text.size() && is_digit(text[end])) {
        ++end;
    }
    return end - from;
}

// time_str + separator + field, built aside so that field may view time_str.
void append_field(std::string& time_str, char separator, std::string_view field) {
    std::string completed;
    completed.reserve(time_str.size() + 1 + field.size());
    completed.append(time_str).push_back(separator);
    completed.append(field);
    time_str = std::move(completed);
}

// Applies a completed field to the caller's strings: the rest of the data is
// skipped first (which may fail and then leaves both strings as they were),
// then the time stamp is replaced.
void commit(std::optional<std::size_t> skip, std::string& completed, std::string& time_str,
            std::string& receive_str) {
    if (!skip) {
        time_str = std::move(completed);
        return;
    }
    std::string rest(skip_and_trim(receive_str, *skip));
    receive_str = std::move(rest);
    time_str = kDefaultTimestamp;
}

}  // namespace

double leading_number(std::string_view text) noexcept {
    const std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        return 0.0;
    }
    text.remove_prefix(start);
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    const std::size_t whole_digits = count_digits(text, 0);
    std::size_t length = whole_digits;
    if (length < text.size() && text[length] == '.') {
        length += 1 + count_digits(text, length + 1);
    }
    if (length == 0 || (whole_digits == 0 && length == 1)) {
        return 0.0;  // no digit before or after the point: no number
    }
    double value = 0.0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + length, value, std::chars_format::fixed);
    if (error == std::errc::result_out_of_range) {
        // Too many digits for a double: huge when the whole part is not zero,
        // otherwise a fraction too small to tell from zero.
        const std::string_view whole = text.substr(0, whole_digits);
        value = whole.find_first_not_of('0') == std::string_view::npos
                    ? 0.0
                    : std::numeric_limits<double>::infinity();
    }
    static_cast<void>(end);
    return negative ? -value : value;
}

std::optional<std::size_t> complete_date_field(std::int32_t i, std::string_view temp_time_str,
                                               std::string& time_str, int current_year) {
    if (i == 1) {
        if (time_str.empty()) {
            throw Error(ErrorKind::InvalidArgument, std::string(kInvalidCall));
        }
        // The caller put "/" before the year's digits; the year is 2000-based.
        time_str.replace(0, 1, "20");
        if (leading_number(time_str) > static_cast<double>(current_year)) {
            return 5;
        }
    }
    if (i == 2 && leading_number(temp_time_str) > 12.0) {
        return 4;
    }
    if (i == 3 && leading_number(temp_time_str) > 31.0) {
        return 3;
    }
    return std::nullopt;
}

std::optional<std::size_t> complete_time_field(std::int32_t i, std::string_view temp_time_str,
                                               std::string& time_str) {
    // The reader counts hours up to 24 and minutes and seconds up to 60.
    if (i == 1) {
        const double hour = leading_number(temp_time_str);
        append_field(time_str, ' ', temp_time_str);
        if (hour > 24.0) {
            return 2;
        }
    }
    if (i == 2) {
        const double minute = leading_number(temp_time_str);
        append_field(time_str, ':', temp_time_str);
        if (minute > 60.0) {
            return 1;
        }
    }
    if (i == 3) {
        const double second = leading_number(temp_time_str);
        append_field(time_str, ':', temp_time_str);
        if (second > 60.0) {
            return 0;
        }
    }
    return std::nullopt;
}

std::string_view skip_and_trim(std::string_view rest, std::size_t n) {
    if (rest.size() < n) {
        throw Error(ErrorKind::InvalidArgument, std::string(kInvalidCall));
    }
    rest.remove_prefix(n);
    const std::size_t first = rest.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return rest.substr(rest.size());
    }
    const std::size_t last = rest.find_last_not_of(' ');
    return rest.substr(first, last - first + 1);
}

void set_default_ymd_time(std::int32_t i, const std::string& temp_time_str, std::string& time_str,
                          std::string& receive_str, int current_year) {
    std::string completed = time_str;
    const auto skip = complete_date_field(i, temp_time_str, completed, current_year);
    commit(skip, completed, time_str, receive_str);
}

void set_default_hms_time(std::int32_t i, const std::string& temp_time_str, std::string& time_str,
                          std::string& receive_str) {
    std::string completed = time_str;
    const auto skip = complete_time_field(i, temp_time_str, completed);
    commit(skip, completed, time_str, receive_str);
}

}  // namespace kdr::protocol
