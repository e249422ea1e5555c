#include "kdr/protocol.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

namespace kdr::protocol {
namespace {

// Strings here are built by appending: g++ 12 at -O3 reports a false
// -Wrestrict when a string is put in front of a temporary one.
std::string frame_of(std::string_view body, char checksum) {
    std::string frame(1, STX);
    frame.append(body);
    frame += CR;
    frame += checksum;
    frame += ETX;
    return frame;
}

struct FrameCase {
    std::string body;
    char checksum;
};

class FrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTest, ChecksumAndLayout) {
    const auto& c = GetParam();
    EXPECT_EQ(checksum_char(c.body), c.checksum);
    EXPECT_EQ(build_frame(c.body), frame_of(c.body, c.checksum));
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, FrameTest,
    ::testing::Values(
        // "P" and eight spaces: 80 + 256 + 13 = 349, 349 mod 128 = 93, Or 32 = "}".
        FrameCase{"P        ", '}'},
        // Default password then "D": 256 + 68 + 13 = 337 -> 81 -> 113 "q".
        FrameCase{"        D", 'q'},
        // Default password then "E": 82 Or 32 = 114 "r".
        FrameCase{"        E", 'r'},
        // Sum with bit 5 already set is sent unchanged: 20 + 13 = 33.
        FrameCase{std::string(1, '\x14'), '!'},
        // Sum 64 gets 32 added: the grave accent.
        FrameCase{std::string(1, '\x33'), '`'},
        // 127 (DEL) is a valid checksum character.
        FrameCase{std::string(1, '\x72'), '\x7f'},
        // Codes above 127 count by their 8-bit value: 200 + 13 = 213 -> 85 -> 117.
        FrameCase{std::string(1, '\xc8'), 'u'},
        // A long password is summed whole: 12 "A" = 780, + 80 + 13 = 873 -> 105 -> 105 "i".
        FrameCase{std::string("P").append(12, 'A'), 'i'}));

TEST(FrameTest, FixedReplies) {
    EXPECT_EQ(ack_reply(), std::string("\x02\x06\x0d\x33\x03", 5));
    EXPECT_EQ(nak_reply(), std::string("\x02\x15\x0d\x22\x03", 5));
}

TEST(ReplyTest, OnlyTheExactAcknowledgementIsAccepted) {
    const std::string ack = ack_reply();
    struct Case {
        std::string reply;
        ReplyVerdict verdict;
    };
    const Case cases[] = {
        {"", ReplyVerdict::NoAnswer},
        {std::string(1, STX), ReplyVerdict::NoAnswer},
        {ack, ReplyVerdict::Accepted},
        {ack + "x", ReplyVerdict::Refused},
        {"x" + ack, ReplyVerdict::Refused},
        {ack.substr(0, 4), ReplyVerdict::Refused},
        {nak_reply(), ReplyVerdict::Refused},
        {std::string("\x02\x06\x0d\x34\x03", 5), ReplyVerdict::Refused},  // wrong checksum
        {std::string("\x02\x06", 2), ReplyVerdict::Refused},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(test_reply(c.reply), c.verdict) << ::testing::PrintToString(c.reply);
    }
}

TEST(ReplyTest, FrameEndsAtTheFirstEtxAfterAnStx) {
    const std::string ack = ack_reply();
    struct Case {
        std::string text;
        std::optional<std::size_t> end;
    };
    const Case cases[] = {
        {"", std::nullopt},
        {ack.substr(0, 4), std::nullopt},
        {ack, 5},
        {ack + ack, 5},
        {"xy" + ack, 7},
        // An ETX before any STX opens nothing; the one after it closes.
        {std::string(1, ETX) + ack, 6},
        {std::string(1, ETX), std::nullopt},
        // A garbled frame is whole all the same: waiting would not mend it.
        {std::string{STX, ETX}, 2},
        {std::string{STX, STX, 'x', ETX}, 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(reply_frame_end(c.text), c.end) << ::testing::PrintToString(c.text);
    }
}

TEST(PasswordTest, PaddingAndSum) {
    struct Case {
        std::string in;
        std::string padded;
        std::int32_t sum;
    };
    const Case cases[] = {
        {"", std::string(8, ' '), 256},
        {"ABCDEFG", "ABCDEFG ", (65 + 66 + 67 + 68 + 69 + 70 + 71 + 32) % 128},
        {"ABCDEFGHIJKL", "ABCDEFGHIJKL", (65 * 12 + 66) % 128},
        {"        ", "        ", 0},
        {std::string(40000, 'z'), std::string(40000, 'z'), (122 * 40000) % 128},
        {"\xff", std::string("\xff") + std::string(7, ' '), (255 + 7 * 32) % 128},
    };
    for (auto c : cases) {
        std::string pwd = c.in;
        EXPECT_EQ(pad_password(pwd), c.sum) << c.in.size();
        EXPECT_EQ(pwd, c.padded);
    }
}

TEST(ClockTest, EncodesAndDecodes) {
    struct Case {
        LocalDateTime when;
        std::string chars;
    };
    const Case cases[] = {
        // The day 16 goes on the line as a space.
        {{2007, 11, 16, 8, 5, 3}, {23, 27, 32, 24, 21, 19}},
        {{2000, 1, 1, 0, 0, 0}, {16, 17, 17, 16, 16, 16}},
        {{2099, 12, 31, 23, 59, 59}, {115, 28, 47, 39, 75, 75}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode_clock(c.when), c.chars);
        EXPECT_EQ(decode_clock(c.chars), c.when);
    }
    // Characters below 16 decode to negative fields; nothing is range-checked.
    EXPECT_EQ(decode_clock(std::string(6, '\x0f')).month, -1);
}

TEST(RequestTest, ParsesWhatTheControllerBuilds) {
    const std::string spaces(8, ' ');
    // Second 52 makes the last clock character "D".
    const std::string clock = encode_clock({2031, 7, 4, 13, 45, 52});
    struct Case {
        std::string password;  // padded
        char command;
        std::string data;
    };
    const Case cases[] = {
        {spaces, kConnect, ""},
        {spaces, kDownload, ""},
        {spaces, kErase, ""},
        {"1234    ", kSetClock, clock},
        {"1234    ", kReadClock, encode_clock({2001, 1, 1, 0, 0, 0})},
        // Longer than eight characters, and with the letters in it.
        {"DTRE12345P", kConnect, ""},
        {"DTRE12345P", kDownload, ""},
        {"DTRE12345P", kSetClock, clock},
    };
    for (const Case& c : cases) {
        const std::string frame = c.command == kConnect
                                      ? build_frame(std::string(1, kConnect).append(c.password))
                                      : build_frame(command_body(c.password, c.command, c.data));
        // Told by the reader's password, and from the frame alone.
        for (const std::string_view known : {std::string_view(c.password), std::string_view()}) {
            SCOPED_TRACE(::testing::PrintToString(frame) + (known.empty() ? " alone" : ""));
            const std::optional<Request> request = parse_request(frame, known);
            ASSERT_TRUE(request.has_value());
            EXPECT_EQ(request->command, c.command);
            EXPECT_EQ(request->password, c.password);
            EXPECT_EQ(request->data, c.data);
            EXPECT_TRUE(request->checksum_ok);
        }
    }
}

TEST(RequestTest, TellsMalformedFramesAndForeignPasswords) {
    const std::string spaces(8, ' ');
    EXPECT_TRUE(ends_frame(build_frame("")));
    for (const std::string& bytes :
         {std::string(), std::string("\x02\r\x03"),
          std::string("x").append(build_frame("P").substr(1)),
          build_frame("        D").substr(0, 11), std::string("\x02        D\rq\x04")}) {
        EXPECT_FALSE(parse_request(bytes, spaces).has_value()) << ::testing::PrintToString(bytes);
    }
    // The reader's password is eight spaces.
    struct Case {
        std::string frame;
        char command;
        std::string password;
        std::string data;
        bool checksum_ok;
    };
    const Case cases[] = {
        {frame_of("        D", 'x'), kDownload, spaces, "", false},
        // Whatever follows the reader's password is the letter.
        {build_frame("        Xyz"), 'X', spaces, "yz", true},
        // Another password: the letter from the body's shape.
        {build_frame("P1234"), kConnect, "1234", "", true},
        {build_frame("abcdefghE"), kErase, "abcdefgh", "", true},
        {build_frame("abcdefghX"), '?', "", "abcdefghX", true},
        {build_frame("short"), '?', "", "short", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.frame));
        const std::optional<Request> request = parse_request(c.frame, spaces);
        ASSERT_TRUE(request.has_value());
        EXPECT_EQ(request->command, c.command);
        EXPECT_EQ(request->password, c.password);
        EXPECT_EQ(request->data, c.data);
        EXPECT_EQ(request->checksum_ok, c.checksum_ok);
    }
}

}  // namespace
}  // namespace kdr::protocol
