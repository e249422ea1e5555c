// The never-twice rule alone, without a database: every sequence of collects,
// erases and line damage, and which records of a damaged download are sure.
#include "store/rule.hpp"

#include <gtest/gtest.h>

#include <set>

#include "protocol/record_decoding.hpp"
#include "sequences.hpp"

namespace kdr::store::test {
namespace {

class Rule : public ::testing::TestWithParam<Sequence> {};

TEST_P(Rule, StoresEachRecordOnce) {
    // The store's memory as the rule keeps it: a new one on a new memory,
    // none after an erase that ends it.
    std::vector<DownloadedRecord> memory;
    std::multiset<std::string> stored;
    std::int64_t downloads = 0;
    const std::set<std::string> downloaded = run_sequence(
        GetParam(),
        [&](const Download& download, bool /*erase_follows*/) {
            const Plan plan = plan_download(memory, download);
            if (plan.new_memory) {
                memory.clear();
            }
            for (std::size_t i = plan.first_new; i < plan.end; ++i) {
                memory.push_back(download.records[i]);
                stored.insert(download.records[i].text);
            }
            return StoreOutcome{++downloads, plan.new_records(), plan.already_stored,
                                plan.new_memory};
        },
        [&](std::int64_t /*id*/, EraseResult result) {
            if (ends_memory(result)) {
                memory.clear();
            }
        });
    for (const std::string& text : downloaded) {
        EXPECT_GE(stored.count(text), 1U) << text;
    }
}

std::string rule_name(const ::testing::TestParamInfo<Sequence>& param) {
    return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Sequences, Rule, ::testing::ValuesIn(sequences()), rule_name);

TEST(SureRecords, StopAtTheFirstAnomaly) {
    std::vector<DownloadedRecord> reader;
    for (int n = 0; n < 5; ++n) {
        reader.push_back(nth_record(n));
    }
    struct Case {
        Shape shape;
        std::size_t at;
        std::size_t sure;
    };
    const std::vector<Case> cases{
        {Shape::Whole, 0, 5}, {Shape::Cut, 3, 3},    {Shape::Boundary, 4, 4},
        {Shape::Split, 2, 0}, {Shape::Merged, 1, 1}, {Shape::Trailer, 0, 4},
    };
    for (const Case& c : cases) {
        Step step;
        step.shape = c.shape;
        step.at = c.at;
        EXPECT_EQ(sure_records(download_of(reader, step)), c.sure)
            << static_cast<int>(c.shape) << " at " << c.at;
    }
}

// A "?" near the end of a text, its next character made CR on the line: the
// piece left takes the real separator into the next stamp, and the count
// comes out right. The answer is incomplete all the same.
TEST(SureRecords, SeparatorSwallowedIntoAStamp) {
    std::string answer = "\x02KDR0007700004";
    for (int n = 0; n < 4; ++n) {
        DownloadedRecord record = nth_record(n);
        record.text = n == 1 ? "AB?x" : "T" + std::to_string(n);
        answer += std::string(record.stamp.chars()) + record.lead + record.text + "?\r";
    }
    ASSERT_TRUE(protocol::decode_records(answer, 2026).complete());
    answer[answer.find("?x") + 1] = '\r';
    const Download damaged = protocol::decode_records(answer, 2026);
    EXPECT_EQ(damaged.records.size(), 4U);
    EXPECT_FALSE(damaged.complete());
    EXPECT_EQ(sure_records(damaged), 1U);
}

}  // namespace
}  // namespace kdr::store::test
