// Whether an erase happened, judged in one place for `kdr collect` and
// `kdr erase`. After the erase the reader is asked for its download again:
// its header says how many records it still holds. Only the same reader read
// back empty is erased for sure; an acknowledgement alone is taken at the
// reader's word, and silence or another reader's header proves nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "collect/collect.hpp"
#include "store/store.hpp"

namespace kdr::collect {

/// What became of an erase.
struct EraseCheck {
    store::EraseResult result = store::EraseResult::Failed;
    /// The records the reader still holds, for NotErased.
    std::int32_t records = 0;
    /// Why, for people: the failure, or why the reader could not be read back.
    std::string detail;
};

/// Sends the erase to `reader`, then reads it back. `machine_id` is the ID,
/// as sent, of the reader whose records are to go: a header with another ID
/// (a reader swapped in the cradle, or an ID damaged on the line) never
/// confirms the erase. Never throws for a failure on the line.
[[nodiscard]] EraseCheck erase_and_check(ReaderLink& reader, std::string_view machine_id);

}  // namespace kdr::collect
