#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "controller_fixture.hpp"
#include "protocol/record_decoding.hpp"

namespace kdr::testing {
namespace {

// A reader's answer: STX, machine ID, five count digits, then each record's
// stamp, leading character, text, "?" CR.
std::string answer_of(const std::vector<std::string>& texts, const std::string& id = "KDR00042") {
    std::string a = std::string(1, protocol::STX) + id;
    a += std::string(5 - std::to_string(texts.size()).size(), '0') + std::to_string(texts.size());
    int second = 0;
    for (const auto& text : texts) {
        a += protocol::encode_clock({2005, 2, 15, 14, 45, second++ % 60});
        a += "#" + text + "?\r";
    }
    return a;
}

class DownloadTest : public ControllerTest {
  protected:
    void SetUp() override {
        accepting_reader();
        ASSERT_TRUE(open());
        host.messages.clear();
    }
    /// The reader answers "D" with these pieces, each `delay` after the previous.
    void answer_in_pieces(std::vector<std::string> pieces, Clock::Duration first = 20ms,
                          Clock::Duration gap = 50ms) {
        reader.on(protocol::kDownload,
                  [pieces = std::move(pieces), first, gap](FakeBytePort& p, std::string_view) {
                      auto at = first;
                      for (const auto& piece : pieces) {
                          p.arrive(piece, at);
                          at += gap;
                      }
                  });
    }
    std::string expected(const std::string& answer) const {
        return protocol::decode_download(
            answer, {controller->get_ShowMachineID() != 0, controller->get_ShowRTC() != 0, 2007});
    }
};

TEST_F(DownloadTest, WholeAnswerIsDecoded) {
    controller->put_ShowMachineID(kVariantTrue);
    controller->put_ShowRTC(kVariantTrue);
    const std::string answer = answer_of({"first", "second"});
    answer_in_pieces({answer});
    const std::string result = controller->DownloadData();
    EXPECT_EQ(result,
              "Machine ID: KDR00042\r\n\r\n2 record(s) received\r\n \r\n"
              "2005/02/15 14:45:00\r\nfirst\r\n\r\n"
              "2005/02/15 14:45:01\r\nsecond\r\n\r\n");
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::None);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_FALSE(port->is_open());
    EXPECT_EQ(bar->value, 0.0F);
    EXPECT_EQ(bar->max, 100.0F);
    // The check's password exchange, then the download request.
    ASSERT_EQ(outputs().size(), 3U);
    EXPECT_EQ(outputs()[2], std::string("\x02        D\rq\x03"));
}

TEST_F(DownloadTest, SplitInputGivesTheSameText) {
    controller->put_ShowRTC(kVariantTrue);
    std::vector<std::string> texts;
    for (int i = 0; i < 40; ++i) {
        texts.push_back(
            std::string(static_cast<std::size_t>(i * 37 % 500), static_cast<char>('a' + i % 26)) +
            "?x");
    }
    const std::string answer = answer_of(texts);
    const std::string want = expected(answer);

    std::vector<std::vector<std::string>> splits;
    splits.push_back({answer});
    std::vector<std::string> bytes;
    for (const char c : answer) {
        bytes.emplace_back(1, c);
    }
    splits.push_back(bytes);
    std::mt19937 random(7);
    for (int round = 0; round < 3; ++round) {
        std::vector<std::string> chunks;
        for (std::size_t at = 0; at < answer.size();) {
            const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 700)(random);
            chunks.push_back(answer.substr(at, n));
            at += n;
        }
        splits.push_back(chunks);
    }
    for (const auto& pieces : splits) {
        // Pauses shorter than the 0.3 s silence never end the collection.
        answer_in_pieces(pieces, 20ms, 1ms);
        EXPECT_EQ(controller->DownloadData(), want) << pieces.size() << " pieces";
    }
}

TEST_F(DownloadTest, SilenceEndsTheCollection) {
    const std::string answer = answer_of({"one", "two", "three"});
    const auto cut = answer.find("two") - 7;  // before the second record's stamp
    struct Case {
        Clock::Duration pause;
        bool whole;
    };
    for (const Case c : {Case{290ms, true}, Case{600ms, false}}) {
        reader.on(protocol::kDownload, [&](FakeBytePort& p, std::string_view) {
            p.arrive(answer.substr(0, cut), 20ms);
            p.arrive(answer.substr(cut), 20ms + c.pause);
        });
        const std::string result = controller->DownloadData();
        EXPECT_EQ(result, expected(c.whole ? answer : answer.substr(0, cut)));
        EXPECT_EQ(result.find("three") != std::string::npos, c.whole);
        clock.advance(1s);  // the reader's late tail is discarded by the next call
    }
}

