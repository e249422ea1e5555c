// The simulated reader without I/O: requests in, scheduled replies out.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "controller_fixture.hpp"
#include "kdr/error.hpp"
#include "kdr/protocol.hpp"
#include "kdr/simulator.hpp"
#include "protocol/record_decoding.hpp"

namespace kdr::simulator {
namespace {

using namespace std::chrono_literals;
namespace p = kdr::protocol;

const Clock::Instant kStart{};
const LocalDateTime kClock{2024, 2, 28, 23, 59, 30};
const std::string kPadded = "1234    ";

std::string request(char letter, std::string_view data = {}) {
    if (letter == p::kConnect) {
        return p::build_frame(std::string(1, p::kConnect) + std::string(data));
    }
    return p::build_frame(p::command_body(kPadded, letter, data));
}

std::vector<Record> some_records() {
    return {{{2024, 1, 5, 8, 15, 0}, "ITEM 1", 'A'},
            {{2024, 1, 5, 9, 0, 59}, "QTY? 3", 'B'},
            {{2024, 2, 1, 23, 59, 59}, std::string(500, 'x'), 'C'}};
}

ReaderConfig fast_config(std::vector<Fault> faults = {}) {
    ReaderConfig config;
    config.password = "1234";
    config.records = some_records();
    config.clock = kClock;
    config.pacing = Pacing::Fast;
    config.response_delay = 0ms;
    config.faults = std::move(faults);
    return config;
}

std::string joined(const std::vector<Emission>& emissions) {
    std::string bytes;
    for (const Emission& emission : emissions) {
        bytes += emission.bytes;
    }
    return bytes;
}

// ---- Requests and replies -------------------------------------------------

struct Exchange {
    const char* name;
    std::string frame;
    std::string reply;
    Verdict verdict;
    char letter;
};

void PrintTo(const Exchange& exchange, std::ostream* out) {
    *out << exchange.name;
}

class ReaderReplies : public ::testing::TestWithParam<Exchange> {};

TEST_P(ReaderReplies, AnswersAsTheReaderDoes) {
    const Exchange& c = GetParam();
    ReaderModel reader(fast_config(), kStart);
    EXPECT_EQ(joined(reader.receive(c.frame, kStart)), c.reply);
    ASSERT_EQ(reader.requests().size(), 1U);
    EXPECT_EQ(reader.requests()[0].verdict, c.verdict);
    EXPECT_EQ(reader.requests()[0].letter, c.letter);
    EXPECT_EQ(reader.requests()[0].frame, c.frame);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReaderReplies,
    ::testing::Values(
        Exchange{"ConnectRightPassword", request('P', kPadded), p::ack_reply(), Verdict::Accepted,
                 'P'},
        Exchange{"ConnectWrongPassword", request('P', "12345   "), p::nak_reply(),
                 Verdict::WrongPassword, 'P'},
        Exchange{"ConnectUnpaddedPassword", request('P', "1234"), p::nak_reply(),
                 Verdict::WrongPassword, 'P'},
        Exchange{"BadChecksum", "\x02P1234    \r!\x03", p::nak_reply(), Verdict::BadChecksum, 'P'},
        Exchange{"Download", request('D'), download_answer("KDR00001", some_records()),
                 Verdict::Accepted, 'D'},
        Exchange{"DownloadWithData", request('D', "x"), p::nak_reply(), Verdict::BadRequest, 'D'},
        Exchange{"DownloadWrongPassword", p::build_frame("abcdefghD"), p::nak_reply(),
                 Verdict::WrongPassword, 'D'},
        Exchange{"SetClock", request('T', p::encode_clock({2030, 12, 31, 23, 59, 59})),
                 p::ack_reply(), Verdict::Accepted, 'T'},
        Exchange{"SetClockImpossibleDate", request('T', p::encode_clock({2030, 2, 30, 0, 0, 0})),
                 p::nak_reply(), Verdict::BadRequest, 'T'},
        Exchange{"SetClockShortData", request('T', "12345"), p::nak_reply(), Verdict::BadRequest,
                 'T'},
        Exchange{"ReadClockAnswersItsOwnClock",
                 request('R', p::encode_clock({2001, 1, 1, 1, 1, 1})), clock_reply(kClock),
                 Verdict::Accepted, 'R'},
        Exchange{"Erase", request('E'), p::ack_reply(), Verdict::Accepted, 'E'},
        Exchange{"UnknownLetter", request('X'), p::nak_reply(), Verdict::BadRequest, 'X'}),
    [](const ::testing::TestParamInfo<Exchange>& param) { return param.param.name; });

TEST(ReaderModel, EmptyPasswordIsEightSpacesAndLongPasswordsAreWhole) {
    ReaderConfig config = fast_config();
    config.password = "";
    ReaderModel blank(config, kStart);
    EXPECT_EQ(joined(blank.receive(p::build_frame("P        "), kStart)), p::ack_reply());
    config.password = "a-long-password";
    ReaderModel longer(config, kStart);
    EXPECT_EQ(joined(longer.receive(p::build_frame("Pa-long-pass"), kStart)), p::nak_reply());
    EXPECT_EQ(joined(longer.receive(p::build_frame("Pa-long-password"), kStart)), p::ack_reply());
    EXPECT_EQ(joined(longer.receive(p::build_frame("a-long-passwordE"), kStart)), p::ack_reply());
}

TEST(ReaderModel, FramesAreReassembledAcrossReadsAndNoiseIsSkipped) {
    ReaderModel reader(fast_config(), kStart);
    const std::string frame = request('P', kPadded);
    // Noise, then a broken frame that a new STX restarts, then the frame in pieces.
    EXPECT_TRUE(reader.receive("zz\x03\r", kStart).empty());
    EXPECT_TRUE(reader.receive("\x02P12", kStart).empty());
    EXPECT_TRUE(reader.receive(frame.substr(0, 4), kStart).empty());
    EXPECT_TRUE(reader.receive(frame.substr(4, 6), kStart).empty());
    EXPECT_EQ(joined(reader.receive(frame.substr(10), kStart)), p::ack_reply());
    // Two frames in one read get two replies.
    EXPECT_EQ(joined(reader.receive(frame + frame, kStart)), p::ack_reply() + p::ack_reply());
    EXPECT_EQ(reader.requests().size(), 3U);
}

TEST(ReaderModel, ClockRunsFromItsSettingAndEraseForgetsRecords) {
    ReaderModel reader(fast_config(), kStart);
    EXPECT_EQ(reader.clock_at(kStart + 45s), (LocalDateTime{2024, 2, 29, 0, 0, 15}));
    const LocalDateTime set{2099, 12, 31, 23, 59, 58};
    static_cast<void>(reader.receive(request('T', p::encode_clock(set)), kStart + 10s));
    EXPECT_EQ(reader.clock_at(kStart + 11s), (LocalDateTime{2099, 12, 31, 23, 59, 59}));
    EXPECT_EQ(joined(reader.receive(request('R', std::string(6, ' ')), kStart + 11500ms)),
              clock_reply({2099, 12, 31, 23, 59, 59}));

    static_cast<void>(reader.receive(request('E'), kStart + 20s));
    EXPECT_TRUE(reader.records().empty());
    EXPECT_EQ(joined(reader.receive(request('D'), kStart + 21s)), download_answer("KDR00001", {}));
}

TEST(ReaderTexts, DownloadAnswerAndClockReplyLayout) {
    const std::vector<Record> records{{{2005, 2, 15, 14, 45, 57}, "AB?C", 'x'}};
    EXPECT_EQ(download_answer("ID7", records),
              std::string("\x02ID7     00001\x15\x12\x1f\x1e\x3d\x49xAB?C?\r"));
    const std::string reply = clock_reply({2007, 11, 16, 8, 5, 3});
    ASSERT_EQ(reply.size(), 10U);
    EXPECT_EQ(reply.substr(1, 6), std::string("\x17\x1b\x20\x18\x15\x13"));
    EXPECT_EQ(reply, p::build_frame(reply.substr(1, 6)));
}

TEST(ReaderTexts, AddSecondsCarriesThroughTheCalendar) {
    struct Case {
        LocalDateTime from;
        std::int64_t seconds;
        LocalDateTime to;
    };
    const Case cases[] = {
        {{2024, 2, 28, 23, 59, 59}, 1, {2024, 2, 29, 0, 0, 0}},
        {{2023, 2, 28, 23, 59, 59}, 1, {2023, 3, 1, 0, 0, 0}},
        {{2024, 12, 31, 23, 59, 59}, 1, {2025, 1, 1, 0, 0, 0}},
        {{2024, 1, 1, 0, 0, 0}, -1, {2023, 12, 31, 23, 59, 59}},
        {{2024, 1, 1, 0, 0, 0}, 97 * 60 * 3, {2024, 1, 1, 4, 51, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(add_seconds(c.from, c.seconds), c.to);
    }
}

TEST(ReaderTexts, CharacterTimeFollowsTheLineSettings) {
    EXPECT_EQ(character_time("19200,n,8,1"), Clock::Duration{520'833});
    EXPECT_EQ(character_time("9600,e,7,2"), Clock::Duration{1'145'833});  // 11 bits
    EXPECT_THROW(static_cast<void>(character_time("fast")), Error);
}

TEST(ReaderTexts, SampleRecordsAreValidAndVaried) {
    const std::vector<Record> records = sample_records(8, {2024, 1, 1, 12, 0, 0});
    ASSERT_EQ(records.size(), 8U);
    EXPECT_EQ(records.back().stamp, (LocalDateTime{2024, 1, 1, 12, 0, 0}));
    EXPECT_EQ(records.front().stamp, add_seconds({2024, 1, 1, 12, 0, 0}, -7 * 97 * 60));
    EXPECT_NE(records[2].text.find('?'), std::string::npos);
    ReaderConfig config;
    config.clock = kClock;
    config.records = records;
    EXPECT_NO_THROW(validate(config));
}

// ---- Configuration --------------------------------------------------------

TEST(ReaderConfigTest, RefusesWhatNoReaderHolds) {
    const auto with = [](auto change) {
        ReaderConfig config = fast_config();
        change(config);
        return config;
    };
    const std::vector<std::pair<const char*, ReaderConfig>> cases{
        {"machine ID", with([](ReaderConfig& c) { c.machine_id = "KDR000001"; })},
        {"?\" followed by CR", with([](ReaderConfig& c) { c.records[1].text = "a?\rb"; })},
        {"record 1", with([](ReaderConfig& c) { c.records[0].stamp.year = 1999; })},
        {"record 3", with([](ReaderConfig& c) { c.records[2].stamp.day = 31; })},  // 31 February
        {"reader clock", with([](ReaderConfig& c) { c.clock.hour = 24; })},
        {"burst", with([](ReaderConfig& c) { c.burst_size = 0; })},
        {"at most 99999", with([](ReaderConfig& c) { c.records.assign(100000, c.records[0]); })},
    };
    for (const auto& [expected, config] : cases) {
        try {
            validate(config);
            ADD_FAILURE() << "accepted a configuration with a bad " << expected;
        } catch (const Error& error) {
            EXPECT_EQ(error.kind(), ErrorKind::InvalidArgument);
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
        }
    }
    EXPECT_THROW(ReaderModel(with([](ReaderConfig& c) { c.line_settings = "x"; }), kStart), Error);
    // An unset reader's ID is eight spaces; a number may be right-aligned.
    for (const char* id : {"        ", "    1234"}) {
        EXPECT_NO_THROW(validate(with([id](ReaderConfig& c) { c.machine_id = id; }))) << id;
    }
}

TEST(FaultText, ParsesKindsAndLetters) {
    EXPECT_EQ(parse_fault("silent"), (Fault{FaultKind::Silent, ""}));
    EXPECT_EQ(parse_fault("refuse:T"), (Fault{FaultKind::Refuse, "T"}));
    EXPECT_EQ(parse_fault("short:PRP"), (Fault{FaultKind::ShortReply, "PR"}));
    EXPECT_EQ(parse_fault("pause"), (Fault{FaultKind::LongPause, ""}));
    EXPECT_EQ(to_string(parse_fault("drop:DE")), "drop:DE");
    EXPECT_EQ(parse_fault("merge"), (Fault{FaultKind::Merge, ""}));
    EXPECT_EQ(parse_fault("split:D"), (Fault{FaultKind::Split, "D"}));
    EXPECT_EQ(parse_fault("mute"), (Fault{FaultKind::Mute, ""}));
    for (const char* bad : {"loud", "silent:", "silent:X", "garble:d", ""}) {
        EXPECT_THROW(static_cast<void>(parse_fault(bad)), Error) << bad;
    }
}

// ---- Faults ---------------------------------------------------------------

struct FaultCase {
    const char* name;
    std::string fault;
    std::string frame;
    std::string expected;  // every byte sent, in order
    std::size_t emissions;
    bool drops = false;
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.name;
}

class ReaderFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ReaderFaults, ShapeTheReply) {
    const FaultCase& c = GetParam();
    ReaderConfig config = fast_config({parse_fault(c.fault)});
    config.burst_size = 100;
    ReaderModel reader(config, kStart);
    const std::vector<Emission> out = reader.receive(c.frame, kStart);
    EXPECT_EQ(joined(out), c.expected);
    EXPECT_EQ(out.size(), c.emissions);
    EXPECT_EQ(!out.empty() && out.back().drop_line, c.drops);
    for (std::size_t i = 1; i < out.size(); ++i) {
        EXPECT_GE(out[i].start, out[i - 1].end()) << "emission " << i << " overlaps";
    }
}

const std::string kAnswer = download_answer("KDR00001", some_records());

std::string damaged(std::string text, std::string_view from, std::string_view to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReaderFaults,
    ::testing::Values(
        FaultCase{"SilentIgnoresAll", "silent", request('P', kPadded), "", 0},
        FaultCase{"SilentOnlyOnT", "silent:T", request('P', kPadded), p::ack_reply(), 1},
        FaultCase{"RefuseRightPassword", "refuse", request('P', kPadded), p::nak_reply(), 1},
        FaultCase{"RefuseDownload", "refuse:D", request('D'), p::nak_reply(), 1},
        FaultCase{"GarbleAck", "garble", request('P', kPadded), garble(p::ack_reply()), 1},
        FaultCase{"GarbleDownload", "garble", request('D'), garble(kAnswer), 1},
        FaultCase{"ShortFrame", "short:P", request('P', kPadded), p::ack_reply().substr(0, 1), 1},
        FaultCase{"ShortClockReply", "short", request('R', std::string(6, ' ')),
                  clock_reply(kClock).substr(0, 9), 1},
        FaultCase{"ShortDownload", "short:D", request('D'), kAnswer.substr(0, 13), 1},
        // The same moment, written from the next minute.
        FaultCase{"BorrowClockReply", "borrow", request('R', std::string(6, ' ')),
                  [] {
                      LocalDateTime shown = add_seconds(kClock, 60);
                      shown.second = kClock.second - 60;
                      return clock_reply(shown);
                  }(),
                  1},
        FaultCase{"ShortDefaultSparesP", "short", request('P', kPadded), p::ack_reply(), 1},
        FaultCase{"BurstsDefaultSparesP", "bursts", request('P', kPadded), p::ack_reply(), 1},
        FaultCase{"Bursts", "bursts", request('D'), kAnswer, (kAnswer.size() + 99) / 100},
        FaultCase{"LongPause", "pause", request('D'), kAnswer, 2},
        FaultCase{"DropHalfway", "drop", request('D'), kAnswer.substr(0, kAnswer.size() / 2), 2,
                  true},
        // Of three records the middle one loses its end and runs into the last.
        FaultCase{"MergeMiddle", "merge", request('D'), damaged(kAnswer, "QTY? 3?\r", "QTY? 3?M"),
                  1},
        FaultCase{"SplitAfterMark", "split", request('D'), damaged(kAnswer, "QTY? 3", "QTY?\r3"),
                  1},
        FaultCase{"MuteDownload", "mute:D", request('D'), "", 0},
        FaultCase{"MuteDefaultSparesD", "mute", request('D'), kAnswer, 1}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return param.param.name; });

// The borrowed second as a host decodes it, which is what docs/CLI.md and
// `kdr simulate --help` show: below zero down to -16; further down, its
// character wraps past zero and the second reads 196 and up.
TEST(ReaderFaultsBorrow, TheSecondAsAHostReadsIt) {
    const struct {
        int second;
        int read;
    } cases[] = {{59, -1}, {44, -16}, {43, 239}, {5, 201}, {0, 196}};
    for (const auto& c : cases) {
        ReaderConfig config = fast_config({parse_fault("borrow")});
        config.clock = {2024, 5, 1, 3, 47, c.second};
        ReaderModel reader(config, kStart);
        const std::string reply = joined(reader.receive(request('R', std::string(6, ' ')), kStart));
        ASSERT_EQ(reply.size(), 10U);
        const LocalDateTime read = p::decode_clock(std::string_view(reply).substr(1, 6));
        EXPECT_EQ(read.minute, 48) << c.second;
        EXPECT_EQ(read.second, c.read) << c.second;
    }
}

TEST(ReaderFaultsTiming, PausesAreAsConfigured) {
    ReaderConfig config = fast_config({parse_fault("bursts"), parse_fault("pause")});
    config.burst_size = 200;
    config.burst_pause = 100ms;
    config.long_pause = 700ms;
    ReaderModel reader(config, kStart);
    const std::vector<Emission> out = reader.receive(request('D'), kStart);
    // Half the answer in bursts of 200 and the rest, the long pause, then the
    // other half the same way.
    const std::size_t half = kAnswer.size() / 2;
    ASSERT_GT(half, 200U);
    ASSERT_LT(kAnswer.size() - half, 400U);
    ASSERT_EQ(out.size(), 4U);
    EXPECT_EQ(out[0].bytes.size(), 200U);
    EXPECT_EQ(out[1].bytes.size(), half - 200);
    EXPECT_EQ(out[2].bytes.size(), 200U);
    EXPECT_EQ(out[1].start - out[0].end(), 100ms);
    EXPECT_EQ(out[2].start - out[1].end(), 700ms);
    EXPECT_EQ(out[3].start - out[2].end(), 100ms);
}

TEST(ReaderFaultsState, SilentAndRefusedRequestsChangeNothingDamagedRepliesDo) {
    for (const char* fault : {"silent", "refuse"}) {
        ReaderModel reader(fast_config({parse_fault(fault)}), kStart);
        static_cast<void>(reader.receive(request('E'), kStart));
        static_cast<void>(
            reader.receive(request('T', p::encode_clock({2031, 1, 1, 0, 0, 0})), kStart));
        EXPECT_EQ(reader.records().size(), 3U) << fault;
        EXPECT_EQ(reader.clock_at(kStart), kClock) << fault;
    }
    ReaderModel reader(fast_config({parse_fault("garble:E")}), kStart);
    static_cast<void>(reader.receive(request('E'), kStart));
    EXPECT_TRUE(reader.records().empty());
}

TEST(ReaderFaultsState, MuteCarriesOutRequestsWithoutAnswering) {
    ReaderModel reader(fast_config({parse_fault("mute:ET")}), kStart);
    EXPECT_TRUE(reader.receive(request('E'), kStart).empty());
    EXPECT_TRUE(reader.records().empty());
    const LocalDateTime set{2031, 1, 1, 0, 0, 0};
    EXPECT_TRUE(reader.receive(request('T', p::encode_clock(set)), kStart).empty());
    EXPECT_EQ(reader.clock_at(kStart), set);
    EXPECT_EQ(reader.requests().back().verdict, Verdict::Accepted);
}

// ---- Records on the line --------------------------------------------------

struct AnswerCase {
    const char* name;
    std::string fault;  // none when empty
    std::vector<Record> records;
    std::string body;  // the answer after STX and the machine ID
};

void PrintTo(const AnswerCase& c, std::ostream* out) {
    *out << c.name;
}

class DownloadAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(DownloadAnswers, CarryTheRecordsAsDamaged) {
    const AnswerCase& c = GetParam();
    ReaderConfig config = fast_config();
    config.records = c.records;
    if (!c.fault.empty()) {
        config.faults = {parse_fault(c.fault)};
    }
    ReaderModel reader(config, kStart);
    EXPECT_EQ(joined(reader.receive(request('D'), kStart)), "\x02KDR00001" + c.body);
}

const LocalDateTime kTaken{2024, 1, 5, 8, 15, 0};
const std::string kStamp = p::encode_clock(kTaken);
const Record kEmpty{kTaken, "x?y", 'Z', true};  // neither text nor lead is sent

INSTANTIATE_TEST_SUITE_P(
    Table, DownloadAnswers,
    ::testing::Values(
        AnswerCase{"EmptyRecordIsStampAndEnd",
                   "",
                   {{kTaken, "one", 'A'}, kEmpty},
                   "00002" + kStamp + "Aone?\r" + kStamp + "?\r"},
        AnswerCase{"MergeOfOneChangesNothing",
                   "merge",
                   {{kTaken, "one", 'A'}},
                   "00001" + kStamp + "Aone?\r"},
        AnswerCase{"MergeOfTwoJoinsThem",
                   "merge",
                   {{kTaken, "one", 'A'}, {kTaken, "two", 'B'}},
                   "00002" + kStamp + "Aone?M" + kStamp + "Btwo?\r"},
        AnswerCase{
            "MergeOfFourJoinsTheThirdAndFourth",
            "merge",
            {kEmpty, {kTaken, "one", 'A'}, {kTaken, "two", 'B'}, {kTaken, "3", 'C'}},
            "00004" + kStamp + "?\r" + kStamp + "Aone?\r" + kStamp + "Btwo?M" + kStamp + "C3?\r"},
        AnswerCase{"SplitSkipsEmptyRecordsAndEndingMarks",
                   "split",
                   {kEmpty, {kTaken, "one?", 'A'}, {kTaken, "t?w?o", 'B'}},
                   "00003" + kStamp + "?\r" + kStamp + "Aone??\r" + kStamp + "Bt?\r?o?\r"},
        AnswerCase{"SplitWithoutMarkChangesNothing",
                   "split",
                   {{kTaken, "one?", 'A'}},
                   "00001" + kStamp + "Aone??\r"}),
    [](const ::testing::TestParamInfo<AnswerCase>& param) { return param.param.name; });

// ---- Pacing ---------------------------------------------------------------

TEST(ReaderPacing, LineRateSpacesCharactersAndRepliesQueueBehindEachOther) {
    ReaderConfig config = fast_config();
    config.pacing = Pacing::LineRate;
    config.response_delay = 2ms;
    ReaderModel reader(config, kStart);
    const std::vector<Emission> answer = reader.receive(request('D'), kStart);
    ASSERT_EQ(answer.size(), 1U);
    EXPECT_EQ(answer[0].start, kStart + 2ms);
    EXPECT_EQ(answer[0].char_time, Clock::Duration{520'833});
    // At 1,920 characters a second, one every 520.833 microseconds.
    EXPECT_EQ(answer[0].end(),
              kStart + 2ms + Clock::Duration{520'833} * static_cast<int>(kAnswer.size() - 1));
    ASSERT_GT(answer[0].end(), kStart + 200ms);
    EXPECT_FALSE(answer[0].abandon_earlier);

    // A request while the answer is still going out: the reader gives it up.
    const std::vector<Emission> ack = reader.receive(request('P', kPadded), kStart + 100ms);
    ASSERT_EQ(ack.size(), 1U);
    EXPECT_TRUE(ack[0].abandon_earlier);
    EXPECT_EQ(ack[0].start, kStart + 102ms);
    // Once the line is free again, nothing is given up.
    const std::vector<Emission> later = reader.receive(request('P', kPadded), kStart + 1s);
    EXPECT_FALSE(later.at(0).abandon_earlier);
}

// ---- The controller against the model ---------------------------------------

// The controller on a virtual clock, its serial component fed by the model
// character by character, each when it is due.
class ControllerAgainstModel : public kdr::testing::ControllerTest {
  protected:
    void attach(ReaderConfig config) {
        model_ = std::make_unique<ReaderModel>(std::move(config), clock.now());
        port->set_responder([this](kdr::testing::FakeBytePort& serial, std::string_view sent) {
            for (const Emission& emission : model_->receive(sent, clock.now())) {
                for (std::size_t i = 0; i < emission.bytes.size(); ++i) {
                    serial.arrive(emission.bytes.substr(i, 1),
                                  emission.start - clock.now() +
                                      emission.char_time * static_cast<std::int64_t>(i));
                }
            }
        });
    }
    bool connect() { return open(Variant("1234")); }
    std::unique_ptr<ReaderModel> model_;
};

TEST_F(ControllerAgainstModel, DownloadGivesTheDecodingOfTheAnswer) {
    ReaderConfig config = fast_config();
    config.pacing = Pacing::LineRate;
    attach(config);
    ASSERT_TRUE(connect());
    controller->put_ShowRTC(kVariantTrue);
    const std::string result = controller->DownloadData();
    EXPECT_EQ(result, protocol::decode_download(kAnswer, {false, true, 2007}));
    EXPECT_NE(result.find("3 record(s) received"), std::string::npos);
}

TEST_F(ControllerAgainstModel, SyncSetsTheReadersClockAndEraseEmptiesIt) {
    attach(fast_config());
    ASSERT_TRUE(connect());
    EXPECT_EQ(controller->SyncUpHostTime(), kVariantTrue);
    EXPECT_EQ(model_->clock_at(clock.now()).year, 2007);
    static_cast<void>(controller->EraseData());
    EXPECT_TRUE(model_->records().empty());
    std::string letters;
    for (const Request& request : model_->requests()) {
        letters += request.letter;
    }
    EXPECT_EQ(letters, "PTRPE");
}

TEST_F(ControllerAgainstModel, FaultsReachTheController) {
    attach(fast_config({parse_fault("short")}));
    ASSERT_TRUE(connect());
    const auto before = clock.now();
    EXPECT_EQ(controller->SyncUpHostTime(), kVariantFalse);
    // The clock reply never reaches 10 characters: the controller waits its 3 s.
    EXPECT_GT(clock.now() - before, 4s);
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::NoAnswer);
}

}  // namespace
}  // namespace kdr::simulator
