#include <gtest/gtest.h>

#include "controller_fixture.hpp"

namespace kdr::testing {
namespace {

const std::string kAck = protocol::ack_reply();

// A clock reply: a leading character, the six clock characters, a tail.
std::string clock_reply(const std::string& six) {
    return "\x02" + six + "\r!\x03";
}

class SyncTest : public ControllerTest {
  protected:
    void SetUp() override {
        accepting_reader();
        ASSERT_TRUE(open());
        port->record().calls.clear();
    }
    /// The reader acknowledges "T" and sends back `reply` for "R".
    void reader_clock(std::string reply, Clock::Duration delay = 40ms) {
        reader.reply(protocol::kSetClock, kAck, 20ms);
        reader.on(protocol::kReadClock, [reply = std::move(reply), delay](FakeBytePort& p,
                                                                          std::string_view frame) {
            p.arrive(reply.empty() ? clock_reply(std::string(frame.substr(10, 6))) : reply, delay);
        });
    }
    [[nodiscard]] std::string clock_chars_of(std::size_t output) const {
        return outputs().at(output).substr(10, 6);
    }
};

TEST_F(SyncTest, ReaderTakesTheHostTime) {
    reader_clock("");  // echoes the time it was sent
    const auto start = clock.elapsed();
    EXPECT_EQ(controller->SyncUpHostTime(), kVariantTrue);
    ASSERT_EQ(outputs().size(), 3U);
    EXPECT_EQ(outputs()[1], protocol::build_frame(std::string(8, ' ') + "T" +
                                                  std::string{23, 27, 32, 24, 21, 19}));
    // The read-back carries the same clock characters although 1.3 s have passed.
    EXPECT_EQ(outputs()[2], protocol::build_frame(std::string(8, ' ') + "R" + clock_chars_of(1)));
    // 0.3 s after "T", 1 s before "R", and the reply is read as soon as it is whole.
    EXPECT_GT(clock.elapsed() - start, 1340ms);
    EXPECT_LT(clock.elapsed() - start, 1345ms);
    EXPECT_FALSE(port->is_open());
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(SyncTest, HostClockIsReadOnceForAllSixCharacters) {
    // The host's clock stands at 23:59:59.5 and every reading of it costs a
    // second: fields read one by one would mix two days.
    class SlowHost : public RecordingHost {
      public:
        using RecordingHost::RecordingHost;
        LocalDateTime Now() override {
            const auto now = RecordingHost::Now();
            clock_to_advance->advance(1s);
            return now;
        }
        VirtualClock* clock_to_advance = nullptr;
    };
    SlowHost slow(clock, {2007, 12, 31, 23, 59, 59});
    slow.clock_to_advance = &clock;
    FakeBytePort fake(clock);
    KDRController c(fake.opener(), std::make_unique<RecordingProgressBar>(), slow, clock);
    ReaderStub stub;
    stub.reply(protocol::kConnect, kAck);
    stub.reply(protocol::kSetClock, kAck);
    stub.attach(fake);
    Variant port_number(std::int16_t{1});
    ASSERT_EQ(c.OpenKDR(Variant(), port_number), kVariantTrue);
    static_cast<void>(c.SyncUpHostTime());
    EXPECT_EQ(fake.record().outputs.at(1).substr(10, 6),
              protocol::encode_clock({2007, 12, 31, 23, 59, 59}));
}

// The reader's clock as read back, against the time it was sent: between the
// time sent and that plus the time since sending (1.34 s here) plus 2 s.
struct ReadBackCase {
    const char* name;
    LocalDateTime host;    // the host's clock when the sync starts
    LocalDateTime reader;  // what the reader sends back
    bool result;
    ErrorKind failure;
    std::string tail;  // after the clock reply
    friend void PrintTo(const ReadBackCase& c, std::ostream* os) { *os << c.name; }
};

class SyncReadBackTest : public SyncTest, public ::testing::WithParamInterface<ReadBackCase> {};

TEST_P(SyncReadBackTest, ReaderClockMustShowTheTimeSent) {
    const ReadBackCase& c = GetParam();
    host.set_local_time(c.host);
    reader_clock(clock_reply(protocol::encode_clock(c.reader)) + c.tail);
    EXPECT_EQ(controller->SyncUpHostTime() == kVariantTrue, c.result);
    EXPECT_EQ(controller->LastFailure().kind, c.failure) << controller->LastFailure().description;
    EXPECT_TRUE(host.messages.empty());
    EXPECT_FALSE(port->is_open());
}

constexpr LocalDateTime kSent{2007, 11, 16, 8, 5, 3};
constexpr LocalDateTime kBeforeMidnight{2007, 12, 31, 23, 59, 58};
INSTANTIATE_TEST_SUITE_P(
    Reader, SyncReadBackTest,
    ::testing::Values(
        ReadBackCase{"TheTimeSent", kSent, kSent, true, ErrorKind::None, ""},
        ReadBackCase{"ThreeSecondsOn", kSent, {2007, 11, 16, 8, 5, 6}, true, ErrorKind::None, ""},
        ReadBackCase{
            "FourSecondsOn", kSent, {2007, 11, 16, 8, 5, 7}, false, ErrorKind::ClockMismatch, ""},
        ReadBackCase{
            "OneSecondBehind", kSent, {2007, 11, 16, 8, 5, 2}, false, ErrorKind::ClockMismatch, ""},
        ReadBackCase{
            "AcrossMidnight", kBeforeMidnight, {2008, 1, 1, 0, 0, 0}, true, ErrorKind::None, ""},
        ReadBackCase{"StartedBeforeMidnightReadBefore", kBeforeMidnight, kBeforeMidnight, true,
                     ErrorKind::None, ""},
        ReadBackCase{
            "IgnoredTheNewTime", kSent, {2001, 1, 1, 0, 0, 0}, false, ErrorKind::ClockMismatch, ""},
        ReadBackCase{
            "OtherDay", kSent, {2007, 11, 17, 8, 5, 3}, false, ErrorKind::ClockMismatch, ""},
        ReadBackCase{
            "Hour24Minute60", kSent, {2007, 11, 16, 24, 60, 60}, false, ErrorKind::BadAnswer, ""},
        ReadBackCase{"Hour25", kSent, {2007, 11, 16, 25, 0, 0}, false, ErrorKind::BadAnswer, ""},
        ReadBackCase{"Minute61", kSent, {2007, 11, 16, 8, 61, 0}, false, ErrorKind::BadAnswer, ""},
        ReadBackCase{"Second61", kSent, {2007, 11, 16, 8, 5, 61}, false, ErrorKind::BadAnswer, ""},
        ReadBackCase{
            "NoSuchDate", kSent, {2007, 2, 31, 8, 5, 3}, false, ErrorKind::ClockMismatch, ""},
        ReadBackCase{"LongerReply", kSent, kSent, true, ErrorKind::None, "tail"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Fields out of their range that carry into the time sent, plus a second or
// so: each is refused before the moment is compared.
constexpr LocalDateTime kLate{2007, 11, 16, 23, 59, 59};
INSTANTIATE_TEST_SUITE_P(
    CarriedIntoTheWindow, SyncReadBackTest,
    ::testing::Values(
        ReadBackCase{"SecondBelowZero",
                     {2007, 11, 16, 16, 28, 44},
                     {2007, 11, 16, 16, 29, -15},
                     false,
                     ErrorKind::BadAnswer,
                     ""},
        ReadBackCase{
            "Second60", kLate, {2007, 11, 16, 23, 59, 60}, false, ErrorKind::BadAnswer, ""},
        ReadBackCase{"Minute60", kLate, {2007, 11, 16, 23, 60, 0}, false, ErrorKind::BadAnswer, ""},
        ReadBackCase{"Hour24", kLate, {2007, 11, 16, 24, 0, 0}, false, ErrorKind::BadAnswer, ""},
        ReadBackCase{
            "MinuteBelowZero", kLate, {2007, 11, 17, 0, -1, 59}, false, ErrorKind::BadAnswer, ""},
        ReadBackCase{
            "HourBelowZero", kLate, {2007, 11, 17, -1, 59, 59}, false, ErrorKind::BadAnswer, ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(SyncTest, FailurePaths) {
    struct Case {
        const char* name;
        std::function<void()> script;
        bool message;
        bool port_open;
        Clock::Duration min_time, max_time;
        ErrorKind kind;
    };
    const Case cases[] = {
        {"no acknowledgement", [&] { reader.on(protocol::kSetClock, nullptr); }, true, true, 300ms,
         302ms, ErrorKind::NoAnswer},
        {"refused", [&] { reader.reply(protocol::kSetClock, protocol::nak_reply()); }, false, false,
         300ms, 302ms, ErrorKind::Refused},
        {"clock reply of 9 characters", [&] { reader_clock(clock_reply("abcdef").substr(0, 9)); },
         true, false, 4300ms, 4303ms, ErrorKind::NoAnswer},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host.messages.clear();
        c.script();
        const auto start = clock.elapsed();
        EXPECT_EQ(controller->SyncUpHostTime(), kVariantFalse);
        const auto took = clock.elapsed() - start;
        EXPECT_GE(took, c.min_time);
        EXPECT_LE(took, c.max_time);
        EXPECT_EQ(port->is_open(), c.port_open);
        EXPECT_EQ(controller->LastFailure().kind, c.kind);
        if (c.message) {
            ASSERT_EQ(host.messages.size(), 1U);
            EXPECT_EQ(host.messages[0],
                      (ShownMessage{std::string(kCommunicationsFailed), 64, std::nullopt}));
        } else {
            EXPECT_TRUE(host.messages.empty());
        }
        clock.advance(1s);
    }
}

TEST_F(SyncTest, NotConnected) {
    controller->CloseKDR();
    port->record().calls.clear();
    EXPECT_EQ(controller->SyncUpHostTime(), kVariantFalse);
    EXPECT_EQ(
        host.messages,
        (std::vector<ShownMessage>{{"Device did not open.   ", 64, "Sync Up With Host Time"}}));
    EXPECT_TRUE(port->record().calls.empty());
}

TEST_F(SyncTest, ErrorsOfTheSerialComponentReachTheCaller) {
    port->fail_opens(Error(ErrorKind::PortMissing, "COM1 (/dev/ttyS0) does not exist"));
    EXPECT_THROW(controller->SyncUpHostTime(), Error);
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::PortMissing);
}

class EraseTest : public ControllerTest {
  protected:
    void SetUp() override { accepting_reader(); }
};

TEST_F(EraseTest, SendsEraseAndAnimatesTheBar) {
    ASSERT_TRUE(open());
    bar->value_history.clear();
    const auto start = clock.elapsed();
    EXPECT_TRUE(controller->EraseData().is_empty());
    ASSERT_EQ(outputs().size(), 3U);
    EXPECT_EQ(outputs()[2], std::string("\x02        E\rr\x03"));
    // The check's exchange sets 0; then 0 to 100.
    std::vector<float> want{0.0F};
    for (int i = 0; i <= 100; ++i) {
        want.push_back(static_cast<float>(i));
    }
    EXPECT_EQ(bar->value_history, want);
    EXPECT_TRUE(port->is_open()) << "the erase leaves the port open";
    EXPECT_GT(clock.elapsed() - start, 250ms + 101 * 3ms);
    EXPECT_LT(clock.elapsed() - start, 250ms + 101 * 3ms + 1ms);
    EXPECT_GE(host.do_events_calls, 101);
    controller->CloseKDR();
    EXPECT_FALSE(port->is_open());
}

TEST_F(EraseTest, ConnectionCheck) {
    // Not connected: one message, bar at 0, nothing sent.
    EXPECT_TRUE(controller->EraseData().is_empty());
    EXPECT_EQ(host.messages,
              (std::vector<ShownMessage>{{"Device did not open.   ", 64, "Erase Data From KDR"}}));
    EXPECT_EQ(bar->value, 0.0F);
    EXPECT_TRUE(outputs().empty());

    ASSERT_TRUE(open());
    struct Case {
        const char* name;
        std::string reply;
        VariantBool opened_after;
    };
    for (const Case& c : {Case{"silent", "", kVariantTrue},
                          Case{"refusing", protocol::nak_reply(), kVariantFalse}}) {
        SCOPED_TRACE(c.name);
        host.messages.clear();
        const std::size_t sent = outputs().size();
        reader.reply(protocol::kConnect, c.reply);
        EXPECT_TRUE(controller->EraseData().is_empty());
        EXPECT_EQ(host.messages, (std::vector<ShownMessage>{{std::string(kCommunicationsFailed), 64,
                                                             "Erase Data From KDR"}}));
        EXPECT_EQ(outputs().size(), sent + 1) << "only the password request";
        EXPECT_EQ(controller->get_Opened(), c.opened_after);
    }
}

TEST_F(EraseTest, WhatTheReaderSendsDuringTheAnimationIsJudged) {
    ASSERT_TRUE(open());
    struct Case {
        const char* name;
        std::string reply;
        ErrorKind failure;
        bool message;
    };
    const Case cases[] = {
        {"acknowledged", kAck, ErrorKind::None, false},
        {"silent", "", ErrorKind::None, false},
        {"refused", protocol::nak_reply(), ErrorKind::Refused, true},
        {"noise", "\x02?!\x03", ErrorKind::BadAnswer, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.messages.clear();
        reader.reply(protocol::kErase, c.reply, 100ms);  // well inside the 0.3 s animation
        EXPECT_TRUE(controller->EraseData().is_empty());
        EXPECT_EQ(controller->LastFailure().kind, c.failure);
        ASSERT_EQ(host.messages.size(), c.message ? 1U : 0U);
        if (c.message) {
            EXPECT_EQ(host.messages[0].title, "Erase Data From KDR");
            EXPECT_EQ(host.messages[0].style, 64);
        }
        EXPECT_EQ(bar->value, 100.0F) << "the animation runs whatever the answer";
        EXPECT_TRUE(port->is_open());
    }
}

TEST_F(EraseTest, ALineThatHangsUpDuringTheAnimationFails) {
    // The line goes with the request; reads then bring nothing and no error.
    ASSERT_TRUE(open());
    reader.on(protocol::kErase, [](FakeBytePort& p, std::string_view) { p.hang_up_quietly(); });
    EXPECT_THROW(static_cast<void>(controller->EraseData()), Error);
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::LineDropped);
    EXPECT_TRUE(host.messages.empty());
}

}  // namespace
}  // namespace kdr::testing
