// A small automation variant: the values that cross the controller's
// interface, with the conversion rules automation callers expect.
//
// It carries exactly what the interface needs (empty, null, boolean, 16- and
// 32-bit integers, double, text) so that it maps one to one onto the Windows
// VARIANT (VT_EMPTY, VT_NULL, VT_BOOL, VT_I2, VT_I4, VT_R8, VT_BSTR).
// Text is a sequence of 8-bit characters held in a std::string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace kdr {

/// An automation boolean: 0 is false, -1 (all bits set) is true.
using VariantBool = std::int16_t;
inline constexpr VariantBool kVariantTrue = -1;
inline constexpr VariantBool kVariantFalse = 0;

[[nodiscard]] constexpr VariantBool to_variant_bool(bool b) noexcept {
    return b ? kVariantTrue : kVariantFalse;
}

class Variant {
  public:
    enum class Type { Empty, Null, Bool, I2, I4, R8, Text };

    /// An empty variant.
    Variant() = default;
    Variant(std::int16_t value) : value_(value) {}            // NOLINT(google-explicit-constructor)
    Variant(std::int32_t value) : value_(value) {}            // NOLINT(google-explicit-constructor)
    Variant(double value) : value_(value) {}                  // NOLINT(google-explicit-constructor)
    Variant(std::string value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
    Variant(std::string_view value) : value_(std::string(value)) {}  // NOLINT
    Variant(const char* value) : value_(std::string(value)) {}       // NOLINT
    /// A bool would silently become the integer 1; use boolean() for -1/0.
    Variant(bool) = delete;

    [[nodiscard]] static Variant null() { return Variant(NullTag{}); }
    /// A boolean variant; any non-zero 16-bit value is stored as true (-1).
    [[nodiscard]] static Variant boolean(bool value) {
        return Variant(BoolValue{kdr::to_variant_bool(value)});
    }

    [[nodiscard]] Type type() const noexcept { return static_cast<Type>(value_.index()); }
    [[nodiscard]] bool is_empty() const noexcept { return type() == Type::Empty; }
    [[nodiscard]] bool is_null() const noexcept { return type() == Type::Null; }

    // Conversions. Each throws kdr::Error: InvalidUseOfNull for a null,
    // TypeMismatch for a text that does not hold a value of the kind asked for,
    // Overflow for a number outside the target's range.
    //
    // Numbers go to integers by rounding to the nearest, halves to the even
    // neighbour (2.5 -> 2, 3.5 -> 4). Text goes to a number when it holds one,
    // with optional blanks around it, a sign, a decimal point and an exponent
    // ("3", " -12 ", "2.5", "1e3"); booleans become -1 and 0. Empty converts to
    // 0, false and the empty text.

    /// The value as text: numbers in decimal (doubles with up to 15 significant
    /// digits), booleans as "True" and "False".
    [[nodiscard]] std::string to_text() const;
    [[nodiscard]] std::int16_t to_i2() const;
    [[nodiscard]] std::int32_t to_i4() const;
    [[nodiscard]] double to_double() const;
    /// Numbers are true when non-zero; texts "True"/"False" (any case) or a number.
    [[nodiscard]] bool to_bool() const;
    [[nodiscard]] VariantBool to_variant_bool() const { return kdr::to_variant_bool(to_bool()); }

    friend bool operator==(const Variant&, const Variant&) = default;

  private:
    struct NullTag {
        friend bool operator==(NullTag, NullTag) = default;
    };
    struct BoolValue {
        VariantBool value;
        friend bool operator==(BoolValue, BoolValue) = default;
    };
    explicit Variant(NullTag tag) : value_(tag) {}
    explicit Variant(BoolValue b) : value_(b) {}

    // The order of the alternatives matches Type.
    std::variant<std::monostate, NullTag, BoolValue, std::int16_t, std::int32_t, double,
                 std::string>
        value_;
};

}  // namespace kdr
