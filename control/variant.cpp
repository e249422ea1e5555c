#include "kdr/variant.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

#include "kdr/error.hpp"

namespace kdr {
namespace {

template <typename... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <typename... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// The run-time's own texts for these errors, which automation callers show.
[[noreturn]] void throw_invalid_use_of_null() {
    throw Error(ErrorKind::InvalidUseOfNull, "Invalid use of Null");
}
[[noreturn]] void throw_type_mismatch() {
    throw Error(ErrorKind::TypeMismatch, "Type mismatch");
}
[[noreturn]] void throw_overflow() {
    throw Error(ErrorKind::Overflow, "Overflow");
}

// Character classes are fixed here rather than taken from the C locale, so a
// host's locale cannot change what a text means.
constexpr bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
constexpr bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}
constexpr char to_lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view trim_blanks(std::string_view text) noexcept {
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return to_lower(x) == to_lower(y); });
}

// The digits of "&H1F" (4 bits a digit) or "&O17" (3 bits). Automation reads
// them as a bit pattern: a 16-bit integer when they fit 16 bits ("&HFFFF" is
// -1), otherwise a 32-bit one ("&HFFFFFFFF" is -1, "&H10000" is 65536).
double parse_bit_pattern(std::string_view digits, unsigned bits_per_digit) {
    if (digits.empty()) {
        throw_type_mismatch();
    }
    constexpr std::uint64_t kMax32 = 0xFFFF'FFFFU;
    std::uint64_t value = 0;
    bool too_big = false;
    for (const char c : digits) {
        const char lower = to_lower(c);
        unsigned digit = 16;
        if (is_digit(c)) {
            digit = static_cast<unsigned>(c - '0');
        } else if (lower >= 'a' && lower <= 'f') {
            digit = static_cast<unsigned>(lower - 'a' + 10);
        }
        if (digit >= (1U << bits_per_digit)) {
            throw_type_mismatch();
        }
        // Stop accumulating once too big, but keep checking the digits: a
        // text that is no number at all is a mismatch, not an overflow.
        if (!too_big) {
            value = (value << bits_per_digit) | digit;
            too_big = value > kMax32;
        }
    }
    if (too_big) {
        throw_overflow();
    }
    if (value <= 0xFFFFU) {
        return static_cast<std::int16_t>(value);
    }
    return static_cast<std::int32_t>(value);
}

// [sign] digits [. digits] [e|E [sign] digits], with at least one mantissa
// digit ("3", "-2.5", ".5", "1.", "1e3").
double parse_decimal(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (negative || text.front() == '+')) {
        text.remove_prefix(1);
    }
    const auto digits_end = [text](std::size_t from) {
        while (from < text.size() && is_digit(text[from])) {
            ++from;
        }
        return from;
    };
    const std::size_t int_end = digits_end(0);
    std::size_t frac_begin = int_end;
    std::size_t frac_end = int_end;
    if (int_end < text.size() && text[int_end] == '.') {
        frac_begin = int_end + 1;
        frac_end = digits_end(frac_begin);
    }
    if (int_end == 0 && frac_end == frac_begin) {
        throw_type_mismatch();
    }

    // The exponent is capped far beyond a double's range; only its order of
    // magnitude matters then.
    constexpr std::int64_t kExponentCap = 100'000;
    std::int64_t exponent = 0;
    std::size_t end = frac_end;
    if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
        ++end;
        const bool exponent_negative = end < text.size() && text[end] == '-';
        if (end < text.size() && (exponent_negative || text[end] == '+')) {
            ++end;
        }
        const std::size_t exponent_begin = end;
        end = digits_end(end);
        if (end == exponent_begin) {
            throw_type_mismatch();
        }
        for (std::size_t k = exponent_begin; k < end; ++k) {
            exponent = std::min(exponent * 10 + (text[k] - '0'), kExponentCap);
        }
        if (exponent_negative) {
            exponent = -exponent;
        }
    }
    if (end != text.size()) {
        throw_type_mismatch();
    }

    double value = 0.0;
    const char* last = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), last, value);
    if (ec == std::errc::result_out_of_range) {
        // from_chars does not say which way the value left the range; the
        // place of the leading non-zero digit does. Too small becomes 0.
        const auto leading =
            std::find_if(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(frac_end),
                         [](char c) { return c >= '1' && c <= '9'; });
        const auto index = static_cast<std::int64_t>(leading - text.begin());
        const std::int64_t place = index < static_cast<std::int64_t>(int_end)
                                       ? static_cast<std::int64_t>(int_end) - 1 - index
                                       : static_cast<std::int64_t>(frac_begin) - 1 - index;
        if (place + exponent > 0) {
            throw_overflow();
        }
        value = 0.0;
    } else if (ec != std::errc() || ptr != last) {
        throw_type_mismatch();
    }
    return negative ? -value : value;
}

