#include "store/rule.hpp"

#include <algorithm>
#include <string_view>

namespace kdr::store {

namespace {

constexpr std::size_t kStampLength = 6;

// A record separator ("?" CR) damaged on the line joins two records into one:
// one of its two characters survives, and the next record's stamp follows one
// character later. A real text holding that by chance needs six characters
// that make a valid date, mostly control characters.
bool holds_lost_separator(std::string_view text) {
    for (std::size_t at = 0; at + 2 + kStampLength <= text.size(); ++at) {
        if ((text[at] == '?' || text[at + 1] == '\r') &&
            Stamp::from_codes(text.substr(at + 2, kStampLength)).state == StampState::Valid) {
            return true;
        }
    }
    return false;
}

bool is_prefix(const std::vector<DownloadedRecord>& shorter,
               const std::vector<DownloadedRecord>& longer, std::size_t longer_size) {
    return shorter.size() <= longer_size &&
           std::equal(shorter.begin(), shorter.end(), longer.begin());
}

}  // namespace

std::size_t sure_records(const Download& download) {
    if (download.complete()) {
        return download.records.size();
    }
    if (!download.has_header) {
        return 0;
    }
    // A separator inside a stamp: that record and the one before it are
    // pieces, and what follows them may be shifted.
    const auto shifted =
        std::find_if(download.records.begin(), download.records.end(), separator_in_stamp);
    if (shifted != download.records.end()) {
        const auto at = static_cast<std::size_t>(shifted - download.records.begin());
        return at == 0 ? 0 : at - 1;
    }
    const auto announced = static_cast<std::size_t>(std::max(download.announced, 0));
    const std::size_t received = download.records.size();
    if (received > announced || (received == announced && download.cut)) {
        return 0;
    }
    if (received == announced) {  // a few characters after the last record
        return received == 0 ? 0 : received - 1;
    }
    const auto merged = std::find_if(
        download.records.begin(), download.records.end(),
        [](const DownloadedRecord& record) { return holds_lost_separator(record.text); });
    return static_cast<std::size_t>(merged - download.records.begin());
}

Plan plan_download(const std::vector<DownloadedRecord>& memory, const Download& download) {
    const std::size_t sure = sure_records(download);
    if (memory.empty()) {
        return {0, 0, sure, false};
    }
    if (is_prefix(memory, download.records, sure)) {
        return {memory.size(), memory.size(), sure, false};
    }
    if (download.complete()) {
        return {0, 0, sure, true};
    }
    // An incomplete download that stops inside the memory holds nothing new;
    // one that disagrees with it waits for a complete download to tell.
    const bool inside =
        sure <= memory.size() &&
        std::equal(download.records.begin(),
                   download.records.begin() + static_cast<std::ptrdiff_t>(sure), memory.begin());
    return {inside ? sure : 0, sure, sure, false};
}

bool ends_memory(EraseResult result) noexcept {
    return result == EraseResult::Verified || result == EraseResult::Acknowledged;
}

EraseResult initial_erase_result(const Download& download, bool erase_follows) noexcept {
    if (!download.complete()) {
        return EraseResult::Skipped;
    }
    return erase_follows ? EraseResult::Pending : EraseResult::NotRequested;
}

}  // namespace kdr::store
