// The station mode's decisions on a virtual clock: each case is what the
// station saw, step by step and when, and what the policy must answer.
#include "collect/station_policy.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace kdr::collect {
namespace {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;
using Do = Decision::Do;
using Time = StationPolicy::Time;

// A download whose header came (or none) `took` before the step's time.
struct Look {
    std::optional<Header> header;
    Ms took = 100ms;
};
// A collect that ended at the step's time, begun `took` before.
struct Collect {
    Collected result;
    Ms took = 200ms;
};

struct Step {
    Ms at;
    std::variant<PollFound, Look, Collect> event;
    Do what;
    std::vector<Notice> notices = {};
    std::optional<Retry> retry = {};
    std::optional<Ms> wake = {};  // checked when given
};

struct Case {
    std::string name;
    std::vector<Step> steps;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

constexpr PollFound kReader = PollFound::Reader;
constexpr PollFound kEmpty = PollFound::NoAnswer;
constexpr PollFound kRefused = PollFound::Refused;
constexpr PollFound kPortFailed = PollFound::PortFailed;

Look header(const std::string& id, std::int32_t announced, Ms took = 100ms) {
    return {Header{id, announced}, took};
}
Collect stored(const std::string& id, std::int32_t announced, bool erased, Ms took = 200ms) {
    return {Collected{true, erased, id, announced}, took};
}
Collect failed(const std::string& id, Ms took = 200ms) {
    return {Collected{false, false, id, 40}, took};
}

// A failed try at `at` (poll, download, collect in the same instant's
// neighbourhood) and what it must be numbered and backed off by.
std::vector<Step> failed_try(Ms at, int tries, std::chrono::seconds again) {
    return {{at, kReader, Do::Download},
            {at + 100ms, header("KDR000F1", 40), Do::Store},
            {at + 300ms, failed("KDR000F1"), Do::Wait, {}, Retry{tries, again}}};
}

std::vector<Step> joined(std::initializer_list<std::vector<Step>> parts) {
    std::vector<Step> all;
    for (const std::vector<Step>& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const std::vector<Case>& cases() {
    static const std::vector<Case> table{
        {"ReaderErasedIsLookedAtAgainAndCollectedWhenRecordsShow",
         {{0ms, kReader, Do::Download},
          {300ms, header("KDR000A1", 4), Do::Store},
          {500ms, stored("KDR000A1", 4, true), Do::Wait, {}, {}, 2000ms},
          {2000ms, kReader, Do::Wait},  // its header is due 2 s after the erase
          {4000ms, kReader, Do::Download},
          {4100ms, header("KDR000A1", 0), Do::Wait},
          {6000ms, kReader, Do::Download},
          {6100ms, header("KDR000A1", 0), Do::Wait},
          {8000ms, kReader, Do::Download},
          {8100ms, header("KDR000A1", 3), Do::Store}}},
        {"EmptyReaderIsCollectedOncePerDocking",
         {{0ms, kReader, Do::Download},
          {100ms, header("KDR000E1", 0), Do::Store},
          {300ms, stored("KDR000E1", 0, true), Do::Wait},
          {2000ms, kReader, Do::Wait},
          {4000ms, kReader, Do::Download},
          {4100ms, header("KDR000E1", 0), Do::Wait},
          {6000ms, kEmpty, Do::Wait},
          {8000ms, kEmpty, Do::Wait},  // taken out
          {10000ms, kReader, Do::Download},
          {10100ms, header("KDR000E1", 0), Do::Store}}},
        {"EmptyReaderNotErasedIsLeftAlone",
         {{0ms, kReader, Do::Download},
          {100ms, header("KDR000E2", 0), Do::Store},
          {300ms, stored("KDR000E2", 0, false), Do::Wait},
          {4000ms, kReader, Do::Download},
          {4100ms, header("KDR000E2", 0), Do::Wait}}},
        {"OneMissedAnswerIsNoReaderTakenOut",
         {{0ms, kReader, Do::Download},
          {800ms, header("KDR000B1", 9, 800ms), Do::Store},
          {1000ms, stored("KDR000B1", 9, false, 1000ms), Do::Wait},
          {2000ms, kEmpty, Do::Wait},
          {4000ms, kReader, Do::Wait},  // not erased: looked at 5 downloads' time later
          {6000ms, kReader, Do::Download},
          {6800ms, header("KDR000B1", 9, 800ms), Do::Wait},
          {8000ms, kReader, Do::Wait},
          {10000ms, kReader, Do::Download}}},
        {"ReaderSwappedBetweenTwoPollsIsCollected",
         {{0ms, kReader, Do::Download},
          {100ms, header("KDR000C1", 2), Do::Store},
          {300ms, stored("KDR000C1", 2, true), Do::Wait},
          {4000ms, kReader, Do::Download},
          {4100ms, header("KDR000C2", 0), Do::Store},
          {4300ms, stored("KDR000C2", 0, true), Do::Wait}}},
        {"CollectedReaderThatSendsNoDownloadIsLeftToThePolls",
         {{0ms, kReader, Do::Download},
          {100ms, header("KDR000D1", 2), Do::Store},
          {300ms, stored("KDR000D1", 2, true), Do::Wait},
          {4000ms, kReader, Do::Download},
          {4100ms, Look{}, Do::Wait},
          {6000ms, kEmpty, Do::Wait},
          {8000ms, kReader, Do::Download},
          {8100ms, Look{}, Do::Wait}}},
        {"NoDownloadFromAReaderNotCollectedIsAFailedTry",
         {{0ms, kReader, Do::Download},
          {100ms, Look{}, Do::Store},
          {200ms, failed(""), Do::Wait, {}, Retry{1, 2s}}}},
        {"FailedTriesBackOffToAMinute",
         joined({failed_try(0ms, 1, 2s),
                 {{2000ms, kReader, Do::Wait}},  // due at 2.3 s
                 failed_try(4000ms, 2, 4s),
                 {{6000ms, kReader, Do::Wait}},
                 failed_try(8300ms, 3, 8s),
                 failed_try(16600ms, 4, 16s),
                 failed_try(32900ms, 5, 32s),
                 failed_try(65200ms, 6, 60s),
                 {{125000ms, kReader, Do::Wait}},
                 failed_try(125500ms, 7, 60s),
                 {{185800ms, kReader, Do::Download},
                  {185900ms, header("KDR000F1", 40), Do::Store},
                  {186000ms, stored("KDR000F1", 40, true), Do::Wait}}})},
        {"TriesStartAgainForAnotherReaderAndAfterASuccess",
         joined({failed_try(0ms, 1, 2s),
                 failed_try(2300ms, 2, 4s),
                 {{6600ms, kReader, Do::Download},
                  {6700ms, header("KDR000G1", 1), Do::Store},
                  {6900ms, failed("KDR000G1"), Do::Wait, {}, Retry{1, 2s}},
                  {8900ms, kReader, Do::Download},
                  {9000ms, header("KDR000G1", 1), Do::Store},
                  {9200ms, stored("KDR000G1", 1, true), Do::Wait},
                  {11200ms, kReader, Do::Download},
                  {11300ms, header("KDR000G1", 5), Do::Store},
                  {11500ms, failed("KDR000G1"), Do::Wait, {}, Retry{1, 2s}}}})},
        {"ReaderThatRefusesThePasswordIsSaidOncePerDocking",
         {{0ms, kRefused, Do::Wait, {Notice::WrongPassword}},
          {2000ms, kRefused, Do::Wait},
          {4000ms, kEmpty, Do::Wait},
          {6000ms, kRefused, Do::Wait},
          {8000ms, kEmpty, Do::Wait},
          {10000ms, kEmpty, Do::Wait},
          {12000ms, kRefused, Do::Wait, {Notice::WrongPassword}},
          // Swapped for a reader that takes the password, then back.
          {14000ms, kReader, Do::Download},
          {14100ms, header("KDR000H1", 1), Do::Store},
          {14300ms, stored("KDR000H1", 1, true), Do::Wait},
          {16000ms, kRefused, Do::Wait, {Notice::WrongPassword}},
          {18000ms, kRefused, Do::Wait}}},
        {"PortThatFailsIsSaidOnceAndAgainWhenItWorks",
         {{0ms, kPortFailed, Do::Wait, {Notice::PortFailed}, {}, 2000ms},
          {2000ms, kPortFailed, Do::Wait},
          {4000ms, kEmpty, Do::Wait, {Notice::PortBack}},
          {6000ms, kEmpty, Do::Wait},
          {8000ms, kPortFailed, Do::Wait, {Notice::PortFailed}},
          {10000ms, kRefused, Do::Wait, {Notice::PortBack, Notice::WrongPassword}},
          {12000ms, kPortFailed, Do::Wait, {Notice::PortFailed}},
          {14000ms, kReader, Do::Download, {Notice::PortBack}}}},
        {"PortThatFailsTwiceIsAReaderTakenOut",
         {{0ms, kReader, Do::Download},
          {100ms, header("KDR000J1", 0), Do::Store},
          {300ms, stored("KDR000J1", 0, true), Do::Wait},
          {2000ms, kPortFailed, Do::Wait, {Notice::PortFailed}},
          {4000ms, kPortFailed, Do::Wait},
          {6000ms, kReader, Do::Download, {Notice::PortBack}},
          {6100ms, header("KDR000J1", 0), Do::Store}}},
        {"LongDownloadPollsAgainAtOnce",
         {{0ms, kReader, Do::Download},
          {9000ms, header("KDR000K1", 900, 9000ms), Do::Store},
          {9500ms, stored("KDR000K1", 900, true, 9500ms), Do::Wait, {}, {}, 9500ms},
          {9500ms, kReader, Do::Wait, {}, {}, 11500ms}}},
    };
    return table;
}

class StationPolicyCase : public ::testing::TestWithParam<Case> {};

TEST_P(StationPolicyCase, DecidesEachStep) {
    // Far from the clock's epoch, as a steady clock's time is.
    const Time start = Time{} + 1000h;
    StationPolicy policy;
    for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
        const Step& step = GetParam().steps[i];
        SCOPED_TRACE(::testing::Message() << "step " << i << " at " << step.at.count() << " ms");
        const Time now = start + step.at;
        const Decision decision = std::visit(
            [&](const auto& event) {
                using Event = std::decay_t<decltype(event)>;
                if constexpr (std::is_same_v<Event, PollFound>) {
                    return policy.polled(event, now);
                } else if constexpr (std::is_same_v<Event, Look>) {
                    return policy.looked(event.header, now - event.took, now);
                } else {
                    return policy.collected(event.result, now - event.took, now);
                }
            },
            step.event);
        EXPECT_EQ(decision.what, step.what);
        EXPECT_EQ(decision.notices, step.notices);
        EXPECT_EQ(decision.retry, step.retry);
        if (step.wake) {
            EXPECT_EQ(decision.wake, start + *step.wake);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, StationPolicyCase, ::testing::ValuesIn(cases()),
                         [](const auto& param) { return param.param.name; });

// What a failed poll found: a dropped line is a failed port only behind a
// device server; a garbled reply is no refusal.
TEST(StationPolicy, PollFailures) {
    struct Row {
        ErrorKind kind;
        bool network;
        PollFound found;
    };
    const std::vector<Row> rows{
        {ErrorKind::Refused, false, PollFound::Refused},
        {ErrorKind::NoAnswer, false, PollFound::NoAnswer},
        {ErrorKind::NoAnswer, true, PollFound::NoAnswer},
        {ErrorKind::LineBusy, false, PollFound::Garbled},
        {ErrorKind::BadAnswer, false, PollFound::Garbled},
        {ErrorKind::LineDropped, false, PollFound::NoAnswer},
        {ErrorKind::LineDropped, true, PollFound::PortFailed},
        {ErrorKind::PortMissing, false, PollFound::PortFailed},
        {ErrorKind::PortMissing, true, PollFound::PortFailed},
        {ErrorKind::PortBusy, false, PollFound::PortFailed},
        {ErrorKind::InvalidPortNumber, false, PollFound::PortFailed},
        {ErrorKind::IoError, false, PollFound::PortFailed},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(poll_failure(row.kind, row.network), row.found)
            << to_string(row.kind) << (row.network ? " (network)" : "");
    }
}

}  // namespace
}  // namespace kdr::collect