// A number in a text, with blanks around it allowed.
double parse_number(std::string_view text) {
    text = trim_blanks(text);
    if (text.size() >= 2 && text.front() == '&') {
        switch (to_lower(text[1])) {
            case 'h':
                return parse_bit_pattern(text.substr(2), 4);
            case 'o':
                return parse_bit_pattern(text.substr(2), 3);
            default:
                throw_type_mismatch();
        }
    }
    return parse_decimal(text);
}

// Halves go to the even neighbour, whatever the floating-point rounding mode.
double round_half_even(double x) noexcept {
    if (std::fabs(x - std::trunc(x)) == 0.5) {
        return 2.0 * std::round(x / 2.0);
    }
    return std::round(x);
}

template <typename Int>
Int round_to(double x) {
    using Limits = std::numeric_limits<Int>;
    if (!std::isfinite(x)) {
        throw_overflow();
    }
    const double rounded = round_half_even(x);
    if (rounded < static_cast<double>(Limits::min()) ||
        rounded > static_cast<double>(Limits::max())) {
        throw_overflow();
    }
    return static_cast<Int>(rounded);
}

// Up to 15 significant digits without trailing zeros, with an exponent below
// 1E-04 and from 1E+15 on ("1E+20", "1.5E-07"): how automation writes a double.
std::string format_double(double value) {
    if (value == 0.0) {
        return "0";  // never "-0"
    }
    return fmt::format("{:.15G}", value);
}

}  // namespace

std::string Variant::to_text() const {
    return std::visit(
        Overloaded{
            [](std::monostate) { return std::string(); },
            [](NullTag) -> std::string { throw_invalid_use_of_null(); },
            [](BoolValue b) { return std::string(b.value != kVariantFalse ? "True" : "False"); },
            [](std::int16_t v) { return fmt::format("{}", v); },
            [](std::int32_t v) { return fmt::format("{}", v); },
            [](double v) { return format_double(v); },
            [](const std::string& text) { return text; },
        },
        value_);
}

double Variant::to_double() const {
    return std::visit(Overloaded{
                          [](std::monostate) { return 0.0; },
                          [](NullTag) -> double { throw_invalid_use_of_null(); },
                          [](BoolValue b) { return b.value != kVariantFalse ? -1.0 : 0.0; },
                          [](std::int16_t v) { return static_cast<double>(v); },
                          [](std::int32_t v) { return static_cast<double>(v); },
                          [](double v) { return v; },
                          [](const std::string& text) { return parse_number(text); },
                      },
                      value_);
}

// Every integer of both types is exact as a double, so one path serves all.
std::int16_t Variant::to_i2() const {
    return round_to<std::int16_t>(to_double());
}

std::int32_t Variant::to_i4() const {
    return round_to<std::int32_t>(to_double());
}

bool Variant::to_bool() const {
    if (const auto* text = std::get_if<std::string>(&value_)) {
        const std::string_view trimmed = trim_blanks(*text);
        if (equals_ignoring_case(trimmed, "True")) {
            return true;
        }
        if (equals_ignoring_case(trimmed, "False")) {
            return false;
        }
        return parse_number(trimmed) != 0.0;
    }
    return to_double() != 0.0;
}

}  // namespace kdr
