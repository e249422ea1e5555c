// What the two back ends share: how a download is planned into the store,
// and the text forms of times. Not part of the store's interface.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.hpp"

namespace kdr::store::detail {

[[nodiscard]] std::unique_ptr<Store> open_sqlite(const std::string& path);
[[nodiscard]] std::unique_ptr<Store> open_postgres(const std::string& uri);

/// What store_download writes, decided from the reader's stored memory.
struct Plan {
    std::size_t first_new = 0;  ///< index in download.records of the first record to store
    std::size_t end = 0;        ///< one past the last record to store
    bool new_memory = false;
};
/// `memory` are the records of the reader's current memory in the store
/// (empty when it has none).
[[nodiscard]] Plan plan_download(const std::vector<DownloadedRecord>& memory,
                                 const Download& download);

/// "2026-12-07T13:05:00.123Z"
[[nodiscard]] std::string iso_utc(std::chrono::system_clock::time_point time);
/// "2024-05-01 08:15:00" for a valid stamp.
[[nodiscard]] std::optional<std::string> stamp_time(const Stamp& stamp);
/// The machine ID as the store keeps it: UTF-8 of the characters as sent.
[[nodiscard]] std::string stored_machine_id(const std::string& sent);
/// A stored machine ID (UTF-8) is the one a user typed, spaces around either
/// left aside (readers pad IDs with spaces, and may right-align numbers).
[[nodiscard]] bool same_machine_id(std::string_view stored, std::string_view wanted);
/// "2024-05-01" for a day.
[[nodiscard]] std::string iso_day(const std::chrono::year_month_day& day);

/// A record as a row holds it: the six stamp codes as sent, the stamp's state
/// and bad field, the leading character and the text bytes.
[[nodiscard]] DownloadedRecord record_from(const std::string& codes, std::int64_t state,
                                           std::int64_t bad_field, std::int64_t lead,
                                           std::string text);

/// Throws kdr::Error (InvalidArgument) for a download the store cannot take.
void check_storable(const CollectedDownload& collected);

}  // namespace kdr::store::detail
