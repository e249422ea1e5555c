// The two time-stamp field methods: each completes one field of a time stamp
// text ("2007/11/16 08:05:03") and checks it against its upper limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kdr::protocol {

/// The text that stands for a time stamp with a field out of range.
inline constexpr std::string_view kDefaultTimestamp = "2000/01/01 00:00:00";

/// The numeric value of the number at the start of a text ("08" gives 8,
/// " 12abc" gives 12); a text without a leading number counts as 0.
[[nodiscard]] double leading_number(std::string_view text) noexcept;

/// Date field i (1 year, 2 month, 3 day); time_str is completed as the
/// controller's SetDeaultYMDtime does (for i = 1 the leading "/" is replaced by
/// "20"). Returns the number of characters of the stamp still to skip when the
/// field is out of range (time_str is then NOT yet replaced), nullopt in range.
/// Throws kdr::Error(InvalidArgument) for i = 1 with an empty time_str.
[[nodiscard]] std::optional<std::size_t> complete_date_field(std::int32_t i,
                                                             std::string_view temp_time_str,
                                                             std::string& time_str,
                                                             int current_year);
/// Time field i (1 hour, 2 minute, 3 second): appends " " or ":" and the field.
[[nodiscard]] std::optional<std::size_t> complete_time_field(std::int32_t i,
                                                             std::string_view temp_time_str,
                                                             std::string& time_str);

/// Skips n characters of the rest of the data and removes its leading and
/// trailing spaces. Throws kdr::Error(InvalidArgument) when the rest holds
/// fewer than n characters (and changes nothing then).
[[nodiscard]] std::string_view skip_and_trim(std::string_view rest, std::size_t n);

/// The controller's public SetDeaultYMDtime / SetDeaultHMStime on by-reference
/// strings: skip-and-trim on receive_str first, then time_str becomes
/// kDefaultTimestamp, when the field is out of range.
void set_default_ymd_time(std::int32_t i, const std::string& temp_time_str, std::string& time_str,
                          std::string& receive_str, int current_year);
void set_default_hms_time(std::int32_t i, const std::string& temp_time_str, std::string& time_str,
                          std::string& receive_str);

}  // namespace kdr::protocol
