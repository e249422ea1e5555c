// Sequences of collects, erases and line damage, and what the never-twice
// rule must make of each: shared by the rule's own test (no database) and the
// store's test on both databases.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kdr/download.hpp"
#include "store/store.hpp"

namespace kdr::store::test {

// A record with a unique text and stamp: the n-th record ever taken.
inline DownloadedRecord nth_record(int n) {
    DownloadedRecord record;
    // 2024-05-01 08:00:00 plus n minutes, each field's code its value plus 16.
    const int minutes = n % 60;
    const int hours = 8 + (n / 60) % 12;
    const int day = 1 + (n / 720) % 28;
    record.stamp.codes = {
        static_cast<std::uint8_t>(24 + 16),      5 + 16,
        static_cast<std::uint8_t>(day + 16),     static_cast<std::uint8_t>(hours + 16),
        static_cast<std::uint8_t>(minutes + 16), 16};
    // Texts with the characters a store could mangle: 8-bit, tab, newline,
    // backslash, quote.
    static const std::vector<std::string> kinds{"ITEM", "caf\xE9\tQTY", "A\\B \"C\"", "L1\nL2"};
    record.text = kinds[static_cast<std::size_t>(n) % kinds.size()] + " #" + std::to_string(n);
    record.lead = static_cast<char>('0' + n % 10);
    return record;
}

// How a download arrives.
enum class Shape {
    Whole,
    Cut,       // `at` whole records, then one cut short
    Boundary,  // `at` whole records, then the line falls silent
    Split,     // one record arrives as two (a "?" CR made on the line)
    Merged,    // records `at` and `at` + 1 arrive as one (a separator damaged)
    Trailer,   // every record, then two characters more
};

// One step of a sequence. The reader holds `reader` (in the runner); a
// collect downloads it in the given shape.
struct Step {
    enum Kind { Take, TakeAgain, Collect, ExternalErase } kind = Collect;
    int count = 0;       // Take: records taken; TakeAgain: the first records
                         // taken once more, the same to the second (a stopped clock)
    bool empty = false;  // Take: an empty record
    EraseResult erase = EraseResult::NotRequested;  // Collect: what the erase came to
    bool erased = false;                            // Collect: whether the reader really erased
    Shape shape = Shape::Whole;
    std::size_t at = 0;
    std::size_t expect_new = 0;
    std::size_t expect_held = 0;
    bool expect_new_memory = false;
};

inline Step take(int count) {
    Step step;
    step.kind = Step::Take;
    step.count = count;
    return step;
}
inline Step take_empty() {
    Step step = take(1);
    step.empty = true;
    return step;
}
inline Step take_again(int count) {
    Step step = take(count);
    step.kind = Step::TakeAgain;
    return step;
}
inline Step collect(std::size_t expect_new, std::size_t expect_held,
                    EraseResult erase = EraseResult::NotRequested, bool erased = false,
                    bool new_memory = false) {
    Step step;
    step.erase = erase;
    step.erased = erased || erase == EraseResult::Verified || erase == EraseResult::Acknowledged;
    step.expect_new = expect_new;
    step.expect_held = expect_held;
    step.expect_new_memory = new_memory;
    return step;
}
inline Step collect_as(Shape shape, std::size_t at, std::size_t expect_new,
                       std::size_t expect_held) {
    Step step = collect(expect_new, expect_held);
    step.shape = shape;
    step.at = at;
    return step;
}
inline Step external_erase() {
    Step step;
    step.kind = Step::ExternalErase;
    return step;
}

struct Sequence {
    std::string name;
    std::vector<Step> steps;
    bool on_databases = false;  // also run through both databases
};

inline void PrintTo(const Sequence& sequence, std::ostream* out) {
    *out << sequence.name;
}

// The download of what the reader holds, arrived in the step's shape.
inline Download download_of(const std::vector<DownloadedRecord>& reader, const Step& step) {
    Download download;
    download.has_header = true;
    download.machine_id = "KDR00077";
    download.announced = static_cast<std::int32_t>(reader.size());
    download.records = reader;
    switch (step.shape) {
        case Shape::Whole:
            break;
        case Shape::Cut:
            download.records.resize(step.at);
            download.cut = true;
            download.tail =
                "\x28\x15\x11\x18\x10\x10"
                "0PART";
            break;
        case Shape::Boundary:
            download.records.resize(step.at);
            break;
        case Shape::Split: {
            DownloadedRecord& whole = download.records.at(step.at);
            DownloadedRecord second = whole;
            second.stamp = Stamp::from_codes(whole.text.substr(0, 6) + "      ");
            second.text = whole.text.substr(std::min<std::size_t>(7, whole.text.size()));
            whole.text = whole.text.substr(0, 3);
            download.records.insert(
                download.records.begin() + static_cast<std::ptrdiff_t>(step.at) + 1, second);
            break;
        }
        case Shape::Merged: {
            const DownloadedRecord next = download.records.at(step.at + 1);
            DownloadedRecord& first = download.records.at(step.at);
            first.text +=
                std::string("?M") + std::string(next.stamp.chars()) + next.lead + next.text;
            download.records.erase(download.records.begin() + static_cast<std::ptrdiff_t>(step.at) +
                                   1);
            break;
        }
        case Shape::Trailer:
            download.tail = "xy";
            break;
    }
    return download;
}

inline const std::vector<Sequence>& sequences() {
    using E = EraseResult;
    static const std::vector<Sequence> all{
        {"FirstCollectStoresAll", {take(3), collect(3, 0)}, true},
        {"AgainWithoutEraseStoresNothing", {take(3), collect(3, 0), collect(0, 3)}},
        {"OnlyNewRecordsAfterNoErase", {take(3), collect(3, 0), take(2), collect(2, 3)}, true},
        {"VerifiedEraseStartsAfresh",
         {take(3), collect(3, 0, E::Verified), take(2), collect(2, 0), collect(0, 2)},
         true},
        {"AcknowledgedEraseStartsAfresh",
         {take(3), collect(3, 0, E::Acknowledged), take(2), collect(2, 0)}},
        {"RefusedEraseKeepsMemory",
         {take(3), collect(3, 0, E::Refused), take(1), collect(1, 3, E::Verified), collect(0, 0)}},
        {"NotErasedKeepsMemory", {take(3), collect(3, 0, E::NotErased), collect(0, 3)}},
        {"SilentEraseThatErased",
         {take(3), collect(3, 0, E::Silent, true), take(2),
          collect(2, 0, E::NotRequested, false, true)},
         true},
        {"SilentEraseThatDidNot", {take(3), collect(3, 0, E::Silent), collect(0, 3)}},
        {"FailedEraseThatErased",
         {take(2), collect(2, 0, E::Failed, true), take(4),
          collect(4, 0, E::NotRequested, false, true)}},
        {"KilledBeforeEraseResultStored",  // stays Pending: treated as unconfirmed
         {take(3), collect(3, 0, E::Pending, true), collect(0, 0, E::NotRequested, false, true),
          take(1), collect(1, 0)}},
        // The same scans again after an erase (a stopped clock, a round of the
        // same tags): new records after a verified erase...
        {"SameScansAfterVerifiedErase",
         {take(2), collect(2, 0, E::Verified), take_again(2), collect(2, 0)}},
        // ...but an unverified one that did erase cannot be told from none.
        {"SameScansAfterUnverifiedErase",
         {take(2), collect(2, 0, E::Silent, true), take_again(2), collect(0, 2)}},
        {"CutDownloadThenWhole", {take(5), collect_as(Shape::Cut, 2, 2, 0), collect(3, 2)}, true},
        {"CutDownloadOfNewRecords",
         {take(2), collect(2, 0), take(4), collect_as(Shape::Cut, 4, 2, 2), collect(2, 4)}},
        {"CutInsideTheMemory",
         {take(5), collect(5, 0), collect_as(Shape::Cut, 2, 0, 2), collect(0, 5)}},
        {"CutInsideTheFirstRecord",
         {take(5), collect(5, 0), collect_as(Shape::Cut, 0, 0, 0), collect(0, 5)}},
        {"SilentAtARecordsEnd",
         {take(5), collect(5, 0), take(1), collect_as(Shape::Boundary, 3, 0, 3), collect(1, 5)}},
        {"CutAfterAnEraseOutside",
         {take(3), collect(3, 0), external_erase(), take(3), collect_as(Shape::Cut, 2, 0, 0),
          collect(3, 0, E::NotRequested, false, true)}},
        {"ErasedOutsideThenSameCount",
         {take(3), collect(3, 0), external_erase(), take(3),
          collect(3, 0, E::NotRequested, false, true)}},
        {"MoreThanAnnouncedStoresNone",
         {take(3), collect_as(Shape::Split, 1, 0, 0), collect(3, 0)}},
        {"MergedStoresWhatPrecedesIt",
         {take(4), collect_as(Shape::Merged, 2, 2, 0), collect(2, 2)},
         true},
        {"TrailerKeepsTheLastRecordBack",
         {take(3), collect_as(Shape::Trailer, 0, 2, 0), collect(1, 2)}},
        {"EmptyRecordIsARecord",
         {take(1), take_empty(), take(1), collect(3, 0), take(1), collect(1, 3)},
         true},
        {"EmptyReader", {collect(0, 0), take(1), collect(1, 0)}},
    };
    return all;
}

/// Runs a sequence: `store(download, erase_follows)` stores a download and
/// returns what it did, `set_erase(id, result)` records an erase. Returns
/// every text that arrived in a download.
template <class StoreFn, class EraseFn>
std::set<std::string> run_sequence(const Sequence& sequence, StoreFn store, EraseFn set_erase) {
    std::vector<DownloadedRecord> reader;
    std::vector<DownloadedRecord> taken;
    std::set<std::string> downloaded;
    for (std::size_t i = 0; i < sequence.steps.size(); ++i) {
        const Step& step = sequence.steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        switch (step.kind) {
            case Step::Take:
                for (int n = 0; n < step.count; ++n) {
                    DownloadedRecord record = nth_record(static_cast<int>(taken.size()));
                    if (step.empty) {
                        record.text.clear();
                        record.lead = '\0';
                        record.has_lead = false;
                    }
                    taken.push_back(record);
                    reader.push_back(record);
                }
                continue;
            case Step::TakeAgain:
                for (int n = 0; n < step.count; ++n) {
                    reader.push_back(taken.at(static_cast<std::size_t>(n)));
                }
                continue;
            case Step::ExternalErase:
                reader.clear();
                continue;
            case Step::Collect:
                break;
        }
        const Download download = download_of(reader, step);
        const std::size_t sure = download.complete() ? download.records.size() : 0;
        for (std::size_t r = 0; r < sure; ++r) {
            downloaded.insert(download.records[r].text);
        }
        const bool erase_follows = step.erase != EraseResult::NotRequested;
        const StoreOutcome outcome = store(download, erase_follows);
        EXPECT_EQ(outcome.new_records, step.expect_new);
        EXPECT_EQ(outcome.already_stored, step.expect_held);
        EXPECT_EQ(outcome.new_memory, step.expect_new_memory);
        if (erase_follows && step.erase != EraseResult::Pending) {
            set_erase(outcome.download_id, step.erase);
        }
        if (step.erased) {
            reader.clear();
        }
    }
    return downloaded;
}

}  // namespace kdr::store::test
