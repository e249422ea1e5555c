// Retention: the records of memories that ended long ago removed, and what
// the rest of the store needs to know of them. Not part of the store's
// interface.
#pragma once

#include <chrono>
#include <string>

#include "store/database.hpp"
#include "store/store.hpp"

namespace kdr::store::detail {

/// The table that keeps, per pruned memory, its reader and how many records
/// were removed; made by the first prune, so a store never pruned has none.
inline constexpr std::string_view kPrunedTable = "pruned_memories";

/// Store::prune, inside a transaction the caller began and commits.
[[nodiscard]] PruneReport prune_memories(Database& db, std::chrono::year_month_day before,
                                         bool dry_run);

}  // namespace kdr::store::detail
