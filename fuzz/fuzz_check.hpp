// What every fuzz target shares: a failed property stops the run like a crash,
// so that libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace kdr::fuzz {

/// Aborts with the property's name when it does not hold.
inline void check(bool holds, std::string_view property) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %.*s\n", static_cast<int>(property.size()),
                     property.data());
        std::abort();
    }
}

}  // namespace kdr::fuzz
