#include "kdr/variant.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "kdr/error.hpp"

namespace kdr {
namespace {

constexpr ErrorKind kNone = ErrorKind::None;
constexpr ErrorKind kNull = ErrorKind::InvalidUseOfNull;
constexpr ErrorKind kMismatch = ErrorKind::TypeMismatch;
constexpr ErrorKind kOverflow = ErrorKind::Overflow;

Variant i2(int v) {
    return Variant(static_cast<std::int16_t>(v));
}

// One conversion case: the input, and either the value or the error expected.
template <typename T>
struct Row {
    Variant input;
    T want{};
    ErrorKind error = kNone;
};

std::string describe(const Variant& v) {
    if (v.is_null()) {
        return "Null";
    }
    return "type " + std::to_string(static_cast<int>(v.type())) + " \"" + v.to_text() + "\"";
}

template <typename T, typename Convert>
void check(const std::vector<Row<T>>& rows, Convert convert) {
    for (const auto& row : rows) {
        SCOPED_TRACE(describe(row.input));
        try {
            const T got = convert(row.input);
            if (row.error == kNone) {
                EXPECT_EQ(got, row.want);
            } else {
                ADD_FAILURE() << "got " << testing::PrintToString(got) << ", expected "
                              << to_string(row.error);
            }
        } catch (const Error& e) {
            ASSERT_EQ(to_string(e.kind()), to_string(row.error));
            const std::string message = row.error == kNull       ? "Invalid use of Null"
                                        : row.error == kMismatch ? "Type mismatch"
                                                                 : "Overflow";
            EXPECT_EQ(e.what(), message);
        }
    }
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// clang-format off
TEST(VariantTest, ToText) {
    check<std::string>({
        {Variant(), ""}, {Variant::null(), "", kNull}, {" abc ", " abc "},
        {Variant::boolean(true), "True"}, {Variant::boolean(false), "False"},
        {i2(-32768), "-32768"}, {2147483647, "2147483647"},
        {2.5, "2.5"}, {100.0, "100"}, {-0.5, "-0.5"}, {-0.0, "0"}, {0.1, "0.1"},
        {2.0 / 3.0, "0.666666666666667"}, {123456789012345.0, "123456789012345"},
        {1e15, "1E+15"}, {1e20, "1E+20"}, {1e100, "1E+100"},
        {0.0001, "0.0001"}, {0.00001, "1E-05"}, {1.5e-7, "1.5E-07"},
    }, [](const Variant& v) { return v.to_text(); });
}

TEST(VariantTest, ToI2) {
    check<std::int16_t>({
        {Variant(), 0}, {Variant::null(), 0, kNull},
        {Variant::boolean(true), -1}, {Variant::boolean(false), 0},
        // range edges
        {i2(-32768), -32768}, {32767, 32767}, {-32768, -32768},
        {32768, 0, kOverflow}, {-32769, 0, kOverflow},
        // halves go to the even neighbour
        {0.5, 0}, {1.5, 2}, {2.5, 2}, {3.5, 4}, {-1.5, -2}, {-2.5, -2},
        {0.49999999999999994, 0}, {2.5000001, 3}, {32766.5, 32766}, {32767.5, 0, kOverflow},
        {-32768.5, -32768}, {-32768.6, 0, kOverflow},
        {kNaN, 0, kOverflow}, {kInf, 0, kOverflow}, {-kInf, 0, kOverflow},
        // numbers in text
        {"3", 3}, {" -12 ", -12}, {"\t+7\r\n", 7}, {"2.5", 2}, {"3.5", 4}, {".5", 0},
        {"1.", 1}, {"1e3", 1000}, {"1E+4", 10000}, {"250e-2", 2}, {"32767", 32767},
        {"32768", 0, kOverflow}, {"1e5", 0, kOverflow}, {"1e400", 0, kOverflow}, {"1e-400", 0},
        {"&H1F", 31}, {" &hffff ", -1}, {"&H8000", -32768}, {"&O17", 15},
        {"&H10000", 0, kOverflow},
        // texts that hold no number
        {"abc", 0, kMismatch}, {"", 0, kMismatch}, {"   ", 0, kMismatch}, {"1 2", 0, kMismatch},
        {"12abc", 0, kMismatch}, {"-", 0, kMismatch}, {".", 0, kMismatch}, {"- 1", 0, kMismatch},
        {"--1", 0, kMismatch}, {"1e", 0, kMismatch}, {"1e+", 0, kMismatch},
        {"0x10", 0, kMismatch}, {"&H", 0, kMismatch}, {"&H1G", 0, kMismatch},
        {"&O8", 0, kMismatch}, {"&X1", 0, kMismatch}, {"True", 0, kMismatch},
        {"inf", 0, kMismatch}, {std::string("1\0", 2), 0, kMismatch},
    }, [](const Variant& v) { return v.to_i2(); });
}

TEST(VariantTest, ToI4) {
    check<std::int32_t>({
        {Variant(), 0}, {Variant::null(), 0, kNull}, {Variant::boolean(true), -1}, {i2(-7), -7},
        {-2147483647 - 1, -2147483647 - 1}, {2147483646.5, 2147483646},
        {2147483647.5, 0, kOverflow}, {-2147483648.5, -2147483647 - 1},
        {"2147483647", 2147483647}, {"2147483648", 0, kOverflow}, {"x", 0, kMismatch},
        {"&H10000", 65536}, {"&HFFFFFFFF", -1}, {"&H100000000", 0, kOverflow},
        {"&H1000000000000000000000000", 0, kOverflow},
    }, [](const Variant& v) { return v.to_i4(); });
}

TEST(VariantTest, ToDouble) {
    check<double>({
        {Variant(), 0.0}, {Variant::null(), 0.0, kNull}, {Variant::boolean(true), -1.0},
        {i2(-3), -3.0}, {2147483647, 2147483647.0}, {0.25, 0.25},
        {"2.5", 2.5}, {" -1.5E-3 ", -0.0015}, {"0.1", 0.1}, {"1e308", 1e308},
        {"1e309", 0.0, kOverflow}, {"0.00000000000000000000001e-310", 0.0},
        {"True", 0.0, kMismatch}, {"nan", 0.0, kMismatch}, {"1,5", 0.0, kMismatch},
    }, [](const Variant& v) { return v.to_double(); });
}

TEST(VariantTest, ToBool) {
    check<bool>({
        {Variant(), false}, {Variant::null(), false, kNull}, {Variant::boolean(true), true},
        {i2(0), false}, {-7, true}, {0.0, false}, {0.5, true},
        {"True", true}, {"FALSE", false}, {" tRuE ", true}, {"0", false}, {"-2.5", true},
        {"yes", false, kMismatch}, {"Truex", false, kMismatch}, {"", false, kMismatch},
    }, [](const Variant& v) { return v.to_bool(); });
    EXPECT_EQ(Variant("true").to_variant_bool(), kVariantTrue);
    EXPECT_EQ(Variant(0).to_variant_bool(), kVariantFalse);
}
// clang-format on

TEST(VariantTest, EqualityComparesTypeAndValue) {
    EXPECT_EQ(Variant(), Variant());
    EXPECT_EQ(Variant::null(), Variant::null());
    EXPECT_NE(Variant(), Variant::null());
    EXPECT_EQ(Variant::boolean(true), Variant::boolean(true));
    EXPECT_NE(Variant::boolean(true), Variant(-1));
    EXPECT_NE(i2(1), Variant(1));
    EXPECT_EQ(Variant("abc"), Variant(std::string("abc")));
    EXPECT_NE(Variant("1"), Variant(1));
    EXPECT_EQ(Variant(2.5).type(), Variant::Type::R8);
    static_assert(!std::is_constructible_v<Variant, bool>, "a bool must go through boolean()");
}

TEST(ErrorTest, EveryKindHasItsOwnName) {
    std::set<std::string_view> names;
    for (int k = 0; k <= static_cast<int>(ErrorKind::InvalidArgument); ++k) {
        names.insert(to_string(static_cast<ErrorKind>(k)));
    }
    EXPECT_EQ(names.size(), static_cast<std::size_t>(ErrorKind::InvalidArgument) + 1);
    EXPECT_EQ(to_string(ErrorKind::PortBusy), "port busy");
}

}  // namespace
}  // namespace kdr
