// Heap accounting for the benchmarks: this binary replaces the global
// operator new and delete to keep the bytes in use and their peak.
#pragma once

#include <cstddef>

namespace kdr::bench {

/// Bytes allocated through operator new and not yet freed.
[[nodiscard]] std::size_t heap_in_use() noexcept;
/// The highest heap_in_use() since the last reset_heap_peak().
[[nodiscard]] std::size_t heap_peak() noexcept;
/// Starts a new peak from what is in use now.
void reset_heap_peak() noexcept;

}  // namespace kdr::bench
