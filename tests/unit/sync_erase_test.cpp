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
        reader.on(protocol::kReadClock, [reply = std::move(reply), delay](FakeSerialPort& p,
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
    EXPECT_FALSE(port->get_PortOpen());
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
    auto serial = std::make_unique<FakeSerialPort>(clock);
    FakeSerialPort& fake = *serial;
    KDRController c(std::move(serial), std::make_unique<RecordingProgressBar>(), slow, clock);
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

struct ReadBackCase {
    const char* name;
    std::string reply;  // empty: the reader echoes what it was sent
    bool result;
    friend void PrintTo(const ReadBackCase& c, std::ostream* os) { *os << c.name; }
};

class SyncReadBackTest : public SyncTest, public ::testing::WithParamInterface<ReadBackCase> {};

TEST_P(SyncReadBackTest, ChecksDateAndTimeRanges) {
    reader_clock(GetParam().reply);
    EXPECT_EQ(controller->SyncUpHostTime(), to_variant_bool(GetParam().result));
    EXPECT_TRUE(host.messages.empty());
    EXPECT_FALSE(port->get_PortOpen());
}

// The host's date is 2007/11/16 (codes 23, 27, 32).
INSTANTIATE_TEST_SUITE_P(
    Reader, SyncReadBackTest,
    ::testing::Values(ReadBackCase{"Echo", "", true},
                      ReadBackCase{"UpperTimeLimits", clock_reply({23, 27, 32, 40, 76, 76}), true},
                      ReadBackCase{"NegativeTimeFields", clock_reply({23, 27, 32, 0, 0, 0}), true},
                      ReadBackCase{"Hour25", clock_reply({23, 27, 32, 41, 16, 16}), false},
                      ReadBackCase{"Minute61", clock_reply({23, 27, 32, 16, 77, 16}), false},
                      ReadBackCase{"Second61", clock_reply({23, 27, 32, 16, 16, 77}), false},
                      ReadBackCase{"Year2001", clock_reply({17, 27, 32, 16, 16, 16}), false},
                      ReadBackCase{"OtherMonth", clock_reply({23, 28, 32, 16, 16, 16}), false},
                      ReadBackCase{"OtherDay", clock_reply({23, 27, 33, 16, 16, 16}), false},
                      ReadBackCase{"LongerReply", clock_reply({23, 27, 32, 16, 16, 16}) + "tail",
                                   true}),
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
        EXPECT_EQ(port->get_PortOpen(), c.port_open);
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
    EXPECT_TRUE(port->get_PortOpen()) << "the erase leaves the port open";
    EXPECT_GT(clock.elapsed() - start, 250ms + 101 * 3ms);
    EXPECT_LT(clock.elapsed() - start, 250ms + 101 * 3ms + 1ms);
    EXPECT_GE(host.do_events_calls, 101);
    controller->CloseKDR();
    EXPECT_FALSE(port->get_PortOpen());
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

}  // namespace
}  // namespace kdr::testing
