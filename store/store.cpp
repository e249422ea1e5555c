#include "store/store.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <utility>

#include "kdr/error.hpp"
#include "store/backend.hpp"

namespace kdr::store {

namespace {

constexpr std::array<std::pair<EraseResult, std::string_view>, 7> kEraseWords{{
    {EraseResult::NotRequested, "not requested"},
    {EraseResult::Skipped, "skipped"},
    {EraseResult::Pending, "pending"},
    {EraseResult::Acknowledged, "acknowledged"},
    {EraseResult::Silent, "silent"},
    {EraseResult::Refused, "refused"},
    {EraseResult::Failed, "failed"},
}};

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::string_view to_string(EraseResult result) noexcept {
    for (const auto& [value, word] : kEraseWords) {
        if (value == result) {
            return word;
        }
    }
    return "failed";
}

std::optional<EraseResult> erase_result_from(std::string_view word) noexcept {
    for (const auto& [value, known] : kEraseWords) {
        if (known == word) {
            return value;
        }
    }
    return std::nullopt;
}

std::unique_ptr<Store> open_store(const std::string& target, OpenMode mode) {
    if (target.empty()) {
        throw StoreError(
            "--db is empty: give a SQLite file such as records.sqlite or a "
            "postgresql:// URI");
    }
    if (starts_with(target, "postgresql://") || starts_with(target, "postgres://")) {
        return detail::open_postgres(target);
    }
    // Reading a store under a mistyped name must not leave an empty one there.
    std::error_code error;
    if (mode == OpenMode::MustExist && !std::filesystem::exists(target, error)) {
        throw StoreError(fmt::format(
            "the store {} does not exist: check the path (kdr collect creates it)", target));
    }
    return detail::open_sqlite(target);
}

std::optional<std::size_t> stored_prefix(const std::vector<DownloadedRecord>& stored,
                                         const std::vector<DownloadedRecord>& download) {
    if (stored.size() > download.size() ||
        !std::equal(stored.begin(), stored.end(), download.begin())) {
        return std::nullopt;
    }
    return stored.size();
}

std::size_t storable_records(const Download& download) noexcept {
    // A bare stamp is a record without text: the records after it sit one
    // place further on in the reader's memory than their index says, so only
    // those before the first one have sure positions.
    std::size_t end = download.records.size();
    for (const BareStamp& bare : download.bare_stamps) {
        end = std::min(end, bare.before_record);
    }
    return end;
}

std::string latin1_to_utf8(std::string_view text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0U | (code >> 6U));
            utf8 += static_cast<char>(0x80U | (code & 0x3FU));
        }
    }
    return utf8;
}

std::string utf8_to_latin1(std::string_view text) {
    std::string latin1;
    latin1.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto code = static_cast<unsigned char>(text[i]);
        if ((code & 0xE0U) == 0xC0U && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            latin1 += static_cast<char>(((code & 0x1FU) << 6U) | (next & 0x3FU));
            ++i;
        } else {
            latin1 += text[i];
        }
    }
    return latin1;
}

namespace detail {

DownloadedRecord record_from(const std::string& codes, std::int64_t state, std::int64_t bad_field,
                             std::int64_t lead, std::string text) {
    DownloadedRecord record;
    std::copy_n(codes.begin(), std::min(codes.size(), record.stamp.codes.size()),
                record.stamp.codes.begin());
    record.stamp.state = static_cast<StampState>(state);
    record.stamp.bad_field = static_cast<std::uint8_t>(bad_field);
    record.lead = static_cast<char>(lead);
    record.text = std::move(text);
    return record;
}

Plan plan_download(const std::vector<DownloadedRecord>& memory, const Download& download) {
    const std::size_t end = storable_records(download);
    const std::vector<DownloadedRecord> arrived(
        download.records.begin(), download.records.begin() + static_cast<std::ptrdiff_t>(end));
    // An empty memory continues into anything: a reader erased (confirmed)
    // or never seen has nothing that could be stored twice.
    if (memory.empty()) {
        return {0, end, false};
    }
    if (const std::optional<std::size_t> held = stored_prefix(memory, arrived)) {
        return {*held, end, false};
    }
    return {0, end, true};
}

std::string iso_utc(std::chrono::system_clock::time_point time) {
    const auto millis = std::chrono::floor<std::chrono::milliseconds>(time);
    const auto day = std::chrono::floor<std::chrono::days>(millis);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss clock{millis - day};
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", int{date.year()},
                       unsigned{date.month()}, unsigned{date.day()}, clock.hours().count(),
                       clock.minutes().count(), clock.seconds().count(),
                       clock.subseconds().count());
}

std::optional<std::string> stamp_time(const Stamp& stamp) {
    const std::optional<std::chrono::local_seconds> time = stamp.time();
    if (!time) {
        return std::nullopt;
    }
    const auto day = std::chrono::floor<std::chrono::days>(*time);
    const std::chrono::year_month_day date{std::chrono::sys_days{day.time_since_epoch()}};
    const std::chrono::hh_mm_ss clock{*time - day};
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", int{date.year()},
                       unsigned{date.month()}, unsigned{date.day()}, clock.hours().count(),
                       clock.minutes().count(), clock.seconds().count());
}

std::string stored_machine_id(const std::string& sent) {
    return latin1_to_utf8(sent);
}

bool same_machine_id(std::string_view stored, std::string_view wanted) {
    const auto trim = [](std::string_view text) {
        const std::size_t first = text.find_first_not_of(' ');
        if (first == std::string_view::npos) {
            return std::string_view{};
        }
        return text.substr(first, text.find_last_not_of(' ') - first + 1);
    };
    return trim(stored) == trim(wanted);
}

std::string iso_day(const std::chrono::year_month_day& day) {
    return fmt::format("{:04}-{:02}-{:02}", int{day.year()}, unsigned{day.month()},
                       unsigned{day.day()});
}

void check_storable(const CollectedDownload& collected) {
    if (collected.download == nullptr || !collected.download->has_header) {
        throw Error(ErrorKind::InvalidArgument,
                    "a download without the reader's header has no machine ID to store it under");
    }
}

}  // namespace detail

}  // namespace kdr::store
