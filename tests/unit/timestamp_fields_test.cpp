#include "protocol/timestamp_fields.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kdr/error.hpp"

namespace kdr::protocol {
namespace {

const std::string kDefault(kDefaultTimestamp);

TEST(LeadingNumber, TakesTheNumberAtTheStartOfTheText) {
    const struct {
        std::string text;
        double value;
    } cases[] = {
        {"08", 8.0},
        {"2007", 2007.0},
        {" 12abc", 12.0},
        {"\t 7", 7.0},
        {"-3.5x", -3.5},
        {"+7", 7.0},
        {".5", 0.5},
        {"12.", 12.0},
        {"1e5", 1.0},
        {"20100", 20100.0},
        {"", 0.0},
        {"abc", 0.0},
        {".", 0.0},
        {"-", 0.0},
        {"- 3", 0.0},
        {"/07", 0.0},
        {"   ", 0.0},
        {"0012", 12.0},
        {"1 2", 1.0},
        {"-0.25", -0.25},
        {std::string(400, '9'), std::numeric_limits<double>::infinity()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(leading_number(c.text), c.value) << '"' << c.text << '"';
    }
}

struct FieldCase {
    const char* what;
    std::int32_t i;
    std::string temp;
    std::string time_in;
    std::string receive_in;
    std::string time_out;
    std::string receive_out;
};

void run_field_cases(bool date, const std::vector<FieldCase>& cases, int current_year = 2007) {
    for (const auto& c : cases) {
        std::string temp = c.temp;
        std::string time_str = c.time_in;
        std::string receive = c.receive_in;
        if (date) {
            set_default_ymd_time(c.i, temp, time_str, receive, current_year);
        } else {
            set_default_hms_time(c.i, temp, time_str, receive);
        }
        EXPECT_EQ(time_str, c.time_out) << c.what;
        EXPECT_EQ(receive, c.receive_out) << c.what;
        EXPECT_EQ(temp, c.temp) << c.what;
    }
}

TEST(SetDefaultYmdTime, CompletesAndChecksTheDateFields) {
    run_field_cases(
        true,
        {
            {"year equal to the host's passes", 1, "07", "/07", "abcdefg", "2007", "abcdefg"},
            {"earlier year passes", 1, "00", "/00", "abcdefg", "2000", "abcdefg"},
            {"later year skips 5 then trims", 1, "08", "/08", "12345  #rec  ", kDefault, "#rec"},
            {"three-digit year is 20100", 1, "100", "/100", "12345x", kDefault, "x"},
            {"month 12 passes", 2, "12", "2007/12", " rest ", "2007/12", " rest "},
            {"month 00 passes", 2, "00", "2007/00", "rest", "2007/00", "rest"},
            {"month 13 skips 4", 2, "13", "2007/13", "1234 #r", kDefault, "#r"},
            {"day 31 passes", 3, "31", "2007/01/31", "rest", "2007/01/31", "rest"},
            {"day 00 passes", 3, "00", "2007/01/00", "rest", "2007/01/00", "rest"},
            {"day 32 skips 3", 3, "32", "2007/01/32", "123", kDefault, ""},
            {"i = 0 does nothing", 0, "99", "/99", "rest", "/99", "rest"},
            {"i = 4 does nothing", 4, "99", "/99", "rest", "/99", "rest"},
        });
}

TEST(SetDefaultYmdTime, ComparesTheWholeYearWithTheHostsYear) {
    run_field_cases(true, {{"20100 in 20099", 1, "100", "/100", "12345", kDefault, ""}}, 20099);
    run_field_cases(true, {{"20100 in 20100", 1, "100", "/100", "12345", "20100", "12345"}}, 20100);
}

TEST(SetDefaultHmsTime, AppendsAndChecksTheTimeFields) {
    run_field_cases(
        false,
        {
            {"hour after a space", 1, "08", "2007/11/16", "rest", "2007/11/16 08", "rest"},
            {"hour 24 passes", 1, "24", "2007/11/16", "rest", "2007/11/16 24", "rest"},
            {"hour 25 skips 2", 1, "25", "2007/11/16", "12 #r ", kDefault, "#r"},
            {"minute 60 passes", 2, "60", "2007/11/16 08", "r", "2007/11/16 08:60", "r"},
            {"minute 61 skips 1", 2, "61", "2007/11/16 08", "1  #r", kDefault, "#r"},
            {"second 60 passes", 3, "60", "2007/11/16 08:05", "r", "2007/11/16 08:05:60", "r"},
            {"second 61 skips none but trims", 3, "61", "x", "  #r  ", kDefault, "#r"},
            {"second 61 on no data left", 3, "61", "x", "", kDefault, ""},
            // An encoded value of 16 is a space: it is lost to the trimming.
            {"space-coded character is trimmed", 3, "61", "x", " #r", kDefault, "#r"},
            {"only spaces are trimmed", 3, "61", "x", "\t#r\r", kDefault, "\t#r\r"},
            {"i = 0 does nothing", 0, "99", "x", " r ", "x", " r "},
            {"i = 4 does nothing", 4, "99", "x", " r ", "x", " r "},
        });
}

TEST(TimestampFields, FailsWithoutChangingAnythingWhenTheSkipCannotBeMade) {
    const struct {
        const char* what;
        bool date;
        std::int32_t i;
        std::string temp;
        std::string time_in;
        std::string receive_in;
    } cases[] = {
        {"year with an empty time stamp", true, 1, "07", "", "abcdef"},
        {"later year, 4 characters left", true, 1, "08", "/08", "1234"},
        {"month 13, 3 characters left", true, 2, "13", "2007/13", "123"},
        {"day 32, 2 characters left", true, 3, "32", "2007/01/32", "12"},
        {"hour 25, 1 character left", false, 1, "25", "2007/01/01", "1"},
        {"minute 61, nothing left", false, 2, "61", "2007/01/01 01", ""},
    };
    for (const auto& c : cases) {
        std::string time_str = c.time_in;
        std::string receive = c.receive_in;
        try {
            if (c.date) {
                set_default_ymd_time(c.i, c.temp, time_str, receive, 2007);
            } else {
                set_default_hms_time(c.i, c.temp, time_str, receive);
            }
            ADD_FAILURE() << c.what << ": no error";
        } catch (const Error& error) {
            EXPECT_EQ(error.kind(), ErrorKind::InvalidArgument) << c.what;
            EXPECT_STREQ(error.what(), "Invalid procedure call or argument") << c.what;
        }
        EXPECT_EQ(time_str, c.time_in) << c.what;
        EXPECT_EQ(receive, c.receive_in) << c.what;
    }
}

TEST(TimestampFields, CompletingReportsTheSkipWithoutReplacingTheStamp) {
    const struct {
        bool date;
        std::int32_t i;
        std::string temp;
        std::string time_in;
        std::string time_out;
        std::optional<std::size_t> skip;
    } cases[] = {
        {true, 1, "08", "/08", "2008", 5},
        {true, 2, "13", "2007/13", "2007/13", 4},
        {true, 3, "32", "2007/01/32", "2007/01/32", 3},
        {false, 1, "25", "2007/01/01", "2007/01/01 25", 2},
        {false, 2, "61", "2007/01/01 25", "2007/01/01 25:61", 1},
        {false, 3, "61", "2007/01/01 25:61", "2007/01/01 25:61:61", 0},
        {false, 3, "59", "t", "t:59", std::nullopt},
    };
    for (const auto& c : cases) {
        std::string time_str = c.time_in;
        const auto skip = c.date ? complete_date_field(c.i, c.temp, time_str, 2007)
                                 : complete_time_field(c.i, c.temp, time_str);
        EXPECT_EQ(skip, c.skip) << c.time_in;
        EXPECT_EQ(time_str, c.time_out) << c.time_in;
    }
}

TEST(TimestampFields, TheFieldTextMayBeTheTimeStampItself) {
    // A host passes its variables by reference and may pass one twice.
    std::string same = "08";
    std::string receive = "rest";
    set_default_hms_time(1, same, same, receive);
    EXPECT_EQ(same, "08 08");
    EXPECT_EQ(receive, "rest");
}

TEST(SkipAndTrim, RemovesOnlySpacesAtBothEnds) {
    EXPECT_EQ(skip_and_trim("ab  cd  ", 2), "cd");
    EXPECT_EQ(skip_and_trim("  a b  ", 0), "a b");
    EXPECT_EQ(skip_and_trim("   ", 1), "");
    EXPECT_EQ(skip_and_trim("abc", 3), "");
    EXPECT_EQ(skip_and_trim("\t x \n", 0), "\t x \n");
    EXPECT_THROW(static_cast<void>(skip_and_trim("ab", 3)), Error);
}

}  // namespace
}  // namespace kdr::protocol
