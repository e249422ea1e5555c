#include <gtest/gtest.h>

#include "controller_fixture.hpp"

namespace kdr::testing {
namespace {

const std::string kEmptyPasswordFrame = "\x02P        \r}\x03";

TEST_F(ControllerTest, CreationValues) {
    EXPECT_EQ(controller->get_CommPort(), 1);
    EXPECT_EQ(controller->get_Opened(), kVariantFalse);
    EXPECT_EQ(controller->get_ShowMachineID(), kVariantFalse);
    EXPECT_EQ(controller->get_ShowRTC(), kVariantFalse);
    EXPECT_EQ(bar->max, 100.0F);
    EXPECT_EQ(bar->value, 100.0F);
    EXPECT_FALSE(port->is_open());
}

TEST_F(ControllerTest, PropertiesReadBackAsAutomationBooleans) {
    controller->put_ShowRTC(kVariantTrue);
    controller->put_ShowMachineID(kVariantTrue);
    EXPECT_EQ(controller->get_ShowRTC(), kVariantTrue);
    EXPECT_EQ(controller->get_ShowMachineID(), kVariantTrue);
    // Any non-zero value written counts as true for ShowRTC.
    controller->put_ShowRTC(1);
    EXPECT_EQ(controller->get_ShowRTC(), kVariantTrue);
    controller->put_ShowRTC(kVariantFalse);
    EXPECT_EQ(controller->get_ShowRTC(), kVariantFalse);
}

TEST_F(ControllerTest, CommPortWriteConvertsOrRefuses) {
    controller->put_CommPort(Variant("16"));
    EXPECT_EQ(controller->get_CommPort(), 16);
    controller->put_CommPort(Variant(2.5));
    EXPECT_EQ(controller->get_CommPort(), 2);
    EXPECT_THROW(controller->put_CommPort(Variant("abc")), Error);
    EXPECT_EQ(controller->get_CommPort(), 2);
}

TEST_F(ControllerTest, ResizeLaysTheBarOverTheControl) {
    const std::pair<float, float> sizes[] = {
        {kDesignWidthTwips, kDesignHeightTwips}, {0.0F, 0.0F}, {6000.0F, 1200.0F}};
    for (const auto& [w, h] : sizes) {
        bar->left = bar->top = 99.0F;
        controller->Resize(w, h);
        EXPECT_EQ(bar->left, 0.0F);
        EXPECT_EQ(bar->top, 0.0F);
        EXPECT_EQ(bar->width, w);
        EXPECT_EQ(bar->height, h);
    }
}

TEST_F(ControllerTest, PwdSumIgnoresTheSumPassedIn) {
    for (const std::int32_t passed_in : {0, -5, 999999}) {
        std::string pwd = "secret";
        std::int32_t sum = passed_in;
        controller->PwdSum(pwd, sum);
        EXPECT_EQ(pwd, "secret  ");
        EXPECT_EQ(sum, (115 + 101 + 99 + 114 + 101 + 116 + 64) % 128);
    }
}

// How the reader answers the connection request, and what OpenKDR makes of it.
struct ReplyCase {
    const char* name;
    std::vector<std::pair<std::string, Clock::Duration>> arrivals;
    bool accepted;
    ErrorKind failure;
    friend void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }
};

class OpenKDRReplyTest : public ControllerTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(OpenKDRReplyTest, ReplyWindow) {
    const auto& c = GetParam();
    port->set_responder([&](FakeBytePort& p, std::string_view) {
        for (const auto& [bytes, delay] : c.arrivals) {
            p.arrive(bytes, delay);
        }
    });
    EXPECT_EQ(open(Variant(), 1), c.accepted);
    EXPECT_EQ(controller->LastFailure().kind, c.failure);
    EXPECT_EQ(outputs(), std::vector<std::string>{kEmptyPasswordFrame});
    // Open, discard, send, five reads, close: the window lasts a little over
    // 0.25 s whatever the reader sends.
    EXPECT_EQ(port->record().calls,
              (std::vector<std::string>{"open 1", "discard", "output", "input", "input", "input",
                                        "input", "input", "close"}));
    EXPECT_GT(clock.elapsed(), 250ms);
    EXPECT_LT(clock.elapsed(), 251ms);
    EXPECT_EQ(port->settings_text(), "19200,n,8,1");
    EXPECT_TRUE(host.messages.empty());
}

const std::string kAck = protocol::ack_reply();

INSTANTIATE_TEST_SUITE_P(
    Reader, OpenKDRReplyTest,
    ::testing::Values(
        ReplyCase{"Prompt", {{kAck, 5ms}}, true, ErrorKind::None},
        ReplyCase{"AtTheLastRead", {{kAck, 200ms}}, true, ErrorKind::None},
        ReplyCase{"InPieces",
                  {{kAck.substr(0, 2), 10ms}, {kAck.substr(2), 140ms}},
                  true,
                  ErrorKind::None},
        ReplyCase{"TooLate", {{kAck, 201ms}}, false, ErrorKind::NoAnswer},
        ReplyCase{"Silent", {}, false, ErrorKind::NoAnswer},
        ReplyCase{"OneCharacter", {{"\x02", 5ms}}, false, ErrorKind::NoAnswer},
        ReplyCase{"Refusal", {{protocol::nak_reply(), 5ms}}, false, ErrorKind::Refused},
        // Neither the acknowledgement nor the refusal: garbled, not refused.
        ReplyCase{
            "AckWithTrailingGarbage", {{kAck, 5ms}, {"x", 100ms}}, false, ErrorKind::BadAnswer},
        ReplyCase{"AckTailCutOffByTheWindow",
                  {{kAck.substr(0, 3), 5ms}, {kAck.substr(3), 210ms}},
                  false,
                  ErrorKind::BadAnswer}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(ControllerTest, AcceptedConnectionIsRecorded) {
    accepting_reader();
    ASSERT_TRUE(open(Variant("pw"), 4));
    EXPECT_EQ(controller->get_Opened(), kVariantTrue);
    EXPECT_EQ(controller->get_CommPort(), 4);
    EXPECT_EQ(bar->value, 0.0F);
    EXPECT_EQ(outputs().back(), protocol::build_frame("Ppw      "));
    EXPECT_FALSE(port->is_open());
}

TEST_F(ControllerTest, StateChangesOfAConnectedController) {
    // Connected with "first", then the reader goes silent, then it refuses.
    reader.reply(protocol::kConnect, kAck);
    reader.attach(*port);
    ASSERT_TRUE(open(Variant("first")));

    reader.on(protocol::kConnect, nullptr);
    EXPECT_FALSE(open(Variant("second"), 2));
    EXPECT_EQ(controller->get_Opened(), kVariantTrue) << "a silent reader changes nothing";
    EXPECT_EQ(controller->get_CommPort(), 2) << "the port number is taken in any case";

    // The next operation's check sends the stored password, not the one the
    // silent reader never answered.
    reader.reply(protocol::kConnect, kAck);
    controller->EraseData();
    EXPECT_EQ(outputs().at(outputs().size() - 2), protocol::build_frame("Pfirst   "));

    reader.reply(protocol::kConnect, protocol::nak_reply());
    EXPECT_FALSE(open(Variant("third")));
    EXPECT_EQ(controller->get_Opened(), kVariantFalse);
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::Refused);
}

TEST_F(ControllerTest, PortThatCannotOpen) {
    port->fail_opens(Error(ErrorKind::PortBusy, "COM7 is in use by another program"));
    EXPECT_FALSE(open(Variant("x"), 7));
    EXPECT_EQ(controller->get_CommPort(), 7);
    EXPECT_EQ(controller->get_Opened(), kVariantFalse);
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::PortBusy);
    EXPECT_EQ(controller->LastFailure().description, "COM7 is in use by another program");
    EXPECT_TRUE(outputs().empty());
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(ControllerTest, LineDropDuringTheExchangeClearsTheConnection) {
    accepting_reader();
    ASSERT_TRUE(open());
    reader.on(protocol::kConnect, [](FakeBytePort& p, std::string_view) { p.drop_line(); });
    EXPECT_FALSE(open());
    EXPECT_EQ(controller->get_Opened(), kVariantFalse);
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::LineDropped);
    EXPECT_TRUE(port->is_open()) << "left for the next open or CloseKDR";
}

TEST_F(ControllerTest, LateReplyIsDiscardedBeforeTheNextRequest) {
    reader.reply(protocol::kConnect, kAck, 400ms);  // after the window has closed
    reader.attach(*port);
    EXPECT_FALSE(open());
    clock.advance(1s);  // the late acknowledgement is waiting in the buffer
    reader.on(protocol::kConnect, nullptr);
    EXPECT_FALSE(open()) << "a stale acknowledgement must not count";
}

TEST_F(ControllerTest, ConversionsOfTheArguments) {
    accepting_reader();
    Variant text_port("3");
    EXPECT_EQ(controller->OpenKDR(Variant(), text_port), kVariantTrue);
    EXPECT_EQ(controller->get_CommPort(), 3);
    EXPECT_EQ(text_port, Variant("3")) << "vPort is never written back";

    Variant bad_port("COM3");
    EXPECT_THROW(controller->OpenKDR(Variant("pw"), bad_port), Error);
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::TypeMismatch);
    EXPECT_EQ(controller->get_CommPort(), 3);

    Variant port_one(std::int16_t{1});
    EXPECT_THROW(controller->OpenKDR(Variant::null(), port_one), Error);
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::InvalidUseOfNull);
    EXPECT_EQ(outputs().size(), 1U);
}

TEST_F(ControllerTest, PasswordOfAnyLengthIsSentWhole) {
    accepting_reader();
    const std::string long_password(40000, 'k');
    ASSERT_TRUE(open(Variant(long_password)));
    EXPECT_EQ(outputs().back(), protocol::build_frame("P" + long_password));
}

TEST_F(ControllerTest, CloseKDR) {
    EXPECT_TRUE(controller->CloseKDR().is_empty()) << "closing when not connected is fine";
    accepting_reader();
    reader.reply(protocol::kErase, protocol::ack_reply());
    ASSERT_TRUE(open(Variant("pw")));
    static_cast<void>(controller->EraseData());
    ASSERT_TRUE(port->is_open()) << "an erase leaves the port open";
    EXPECT_TRUE(controller->CloseKDR().is_empty());
    EXPECT_FALSE(port->is_open());
    EXPECT_EQ(controller->get_Opened(), kVariantFalse);
    EXPECT_EQ(controller->get_CommPort(), 1);
}

}  // namespace
}  // namespace kdr::testing
