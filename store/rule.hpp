// The never-twice rule: which records of a download the store already holds,
// which are new, and which it cannot be sure of. Pure functions over records
// as the reader sent them (six stamp characters, leading character, text, byte
// for byte); no database, and no clock: the same download decides the same
// way on any day. docs/STORE.md states the rule and its cases.
#pragma once

#include <cstddef>
#include <vector>

#include "kdr/download.hpp"
#include "store/store.hpp"

namespace kdr::store {

/// How many of a download's records, from the first, are sure to be the
/// reader's records at their places: all of a complete download. Of an
/// incomplete one, the records before its first anomaly:
/// - a record separator inside a stamp (see separator_in_stamp): the records
///   before the one ahead of it;
/// - more records than announced, or the announced number with characters
///   after the last one: a record was split on the line where the answer
///   cannot tell, so none (when the count is exact, all but the last);
/// - fewer than announced: those before a record that holds a lost record
///   separator (a "?" or CR followed, one character on, by a valid stamp: two
///   records merged by a damaged separator); a record cut short is never one.
[[nodiscard]] std::size_t sure_records(const Download& download);

/// What storing a download writes, decided from the reader's stored memory.
struct Plan {
    std::size_t already_stored = 0;  ///< records the memory holds already
    std::size_t first_new = 0;       ///< index in download.records of the first record to store
    std::size_t end = 0;             ///< one past the last record to store
    bool new_memory = false;         ///< the download starts a new memory
    [[nodiscard]] std::size_t new_records() const noexcept { return end - first_new; }
};

/// The rule. `memory` are the records of the reader's current memory in the
/// store, in order (empty when it has none).
/// - An empty memory continues into any download.
/// - A complete download continues the memory when the memory is a prefix
///   of it: the records after the memory are new. Otherwise the reader was
///   erased meanwhile, and the download starts a new memory.
/// - An incomplete download never starts a new memory. Its sure records and
///   the memory are compared both ways: when either is a prefix of the other,
///   the records past the memory's end are new; otherwise nothing is stored
///   until a complete download tells.
[[nodiscard]] Plan plan_download(const std::vector<DownloadedRecord>& memory,
                                 const Download& download);

/// Whether an erase result ends the reader's memory: its next download starts
/// a new one. Only a reader read back empty, or one that confirmed the erase.
[[nodiscard]] bool ends_memory(EraseResult result) noexcept;

/// The erase result a collect stores before it sends the erase.
[[nodiscard]] EraseResult initial_erase_result(const Download& download,
                                               bool erase_follows) noexcept;

}  // namespace kdr::store