TEST_F(DownloadTest, SilentReaderGivesZeroRecordsAfterTheSettlingWait) {
    const auto start = clock.elapsed();
    EXPECT_EQ(controller->DownloadData(), "0 record(s) received\r\n \r\n");
    // The check's exchange (0.25 s) and the 0.1 s settling wait; no silence wait.
    EXPECT_LT(clock.elapsed() - start, 360ms);
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(DownloadTest, ProgressDuringCollection) {
    answer_in_pieces({answer_of({"a"}), answer_of({"b"}).substr(1)}, 20ms, 100ms);
    bar->value_history.clear();
    controller->DownloadData();
    const auto& h = bar->value_history;
    ASSERT_GE(h.size(), 4U);
    EXPECT_EQ(h.front(), 0.0F);                                 // the check's accepted exchange
    EXPECT_EQ(h.back(), 0.0F);                                  // the end of the call
    EXPECT_NE(std::find(h.begin(), h.end(), 100.0F), h.end());  // Value = Max after collection
}

TEST_F(DownloadTest, FailuresBeforeTheFirstRecordShowTheirDescription) {
    struct Case {
        std::string answer;
        ErrorKind kind;
    };
    const Case cases[] = {
        {protocol::nak_reply(), ErrorKind::BadAnswer},
        {answer_of({"x"}).substr(0, 18), ErrorKind::BadAnswer},
    };
    for (const auto& c : cases) {
        host.messages.clear();
        answer_in_pieces({c.answer});
        EXPECT_EQ(controller->DownloadData(), "");
        EXPECT_EQ(controller->LastFailure().kind, c.kind);
        ASSERT_EQ(host.messages.size(), 1U);
        EXPECT_EQ(host.messages[0].text, controller->LastFailure().description);
        EXPECT_EQ(host.messages[0].style, 64);
        EXPECT_FALSE(host.messages[0].title.has_value());
        EXPECT_EQ(bar->value, 0.0F);
    }
}

TEST_F(DownloadTest, FailingDisplayAfterTheFirstRecordLosesNoRecord) {
    const std::string answer = answer_of({"one", "two", "three"});
    answer_in_pieces({answer});
    // After the collection (Value = Max) come the decoding's reset, the step
    // after the first stamp and the one after the first record; every later
    // display step fails.
    int calls_after_collection = -1;
    bar->before_put_value = [&](float value) {
        if (calls_after_collection < 0) {
            calls_after_collection = value == 100.0F ? 0 : -1;
        } else if (++calls_after_collection > 3) {
            throw Error(ErrorKind::IoError, "the progress bar is gone");
        }
    };
    EXPECT_EQ(controller->DownloadData(), expected(answer));
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(DownloadTest, LineDropMidAnswer) {
    reader.on(protocol::kDownload, [](FakeBytePort& p, std::string_view) {
        p.arrive(std::string(1, protocol::STX) + "KDR0", 20ms);
        p.drop_line();
    });
    EXPECT_EQ(controller->DownloadData(), "");
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::LineDropped);
    ASSERT_EQ(host.messages.size(), 1U);
    EXPECT_TRUE(port->is_open()) << "left for the next open or CloseKDR";
}

TEST_F(DownloadTest, PortThatCannotReopenEndsInTheTrapWithItsReason) {
    // The check's exchange succeeds, then the port is taken before the
    // download reopens it.
    reader.on(protocol::kConnect, [](FakeBytePort& p, std::string_view) {
        p.arrive(protocol::ack_reply(), 10ms);
        p.fail_opens(Error(ErrorKind::PortBusy, "COM1 is in use by another program"));
    });
    EXPECT_EQ(controller->DownloadData(), "");
    ASSERT_EQ(host.messages.size(), 1U);
    EXPECT_EQ(host.messages[0].text, "COM1 is in use by another program");
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::PortBusy);
}

TEST_F(DownloadTest, EndlessLineIsBounded) {
    reader.on(protocol::kDownload, [](FakeBytePort& p, std::string_view) {
        const std::string chunk(std::size_t{4} << 20U, 'x');
        for (int i = 0; i < 20; ++i) {
            p.arrive(chunk, 20ms + i * 10ms);
        }
    });
    EXPECT_EQ(controller->DownloadData(), "");
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::AnswerTooLong);
    EXPECT_EQ(host.messages.size(), 1U);
}

TEST_F(DownloadTest, ConnectionCheckMessages) {
    reader.reply(protocol::kConnect, protocol::nak_reply());
    EXPECT_EQ(controller->DownloadData(), "");
    EXPECT_EQ(controller->get_Opened(), kVariantFalse);
    EXPECT_EQ(controller->DownloadData(), "");
    ASSERT_EQ(host.messages.size(), 2U);
    EXPECT_EQ(host.messages[0],
              (ShownMessage{std::string(kCommunicationsFailed), 64, std::string(kDownloadTitle)}));
    EXPECT_EQ(host.messages[1],
              (ShownMessage{"Device did not open.   ", 64, "Download Data From KDR"}));
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::NotConnected);
    EXPECT_EQ(bar->value, 0.0F);
}

TEST_F(DownloadTest, NestedCallsFromTheMessageLoopAreRefused) {
    const std::string answer = answer_of({"one", "two"});
    answer_in_pieces({answer.substr(0, 20), answer.substr(20)});
    std::vector<ErrorKind> nested;
    std::size_t outputs_seen = 0;
    host.on_do_events([&] {
        if (!nested.empty()) {
            return;
        }
        outputs_seen = outputs().size();
        Variant port_number(std::int16_t{1});
        EXPECT_EQ(controller->OpenKDR(Variant(), port_number), kVariantFalse);
        nested.push_back(controller->LastFailure().kind);
        EXPECT_EQ(controller->DownloadData(), "");
        nested.push_back(controller->LastFailure().kind);
        EXPECT_TRUE(controller->EraseData().is_empty());
        EXPECT_EQ(controller->SyncUpHostTime(), kVariantFalse);
        EXPECT_TRUE(controller->CloseKDR().is_empty());
        nested.push_back(controller->LastFailure().kind);
        EXPECT_EQ(outputs().size(), outputs_seen) << "a nested call sent something";
    });
    EXPECT_EQ(controller->DownloadData(), expected(answer));
    EXPECT_EQ(nested, std::vector<ErrorKind>(3, ErrorKind::OperationInProgress));
    EXPECT_EQ(controller->LastFailure().kind, ErrorKind::None);
    EXPECT_EQ(controller->get_Opened(), kVariantTrue);
    EXPECT_TRUE(host.messages.empty());
}

}  // namespace
}  // namespace kdr::testing
