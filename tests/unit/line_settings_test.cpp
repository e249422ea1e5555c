#include "kdr/line_settings.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "kdr/error.hpp"

namespace kdr {
namespace {

struct Accepted {
    std::string_view text;
    LineSettings expected;
};

TEST(LineSettings, ParsesAcceptedTexts) {
    const std::vector<Accepted> cases = {
        {"19200,n,8,1", {19200, 'n', 8, StopBits::One}},
        {"19200,N,8,1", {19200, 'n', 8, StopBits::One}},
        {" 9600 , E , 7 , 2 ", {9600, 'e', 7, StopBits::Two}},
        {"\t110,o,5,1.5\t", {110, 'o', 5, StopBits::OnePointFive}},
        {"50,M,6,1", {50, 'm', 6, StopBits::One}},
        {"4000000,s,8,2", {4000000, 's', 8, StopBits::Two}},
        {"019200,O,08,1", {19200, 'o', 8, StopBits::One}},
    };
    for (const Accepted& c : cases) {
        SCOPED_TRACE(c.text);
        const LineSettings parsed = parse_line_settings(c.text);
        EXPECT_EQ(parsed, c.expected);
        // The canonical text reads back to the same settings.
        EXPECT_EQ(parse_line_settings(to_string(parsed)), parsed);
    }
}

TEST(LineSettings, CanonicalTextIsKeptAsIs) {
    for (const std::string_view text : {"19200,n,8,1", "9600,e,7,1.5", "300,m,5,2"}) {
        EXPECT_EQ(to_string(parse_line_settings(text)), text);
    }
}

struct Refused {
    std::string_view text;
    std::string_view message_part;  // the field named in the message
};

TEST(LineSettings, RefusesOtherTextsNamingTheField) {
    using namespace std::string_view_literals;
    const std::vector<Refused> cases = {
        {"", "found 1"},
        {"19200", "found 1"},
        {"19200,n,8", "found 3"},
        {"19200,n,8,1,", "found 5"},
        {"19200;n;8;1", "found 1"},
        {"0,n,8,1", "baud rate \"0\""},
        {"49,n,8,1", "baud rate \"49\""},
        {"4000001,n,8,1", "baud rate"},
        {"99999999999999999999,n,8,1", "baud rate"},
        {"-19200,n,8,1", "baud rate"},
        {"+19200,n,8,1", "baud rate"},
        {"19 200,n,8,1", "baud rate"},
        {"19200.0,n,8,1", "baud rate"},
        {"0x4b00,n,8,1", "baud rate"},
        {",n,8,1", "baud rate \"\""},
        {"19200,x,8,1", "parity \"x\""},
        {"19200,,8,1", "parity \"\""},
        {"19200,no,8,1", "parity \"no\""},
        {"19200,\xe9,8,1", "parity \"\\xe9\""},
        {"19200,n,4,1", "data bits \"4\""},
        {"19200,n,9,1", "data bits \"9\""},
        {"19200,n,,1", "data bits"},
        {"19200,n,8.0,1", "data bits"},
        {"19200,n,8,0", "stop bits \"0\""},
        {"19200,n,8,3", "stop bits"},
        {"19200,n,8,1.50", "stop bits"},
        {"19200,n,8,", "stop bits"},
        {"19200,n,8,one", "stop bits"},
        {"19200,n,8,1\0"sv, "stop bits \"1\\x00\""},
    };
    for (const Refused& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        try {
            (void)parse_line_settings(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::InvalidSettings);
            EXPECT_NE(std::string_view(e.what()).find(c.message_part), std::string_view::npos)
                << e.what();
        }
    }
}

TEST(LineSettings, MessageForHugeTextStaysShort) {
    const std::string text(100000, ',');
    try {
        (void)parse_line_settings(text);
        FAIL() << "accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::InvalidSettings);
        EXPECT_LT(std::string_view(e.what()).size(), 300U);
    }
}

// Random texts built from the characters that matter: parsing either succeeds
// with values in range or refuses with InvalidSettings (run under the
// sanitizers, this also shows that no input reads out of bounds).
TEST(LineSettings, AnyTextParsesOrIsRefused) {
    constexpr std::string_view kAlphabet = "0123456789,.nNeEoOmMsSx \t-+\x80\xff";
    std::mt19937 random(20240601U);
    std::uniform_int_distribution<std::size_t> length(0, 24);
    std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const std::size_t n = length(random);
        for (std::size_t i = 0; i < n; ++i) {
            text += kAlphabet[pick(random)];
        }
        try {
            const LineSettings s = parse_line_settings(text);
            EXPECT_GE(s.baud, kMinBaud) << text;
            EXPECT_LE(s.baud, kMaxBaud) << text;
            EXPECT_GE(s.data_bits, 5) << text;
            EXPECT_LE(s.data_bits, 8) << text;
            EXPECT_NE(std::string_view("neoms").find(s.parity), std::string_view::npos) << text;
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::InvalidSettings) << text;
        }
    }
    // Every byte value in the parity field, the one-character field.
    for (int byte = 0; byte < 256; ++byte) {
        std::string text = "19200,";
        text += static_cast<char>(byte);
        text += ",8,1";
        const bool letter = std::string_view("neomsNEOMS").find(static_cast<char>(byte)) !=
                                std::string_view::npos &&
                            byte != 0;
        if (letter) {
            EXPECT_NO_THROW((void)parse_line_settings(text)) << byte;
        } else {
            EXPECT_THROW((void)parse_line_settings(text), Error) << byte;
        }
    }
}

}  // namespace
}  // namespace kdr
