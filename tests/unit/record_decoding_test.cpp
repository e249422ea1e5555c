#include "protocol/record_decoding.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kdr/error.hpp"
#include "protocol/timestamp_fields.hpp"

namespace kdr::protocol {
namespace {

constexpr std::string_view kCrLf = "\r\n";
const std::string kDefault(kDefaultTimestamp);

// A clock as its six field values; the reader sends each as its value plus 16.
using Clock = std::array<int, 6>;
constexpr Clock kClock = {5, 2, 15, 14, 45, 57};
const std::string kClockText = "2005/02/15 14:45:57";

std::string clock_chars(const Clock& values) {
    std::string chars;
    for (const int value : values) {
        chars.push_back(static_cast<char>(value + 16));
    }
    return chars;
}

std::string header(std::string_view machine_id = "KDR-0042", std::string_view count = "00002") {
    return std::string(1, '\x02').append(machine_id).append(count);
}

// One record as the reader sends it, with the date line and text it must give.
struct Record {
    std::string text;
    Clock clock = kClock;
    std::string date = kClockText;
    char lead = '#';
};

std::string answer_of(std::string_view head, const std::vector<Record>& records,
                      std::string_view trailer = {}) {
    std::string answer(head);
    for (const auto& record : records) {
        answer += clock_chars(record.clock);
        answer.push_back(record.lead);
        answer += record.text;
        answer += "?\r";
    }
    answer += trailer;
    return answer;
}

std::string summary(std::string_view count, std::optional<std::string_view> machine_id = {}) {
    std::string text;
    if (machine_id) {
        text.append("Machine ID: ").append(*machine_id).append(kCrLf).append(kCrLf);
    }
    return text.append(count).append(" record(s) received\r\n \r\n");
}

std::string decoded(const std::vector<Record>& records, bool show_rtc) {
    std::string text;
    for (const auto& record : records) {
        if (show_rtc) {
            text.append(record.date).append(kCrLf);
        }
        text.append(record.text).append(kCrLf).append(kCrLf);
    }
    return text;
}

DecodeOptions options(bool show_rtc = true, bool show_machine_id = false) {
    return {.show_machine_id = show_machine_id, .show_rtc = show_rtc, .current_year = 2007};
}

void expect_bad_answer(std::string_view answer, const std::string& what) {
    try {
        static_cast<void>(decode_download(answer, options()));
        ADD_FAILURE() << what << ": no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), ErrorKind::BadAnswer) << what;
        EXPECT_GT(std::string_view(error.what()).size(), 20U) << what;
    }
}

TEST(RecordDecoding, SummaryShowsTheHeader) {
    const std::vector<Record> one = {{"A"}};
    const std::vector<Record> five = {{"A"}, {"B"}, {"C"}, {"D"}, {"E"}};
    const struct {
        const char* what;
        std::string answer;
        bool show_id;
        std::string expected_start;
    } cases[] = {
        {"empty answer", "", false, summary("0")},
        {"empty answer with ID", "", true, summary("0", "")},
        {"16 characters", header() + "ab", true, summary("2", "KDR-0042")},
        {"letter in the count", header("KDR-0042", "0012A") + "ab", false, summary("137")},
        {"count below zero",
         header("KDR-0042",
                "\x01"
                "0000") +
             "ab",
         false, summary("0")},
        {"count 3, one record", answer_of(header("KDR-0042", "00003"), one), false, summary("3")},
        {"count 3, five records", answer_of(header("KDR-0042", "00003"), five), false,
         summary("3")},
        {"spaces inside the ID", header("K R-42  ", "00001") + "ab", true,
         summary("1", "K R-42  ")},
        {"no STX", answer_of("XKDR-004200005", five), true, summary("0", "")},
    };
    for (const auto& c : cases) {
        const std::string result = decode_download(c.answer, options(false, c.show_id));
        EXPECT_EQ(result.substr(0, c.expected_start.size()), c.expected_start) << c.what;
    }
    EXPECT_EQ(decode_download(header() + "ab", options()), summary("2")) << "nothing after 16";
}

TEST(RecordDecoding, RecordsAreDecodedWithOrWithoutTheirDates) {
    const std::vector<Record> records = {
        {"0123456789"},
        {"a?b ends? with ?", {7, 12, 31, 24, 60, 60}, "2007/12/31 24:60:60", 'Z'},
        {"", {0, 0, 0, 0, 0, 0}, "2000/00/00 00:00:00"},  // only the leading character
        {"CR\ronly and LF\nonly", {99, 1, 1, 1, 1, 1}, "2099/01/01 01:01:01"},
    };
    for (const bool show_rtc : {true, false}) {
        const std::string answer = answer_of(header("KDR-0042", "00004"), records);
        EXPECT_EQ(decode_download(answer, options(show_rtc, true)),
                  summary("4", "KDR-0042") + decoded(records, show_rtc))
            << show_rtc;
        // Without a header the records are still found.
        const std::string headless = answer_of("..............", records);
        EXPECT_EQ(decode_download(headless, options(show_rtc)),
                  summary("0") + decoded(records, show_rtc))
            << show_rtc;
    }
}

TEST(RecordDecoding, LaterStampsAreCheckedOnlyAgainstUpperBounds) {
    const struct {
        Clock clock;
        std::string date;
    } cases[] = {
        {kClock, kClockText},
        {{5, 13, 15, 14, 45, 57}, kDefault},
        {{5, 2, 32, 14, 45, 57}, kDefault},
        {{5, 2, 15, 25, 45, 57}, kDefault},
        {{5, 2, 15, 14, 61, 57}, kDefault},
        {{5, 2, 15, 14, 45, 61}, kDefault},
        {{5, 12, 31, 24, 60, 60}, "2005/12/31 24:60:60"},
        {{99, 0, 0, 0, 0, 0}, "2099/00/00 00:00:00"},  // the host's year does not matter here
        {{100, 1, 1, 1, 1, 1}, "20100/01/01 01:01:01"},
        {{239, 1, 1, 1, 1, 1}, "20239/01/01 01:01:01"},
        {{-5, -16, -1, -10, 3, 4}, "20-05/-16/-01 -10:03:04"},
    };
    for (const auto& c : cases) {
        const std::vector<Record> records = {{"first"}, {"later", c.clock, c.date}};
        EXPECT_EQ(decode_download(answer_of(header(), records), options()),
                  summary("2") + decoded(records, true))
            << c.date;
    }
}

TEST(RecordDecoding, FirstStampGoesThroughTheFieldChecks) {
    const struct {
        const char* what;
        Clock clock;
        std::string after_stamp;  // what the answer holds after the first stamp
        std::string date;
        std::string text;
    } cases[] = {
        {"valid stamp", kClock, "#rec?\r", kClockText, "rec"},
        {"host's year passes", {7, 1, 1, 0, 0, 0}, "#rec?\r", "2007/01/01 00:00:00", "rec"},
        {"later year", {8, 1, 1, 0, 0, 0}, "#rec?\r", kDefault, "rec"},
        {"upper bounds pass", {7, 12, 31, 24, 60, 60}, "#rec?\r", "2007/12/31 24:60:60", "rec"},
        {"month 13", {5, 13, 15, 14, 45, 57}, "#rec?\r", kDefault, "rec"},
        {"day 32", {5, 2, 32, 14, 45, 57}, "#rec?\r", kDefault, "rec"},
        {"hour 25", {5, 2, 15, 25, 45, 57}, "#rec?\r", kDefault, "rec"},
        {"minute 61", {5, 2, 15, 14, 61, 57}, "#rec?\r", kDefault, "rec"},
        // The spaces after an out-of-range stamp go: the next character leads.
        {"second 61, spaces follow", {5, 2, 15, 14, 45, 61}, "   #rec?\r", kDefault, "rec"},
        {"second 60, spaces follow",
         {5, 2, 15, 14, 45, 60},
         "  #rec?\r",
         "2005/02/15 14:45:60",
         " #rec"},
        {"month 13, spaces follow", {5, 13, 15, 14, 45, 57}, " #rec?\r", kDefault, "rec"},
    };
    for (const auto& c : cases) {
        const std::string answer = header() + clock_chars(c.clock) + c.after_stamp;
        EXPECT_EQ(decode_download(answer, options()),
                  summary("2") + c.date + "\r\n" + c.text + "\r\n\r\n")
            << c.what;
        // Those rules are the text's alone: the record as data is what the
        // reader sent, on any day, and renders to the same text.
        const Download download = decode_records(answer, 2007);
        ASSERT_EQ(download.records.size(), 1U) << c.what;
        const DownloadedRecord& first = download.records[0];
        EXPECT_EQ(first.stamp.chars(), clock_chars(c.clock)) << c.what;
        EXPECT_EQ(std::string(1, first.lead) + first.text + "?\r", c.after_stamp) << c.what;
        EXPECT_EQ(decode_records(answer, 2099).records, download.records) << c.what;
        EXPECT_EQ(render_text(download, {false, true}), decode_download(answer, options()))
            << c.what;
    }
}

TEST(RecordDecoding, WhatFollowsTheLastRecord) {
    const std::vector<Record> records = {{"A"}, {"B"}};
    const std::string body = decoded(records, true);
    const std::string spaces_clock_text = kDefault;  // six spaces: month 16
    const struct {
        const char* what;
        std::string answer;
        bool show_rtc;
        std::string expected;
    } cases[] = {
        {"nothing", answer_of(header(), records), true, body},
        {"7 characters", answer_of(header(), records, "1234567"), true, body},
        {"8 characters", answer_of(header(), records, clock_chars(kClock) + "ab"), true,
         body + kClockText + "\r\n"},
        {"30 characters", answer_of(header(), records, clock_chars(kClock) + std::string(24, 'x')),
         true, body + kClockText + "\r\n"},
        {"8 characters, no dates", answer_of(header(), records, clock_chars(kClock) + "ab"), false,
         decoded(records, false)},
        {"8 spaces", answer_of(header(), records, "        "), true,
         body + spaces_clock_text + "\r\n"},
        // An out-of-range first stamp trims the end of the answer too.
        {"8 spaces after a bad first stamp",
         header() + clock_chars({5, 2, 15, 14, 45, 61}) + "#A?\r" + clock_chars(kClock) +
             "#B?\r        ",
         true, kDefault + "\r\nA\r\n\r\n" + kClockText + "\r\nB\r\n\r\n"},
        {"a stamp without its record",
         header() + clock_chars(kClock) + "#A?\r" + clock_chars(kClock), true,
         kClockText + "\r\nA\r\n\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode_download(c.answer, options(c.show_rtc)), summary("2") + c.expected)
            << c.what;
    }
}

TEST(RecordDecoding, LaterEmptyRecordAddsOnlyItsDate) {
    const Clock empty_clock = {6, 3, 4, 5, 6, 7};
    const std::string answer =
        answer_of(header(), {{"A"}}) + clock_chars(empty_clock) + "?\r" + answer_of("", {{"B"}});
    EXPECT_EQ(
        decode_download(answer, options()),
        summary("2") + decoded({{"A"}}, true) + "2006/03/04 05:06:07\r\n" + decoded({{"B"}}, true));
    EXPECT_EQ(decode_download(answer, options(false)), summary("2") + "A\r\n\r\nB\r\n\r\n");
}

TEST(RecordDecoding, DamagedAnswersEndTheDownload) {
    const struct {
        const char* what;
        std::string answer;
    } cases[] = {
        {"refusal frame", "\x02\x15\r\"\x03"},
        {"13 characters", header().substr(0, 13)},
        {"space inside the count", answer_of(header("KDR-0042", "00 02"), {{"A"}})},
        {"count ends with a space", answer_of(header("KDR-0042", "0002 "), {{"A"}})},
        {"17 characters", header() + "abc"},
        {"18 characters", header() + "abcd"},
        {"19 characters", header() + "abcde"},
        {"19 characters, later year", header() + clock_chars({9, 1, 1, 1, 1, 1}).substr(0, 5)},
        // Appended, not prepended: g++ 12 at -O3 warns falsely (-Wrestrict) on "X" + string.
        {"19 characters without STX", std::string("X").append(header().substr(1)) + "abcde"},
    };
    for (const auto& c : cases) {
        expect_bad_answer(c.answer, c.what);
    }
}

TEST(RecordDecoding, LongRecordsAndLongAnswersDecodeCompletely) {
    // Record lengths sweep every offset against any fixed window, with many
    // records far longer than a few hundred characters.
    std::vector<Record> records;
    std::size_t total = 0;
    for (std::size_t n = 0; total < (1U << 20) + 50'000; ++n) {
        std::string text(n * 37 % 1'500, static_cast<char>('a' + n % 26));
        if (n % 5 == 0 && !text.empty()) {
            text[text.size() / 2] = '?';  // a "?" inside the text is no record end
        }
        total += text.size() + 9;
        records.push_back({std::move(text)});
    }
    records.push_back({std::string(40'000, 'L')});
    records.push_back({"last"});
    const std::string answer = answer_of(header(), records);
    ASSERT_GT(answer.size(), 1U << 20);
    EXPECT_EQ(decode_download(answer, options()), summary("2") + decoded(records, true));

    const std::vector<Record> few = {{std::string(393, 'x')}, {std::string(16'000, 'y')}, {"z"}};
    EXPECT_EQ(decode_download(answer_of(header(), few), options()),
              summary("2") + decoded(few, true));
}

// Damage inside one record costs that record (or its date) and nothing else.
TEST(RecordDecoding, DamageConfinedToOneRecordCostsOnlyThatRecord) {
    const std::string b = clock_chars(kClock) + "#B?\r";
    const struct {
        const char* what;
        std::string answer;
        std::string expected;  // with the machine ID and dates
    } cases[] = {
        {"ID begins with a space", answer_of(header("    1234"), {{"A"}}),
         summary("2", "    1234") + decoded({{"A"}}, true)},
        {"unset reader: ID of eight spaces", answer_of(header("        "), {{"A"}}),
         summary("2", "        ") + decoded({{"A"}}, true)},
        {"first-stamp month below code 16: the rest of the stamp skipped",
         header() + clock_chars({5, -1, 15, 14, 45, 57}) + "#A?\r" + b,
         summary("2", "KDR-0042") + kDefault + "\r\nA\r\n\r\n" + decoded({{"B"}}, true)},
        {"first-stamp second of code 0, spaces after it removed",
         header() + clock_chars({5, 2, 15, 14, 45, -16}) + "  #A?\r" + b,
         summary("2", "KDR-0042") + kDefault + "\r\nA\r\n\r\n" + decoded({{"B"}}, true)},
        {"empty first record", header() + clock_chars(kClock) + "?\r" + b,
         summary("2", "KDR-0042") + kClockText + "\r\n" + decoded({{"B"}}, true)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode_download(c.answer, options(true, true)), c.expected) << c.what;
    }
}

class RecordingHooks : public DecodeHooks {
  public:
    void header_taken() override { events += 'H'; }
    void summary_written() override { events += 'S'; }
    void step() override { events += '.'; }
    std::string events;
};

TEST(RecordDecoding, HooksComeAtTheirPlaces) {
    const std::string three = answer_of(header(), {{"A"}, {"B"}, {""}});
    const struct {
        const char* what;
        std::string answer;
        std::string events;
    } cases[] = {
        {"empty answer", "", "HS"},
        {"16 characters", header() + "ab", "HS"},
        {"stamp only", header() + clock_chars(kClock), "HS."},
        {"three records", three, "HS...."},
        {"later empty record", answer_of(header(), {{"A"}}) + clock_chars(kClock) + "?\r", "HS..."},
        {"damaged header", answer_of(header("KDR-0042", "00 02"), {{"A"}}), ""},
        {"short first stamp", header() + "abc", "HS"},
        {"empty first record", header() + clock_chars(kClock) + "?\r", "HS.."},
    };
    for (const auto& c : cases) {
        RecordingHooks hooks;
        try {
            static_cast<void>(decode_download(c.answer, options(), hooks));
        } catch (const Error&) {
            // The failures are checked elsewhere; the events up to them count here.
        }
        EXPECT_EQ(hooks.events, c.events) << c.what;
    }
}

}  // namespace
}  // namespace kdr::protocol
