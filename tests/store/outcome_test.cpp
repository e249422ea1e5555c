// What a collect says: the outcome's one line and its JSON for each kind of
// reads, completeness, check and erase; and whose fault each kind of error
// is. Every surface prints these, so they are tested here once.
#include "collect/outcome.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace kdr::collect {
namespace {

using store::EraseResult;
using store::ReadCheck;
using Got = Read::Got;

Read got(Got what, int same_as = 0) {
    Read read;
    read.got = what;
    read.same_as = same_as;
    return read;
}

Read cut(std::size_t records, std::int32_t announced) {
    Read read = got(Got::Cut);
    read.records = records;
    read.announced = announced;
    return read;
}

CollectResult stored(std::vector<Read> reads, ReadCheck check,
                     std::optional<EraseResult> erase = std::nullopt) {
    CollectResult result;
    result.outcome = check == ReadCheck::Unsure ? Outcome::Unsure : Outcome::Stored;
    result.port = "/dev/ttyUSB0";
    result.reader = "KDR00077";
    result.machine_id = "KDR00077";
    result.announced = 5;
    result.received = 5;
    result.complete = true;
    result.read_count = static_cast<int>(reads.size());
    result.reads = std::move(reads);
    result.check = check;
    result.new_records = check == ReadCheck::Unsure ? 0 : 5;
    result.erase = erase;
    return result;
}

TEST(Outcome, OneLineAndItsJsonForEachWayACollectEnds) {
    CollectResult incomplete = stored({cut(3, 5), cut(3, 5)}, ReadCheck::Sure);
    incomplete.outcome = Outcome::Incomplete;
    incomplete.complete = false;
    incomplete.received = 3;
    incomplete.new_records = 3;
    incomplete.reads[1].same_as = 1;
    CollectResult stopped;
    stopped.outcome = Outcome::Stopped;
    stopped.port = "/dev/ttyUSB0";
    CollectResult slow_link;
    slow_link.outcome = Outcome::NoDownload;
    slow_link.port = "tcp://dock:4001";
    slow_link.network = true;
    slow_link.failure = ErrorClass::Reader;
    slow_link.detail = "The reader sent nothing";

    struct Case {
        std::string name;
        CollectResult result;
        std::string line;
        std::string check;  // the JSON's
        bool succeeded;
    };
    const std::string name = "KDR00077 on /dev/ttyUSB0: ";
    const std::vector<Case> cases{
        {"two reads agreed, erased",
         stored({got(Got::Whole), got(Got::Whole, 1)}, ReadCheck::Sure, EraseResult::Verified),
         name + "5 new, 0 already stored; erased (read back: the reader holds no record)", "sure",
         true},
        {"a third read decided",
         stored({got(Got::Whole), got(Got::NoAnswer), got(Got::Whole, 1)}, ReadCheck::Sure),
         name + "5 new, 0 already stored; sure after a third read (read 2 no answer); not "
                "erased (no --erase)",
         "sure", true},
        {"a third read after a damaged one",
         stored({got(Got::Whole), got(Got::Whole), got(Got::Whole, 2)}, ReadCheck::Sure),
         name + "5 new, 0 already stored; sure after a third read (read 1 differed); not erased "
                "(no --erase)",
         "sure", true},
        {"one read trusted", stored({got(Got::Whole)}, ReadCheck::NotChecked),
         name + "5 new, 0 already stored; 1 read, not checked; not erased (no --erase)",
         "not checked", true},
        {"later reads unanswered",
         stored({got(Got::Whole), got(Got::NoAnswer), got(Got::Dropped)}, ReadCheck::Unsure),
         name + "no record stored, nothing erased: read 1 whole, read 2 no answer, read 3 the "
                "line dropped: no second answer to compare the first with (the reader stopped "
                "answering or the line dropped: check the cable and the cradle, then collect "
                "again; the answer is kept in the store)",
         "unsure", false},
        {"later reads cut", stored({got(Got::Whole), cut(2, 5), cut(4, 5)}, ReadCheck::Unsure),
         name + "no record stored, nothing erased: read 1 whole, read 2 cut after 2 of 5 "
                "records, read 3 cut after 4 of 5 records: the answers were cut short, so no "
                "two could be compared (a cradle's contacts or a link that breaks off: check "
                "them, then collect again; the answers are kept in the store)",
         "unsure", false},
        {"whole answers that differ",
         stored({got(Got::Whole), got(Got::Whole), got(Got::Whole)}, ReadCheck::Unsure),
         name + "no record stored, nothing erased: read 1 whole, read 2 whole, read 3 whole, and "
                "the whole answers differ: the line is damaging the data (check the cable, the "
                "cradle's contacts or the network link, then collect again; the answers are kept "
                "in the store)",
         "unsure", false},
        {"incomplete", incomplete,
         name + "3 new, 0 already stored; not erased: only 3 of 5 records arrived whole; "
                "download again before erasing the reader",
         "sure", false},
        {"erase not confirmed",
         stored({got(Got::Whole), got(Got::Whole, 1)}, ReadCheck::Sure, EraseResult::Silent),
         name + "5 new, 0 already stored; erase not confirmed: not known (the next collect "
                "stores nothing twice either way)",
         "sure", false},
        {"stopped", stopped,
         "stopped during the download from /dev/ttyUSB0: nothing stored, nothing erased",
         "not checked", false},
        {"a slow network link", slow_link,
         "tcp://dock:4001: nothing stored, nothing erased: The reader sent nothing (on a network "
         "port the link may be slower than the wait: give its round trip with --latency or "
         "KDR_LATENCY)",
         "not checked", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(describe(c.result), c.line);
        const nlohmann::ordered_json json = to_json(c.result);
        EXPECT_EQ(json.at("message"), c.line);
        EXPECT_EQ(json.at("check"), c.check);
        EXPECT_EQ(json.at("sure"), c.check == "sure");
        EXPECT_EQ(json.at("succeeded"), c.succeeded);
        EXPECT_EQ(json.at("each_read").size(), c.result.reads.size());
        EXPECT_EQ(decode_reads(encode_reads(c.result.reads)), c.result.reads);
    }
}

// One classification, which every part asks.
// What needs attention, from a reader's last download, its port and the
// days since: each kind alone and together, and the edges of staleness.
TEST(Attention, EachKindFromTheLastDownloadItsPortAndItsAge) {
    using std::chrono::sys_days;
    const auto now = sys_days{std::chrono::year{2026} / 12 / 10} + std::chrono::hours{12};
    const auto download = [](ReadCheck check, bool complete, EraseResult erase,
                             const char* ended = "2026-12-09T08:00:00.000Z") {
        store::StoredDownload d;
        d.machine_id = "KDR00077";
        d.port = "/dev/ttyUSB0";
        d.ended = ended;
        d.announced = 5;
        d.received = complete ? 5 : 3;
        d.complete = complete;
        d.reads = 3;
        d.check = check;
        d.erase = erase;
        return d;
    };
    const store::PortState missing{"/dev/ttyUSB0", false, "missing", "2026-12-10T09:00:00.000Z",
                                   "KDR00077"};
    const store::PortState other{"/dev/ttyUSB1", false, "busy", "2026-12-10T09:00:00.000Z", ""};
    struct Case {
        const char* name;
        std::optional<store::StoredDownload> last;
        std::vector<store::PortState> ports;
        std::vector<std::string> keys;
        std::string first_words;
    };
    const std::vector<Case> cases{
        {"all well", download(ReadCheck::Sure, true, EraseResult::Verified), {}, {}, ""},
        {"not asked to erase",
         download(ReadCheck::Sure, true, EraseResult::NotRequested),
         {},
         {},
         ""},
        {"unsure",
         download(ReadCheck::Unsure, true, EraseResult::Skipped),
         {},
         {"unsure"},
         "last collect unsure: 3 reads, no two agreed"},
        {"incomplete",
         download(ReadCheck::Sure, false, EraseResult::Skipped),
         {},
         {"incomplete"},
         "last collect incomplete: 3 of 5 records"},
        {"refused",
         download(ReadCheck::Sure, true, EraseResult::Refused),
         {},
         {"not_erased"},
         "erase refused by the reader"},
        {"still holds records",
         download(ReadCheck::Sure, true, EraseResult::NotErased),
         {},
         {"not_erased"},
         "not erased: the reader still holds records"},
        {"acknowledged only",
         download(ReadCheck::Sure, true, EraseResult::Acknowledged),
         {},
         {"erase_unverified"},
         "erased, not verified"},
        {"another reader answered",
         download(ReadCheck::Sure, true, EraseResult::OtherReader),
         {},
         {"erase_unverified"},
         "erase not confirmed: another reader answered"},
        {"its port is missing",
         download(ReadCheck::Sure, true, EraseResult::Verified),
         {other, missing},
         {"port_unreachable"},
         "port /dev/ttyUSB0 unreachable (missing) since 2026-12-10 09:00 UTC"},
        {"another port is busy",
         download(ReadCheck::Sure, true, EraseResult::Verified),
         {other},
         {},
         ""},
        {"a day short of stale",
         download(ReadCheck::Sure, true, EraseResult::Verified, "2026-12-03T12:00:01.000Z"),
         {},
         {},
         ""},
        {"stale",
         download(ReadCheck::Sure, true, EraseResult::Verified, "2026-12-03T12:00:00.000Z"),
         {},
         {"stale"},
         "not collected for 7 days"},
        {"never collected", std::nullopt, {}, {"stale"}, "never collected"},
        {"together",
         download(ReadCheck::Sure, false, EraseResult::Skipped, "2026-11-01T00:00:00.000Z"),
         {missing},
         {"incomplete", "port_unreachable", "stale"},
         "last collect incomplete: 3 of 5 records"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store::ReaderSummary reader;
        reader.machine_id = "KDR00077";
        reader.last_download = c.last;
        const std::vector<Need> needs = needs_attention(reader, c.ports, now, 7);
        std::vector<std::string> keys;
        keys.reserve(needs.size());
        for (const Need& need : needs) {
            keys.emplace_back(attention_key(need.kind));
        }
        EXPECT_EQ(keys, c.keys);
        EXPECT_EQ(needs.empty() ? std::string() : needs.front().words, c.first_words);
    }
}

TEST(ErrorClassification, EachKindHasOneClass) {
    const std::vector<std::pair<ErrorKind, ErrorClass>> rows{
        {ErrorKind::None, ErrorClass::None},
        {ErrorKind::PortMissing, ErrorClass::Port},
        {ErrorKind::PortBusy, ErrorClass::Port},
        {ErrorKind::PortNotOpen, ErrorClass::Port},
        {ErrorKind::InvalidPortNumber, ErrorClass::Port},
        {ErrorKind::InvalidSettings, ErrorClass::Port},
        {ErrorKind::IoError, ErrorClass::Port},
        {ErrorKind::LineDropped, ErrorClass::Line},
        {ErrorKind::LineBusy, ErrorClass::Line},
        {ErrorKind::BadAnswer, ErrorClass::Line},
        {ErrorKind::AnswerTooLong, ErrorClass::Line},
        {ErrorKind::NoAnswer, ErrorClass::Reader},
        {ErrorKind::Incomplete, ErrorClass::Reader},
        {ErrorKind::ClockMismatch, ErrorClass::Reader},
        {ErrorKind::Refused, ErrorClass::Password},
        {ErrorKind::NotConnected, ErrorClass::Usage},
        {ErrorKind::OperationInProgress, ErrorClass::Usage},
        {ErrorKind::InvalidArgument, ErrorClass::Usage},
        {ErrorKind::TypeMismatch, ErrorClass::Usage},
        {ErrorKind::Overflow, ErrorClass::Usage},
        {ErrorKind::InvalidUseOfNull, ErrorClass::Usage},
    };
    for (const auto& [kind, expected] : rows) {
        EXPECT_EQ(error_class(kind), expected) << to_string(kind);
    }
    // Every kind is in the table (LineBusy is the last of the enumeration).
    EXPECT_EQ(rows.size(), static_cast<std::size_t>(ErrorKind::LineBusy) + 1);
}

}  // namespace
}  // namespace kdr::collect
