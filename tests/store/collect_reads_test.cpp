// A collect's own decisions, on a model reader without a line: which reads
// are sure, what a download stores when reads disagree, and whether an erase
// happened.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "collect/collect.hpp"
#include "collect/erase_check.hpp"
#include "model_reader.hpp"
#include "store_support.hpp"

namespace kdr::store::test {
namespace {

using collect::CollectResult;
using collect::ReadVerdict;
using kdr::test::cut_at;
using kdr::test::flip_at;
using kdr::test::ModelReader;
using Outcome = CollectResult::Outcome;

TEST(JudgeReads, TwoEqualAnswersAreSureAndThreeThatDifferAreNot) {
    using Kind = ReadVerdict::Kind;
    const std::optional<std::string> none;
    struct Case {
        std::vector<std::optional<std::string>> answers;
        Kind kind;
        std::size_t read;
    };
    const std::vector<Case> cases{
        {{"a"}, Kind::ReadMore, 0},
        {{"a", "a"}, Kind::Sure, 0},
        {{"a", "b"}, Kind::ReadMore, 0},
        {{"a", "b", "b"}, Kind::Sure, 1},
        {{"a", "b", "a"}, Kind::Sure, 0},
        {{"a", "b", "c"}, Kind::Unsure, 0},
        {{none, "a"}, Kind::ReadMore, 0},
        {{none, none, none}, Kind::Unsure, 0},  // reads that bring nothing agree on nothing
        {{"a", none, "a"}, Kind::Sure, 0},
    };
    for (const Case& c : cases) {
        const ReadVerdict verdict = collect::judge_reads(c.answers);
        EXPECT_EQ(verdict.kind, c.kind) << c.answers.size();
        if (c.kind == Kind::Sure) {
            EXPECT_EQ(verdict.read, c.read);
        }
    }
}

std::vector<simulator::Record> five_records() {
    return simulator::sample_records(5, {2026, 12, 1, 8, 0, 0});
}

// Every damaged read is held against another; what is stored is what the
// reader holds, once, under its own ID, and an unsure download stores none.
TEST(CollectReads, StoresOnlyWhatTwoReadsAgreeOn) {
    const std::size_t text = 20;  // inside the first record's text
    const std::size_t id = 3;     // inside the machine ID
    struct Case {
        std::string name;
        std::vector<ModelReader::Damage> damage;
        Outcome outcome;
        std::string reads;  // what each read got, as the store keeps it
        std::optional<EraseResult> erase;
    };
    const std::vector<Case> cases{
        {"whole", {}, Outcome::Stored, "whole,whole=1", EraseResult::Verified},
        {"ID damaged once",
         {flip_at(id)},
         Outcome::Stored,
         "whole,whole,whole=2",
         EraseResult::Verified},
        {"text damaged in the second read",
         {{}, flip_at(text)},
         Outcome::Stored,
         "whole,whole,whole=1",
         EraseResult::Verified},
        {"first read cut short",
         {cut_at(40)},
         Outcome::Stored,
         "cut 1/5,whole,whole=2",
         EraseResult::Verified},
        {"every read damaged elsewhere",
         {flip_at(text), flip_at(text + 9), flip_at(text + 20)},
         Outcome::Unsure,
         "whole,whole,whole",
         std::nullopt},
        {"the read-back's ID damaged",
         {{}, {}, flip_at(id)},
         Outcome::Stored,
         "whole,whole=1",
         EraseResult::OtherReader},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        const std::unique_ptr<Store> store = open_store((dir.path() / "s.sqlite").string());
        ModelReader reader;
        reader.records = five_records();
        for (const ModelReader::Damage& damage : c.damage) {
            reader.damage.push_back(damage ? damage : [](std::string a) { return a; });
        }
        const CollectResult result = collect::collect(reader, "model", *store, {true, {}, false});
        EXPECT_EQ(result.outcome, c.outcome) << result.detail;
        EXPECT_EQ(collect::encode_reads(result.reads), c.reads);
        EXPECT_EQ(collect::decode_reads(c.reads), result.reads);
        EXPECT_EQ(result.erase, c.erase) << result.detail;
        EXPECT_EQ(result.succeeded(), c.erase == EraseResult::Verified);
        const bool stored = c.outcome == Outcome::Stored;
        EXPECT_EQ(store->records({}).size(), stored ? 5U : 0U);
        EXPECT_EQ(reader.records.empty(),
                  c.erase == EraseResult::Verified || c.erase == EraseResult::OtherReader);
        for (const StoredDownload& download : store->downloads()) {
            EXPECT_EQ(download.machine_id, "KDR00001");
        }

        // A whole collect afterwards leaves every record stored once.
        const CollectResult again = collect::collect(reader, "model", *store, {false, {}, false});
        EXPECT_EQ(again.outcome, Outcome::Stored);
        EXPECT_EQ(store->records({}).size(), 5U);
    }
}

TEST(EraseCheck, OnlyTheSameReaderReadBackEmptyIsSurelyErased) {
    using Erase = ModelReader::Erase;
    const auto none = [](const std::string&) { return std::string(); };
    struct Case {
        Erase erase;
        std::optional<ModelReader::Damage> read_back;
        EraseResult result;
    };
    const std::vector<Case> cases{
        {Erase::Acknowledge, std::nullopt, EraseResult::Verified},
        {Erase::Silently, std::nullopt, EraseResult::Verified},
        {Erase::Refuse, std::nullopt, EraseResult::Refused},
        {Erase::IgnoreSilently, std::nullopt, EraseResult::NotErased},
        {Erase::AcknowledgeOnly, std::nullopt, EraseResult::NotErased},
        {Erase::Acknowledge, none, EraseResult::Acknowledged},
        {Erase::Silently, none, EraseResult::Silent},
        {Erase::Acknowledge, flip_at(2), EraseResult::OtherReader},
        {Erase::AcknowledgeOnly, flip_at(2), EraseResult::OtherReader},
    };
    for (const Case& c : cases) {
        ModelReader reader;
        reader.records = five_records();
        reader.erases.push_back(c.erase);
        if (c.read_back) {
            reader.damage.push_back(*c.read_back);
        }
        const collect::EraseCheck check = collect::erase_and_check(reader, "KDR00001");
        EXPECT_EQ(check.result, c.result) << static_cast<int>(c.erase) << ' ' << check.detail;
        EXPECT_EQ(check.records, c.result == EraseResult::NotErased ? 5 : 0);
    }
}

}  // namespace
}  // namespace kdr::store::test
