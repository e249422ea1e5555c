// Retention: the records of memories that ended long ago removed, and what
// the rest of the store needs to know of them. Not part of the store's
// interface.
#pragma once

#include <chrono>

#include "store/database.hpp"
#include "store/store.hpp"

namespace kdr::store::detail {

/// Store::prune, inside a transaction the caller began and commits.
[[nodiscard]] PruneReport prune_memories(Database& db, std::chrono::year_month_day before,
                                         bool dry_run);

}  // namespace kdr::store::detail
