// Inputs the fuzzers found (fuzz/), kept as regular tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "kdr/protocol.hpp"

namespace kdr::protocol {
namespace {

// fuzz_protocol: checksum_char_for_sum promises any non-negative sum, but
// added the CR's 13 before reducing, which overflows near the top of the
// range (undefined behaviour; UBSan stops there).
TEST(FuzzFindings, ChecksumOfAnyNonNegativeSum) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    for (const std::int64_t sum : {std::int64_t{0}, std::int64_t{114}, std::int64_t{115},
                                   std::int64_t{1} << 40U, kMax - 13, kMax - 12, kMax}) {
        const auto expected = static_cast<char>(((sum % 128 + 13) & 127) | 32);
        EXPECT_EQ(checksum_char_for_sum(sum), expected) << sum;
    }
}

}  // namespace
}  // namespace kdr::protocol
