// After an erase, the reader is asked for its download again: its header says
// how many records it still holds. Only a reader read back empty is taken as
// erased for sure; an acknowledgement alone, or silence, is not proof.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kdr/reader.hpp"

namespace kdr::collect {

struct EraseReadBack {
    enum class Found : std::uint8_t {
        Empty,    ///< the reader's header counts no record
        Holds,    ///< it counts records: the erase did not happen
        Unknown,  ///< no header came back (why says why)
    };
    Found found = Found::Unknown;
    std::int32_t records = 0;  ///< the count in the header, for Holds
    std::string why;
};

/// Reads the reader's header back after an erase. `machine_id` is the ID of
/// the reader that was erased: another reader's header (swapped in the
/// cradle meanwhile) proves nothing. Never throws.
[[nodiscard]] EraseReadBack read_back_after_erase(Reader& reader, std::string_view machine_id);

}  // namespace kdr::collect
