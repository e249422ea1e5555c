// The variant's conversions of any text, and of any number to text and back.
//
// Input: the text to convert; its first eight bytes also make a double, and
// its first four a 32-bit integer.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "kdr/error.hpp"
#include "kdr/variant.hpp"

namespace {

using kdr::fuzz::check;

// A conversion either gives a value or throws one of the conversion errors.
template <typename F>
auto attempt(F&& convert) -> std::optional<decltype(convert())> {
    try {
        return convert();
    } catch (const kdr::Error& error) {
        check(error.kind() == kdr::ErrorKind::TypeMismatch ||
                  error.kind() == kdr::ErrorKind::Overflow,
              "conversion errors are TypeMismatch or Overflow");
        return std::nullopt;
    }
}

void check_text(const std::string& text) {
    const kdr::Variant value(text);
    check(value.to_text() == text, "text stays text");
    const auto number = attempt([&] { return value.to_double(); });
    const auto i2 = attempt([&] { return value.to_i2(); });
    const auto i4 = attempt([&] { return value.to_i4(); });
    const auto truth = attempt([&] { return value.to_bool(); });
    if (number) {
        check(std::isfinite(*number), "numbers from text are finite");
        if (*number != 0.0) {
            check(truth == std::optional<bool>(true), "non-zero numbers are true");
        }
    } else {
        check(!i2 && !i4, "no integer from a text that is no number");
    }
    if (i2) {
        check(i4 && *i4 == *i2, "16- and 32-bit conversions agree");
    }
    if (i4) {
        check(number && std::fabs(*number - *i4) <= 0.5, "integers round to the nearest");
        const bool fits16 = *i4 >= std::numeric_limits<std::int16_t>::min() &&
                            *i4 <= std::numeric_limits<std::int16_t>::max();
        check(fits16 == i2.has_value(), "16-bit conversion fails only by overflow");
    }
}

void check_double(double d) {
    // Fifteen significant digits round the largest doubles up past the
    // largest one: such a text reads back as an overflow, as automation's does.
    constexpr double kLargestWritable = 1.797693134862315e308;
    if (!std::isfinite(d) || std::fabs(d) > kLargestWritable) {
        return;
    }
    const std::string text = kdr::Variant(d).to_text();
    const auto back = attempt([&] { return kdr::Variant(text).to_double(); });
    check(back.has_value(), "a written double reads back");
    // Off by at most the fifteenth digit's rounding, and one step of the
    // double itself where that is coarser (subnormals).
    const double ulp = std::fabs(std::nextafter(d, 0.0) - d);
    check(std::fabs(*back - d) <= 5e-15 * std::fabs(d) + ulp, "double to text and back");
}

void check_integer(std::int32_t n) {
    check(kdr::Variant(kdr::Variant(n).to_text()).to_i4() == n, "i4 to text and back");
    const auto small = static_cast<std::int16_t>(n);
    check(kdr::Variant(kdr::Variant(small).to_text()).to_i2() == small, "i2 to text and back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_text(std::string(reinterpret_cast<const char*>(data), size));
    if (size >= sizeof(double)) {
        double d = 0.0;
        std::memcpy(&d, data, sizeof d);
        check_double(d);
    }
    if (size >= sizeof(std::int32_t)) {
        std::int32_t n = 0;
        std::memcpy(&n, data, sizeof n);
        check_integer(n);
    }
    return 0;
}
