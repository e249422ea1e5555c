// Reading DownloadData's text back into records, and the command's formats.
// The texts come from the controller's own decoding of the simulator's
// answers, so the parser is checked against what the controller really writes.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/download_text.hpp"
#include "kdr/error.hpp"
#include "kdr/simulator.hpp"
#include "operations/record_decoding.hpp"

namespace kdr::cli {
namespace {

namespace sim = kdr::simulator;

constexpr int kHostYear = 2030;

std::string stamp_text(const LocalDateTime& when) {
    return fmt::format("{:04}/{:02}/{:02} {:02}:{:02}:{:02}", when.year, when.month, when.day,
                       when.hour, when.minute, when.second);
}

std::string decoded(std::string_view answer, bool machine_id, bool dates) {
    return operations::decode_download(answer, {machine_id, dates, kHostYear});
}

struct RecordSet {
    const char* name;
    std::vector<sim::Record> records;
};

std::vector<RecordSet> record_sets() {
    const LocalDateTime t{2024, 5, 1, 8, 15, 0};
    return {
        {"None", {}},
        {"One", {{t, "4006381333931", 'A'}}},
        {"Samples", sim::sample_records(25, t)},
        {"QuestionMarksInside", {{t, "?", 'A'}, {t, "A?B??", 'B'}, {t, "??", 'C'}}},
        {"LeadOnly", {{t, "", 'A'}, {t, "x", 'B'}, {t, "", 'C'}}},
        {"Long", {{t, std::string(3000, 'L'), 'A'}, {t, "short", 'B'}}},
        {"ManyAcrossPortions", sim::sample_records(2000, t)},
        {"EightBit",
         {{t,
           "Gr\xfc\xdf"
           "e \x80\xff",
           'A'}}},
        {"DateLikeText", {{t, "2024/01/01 10:00:00", 'A'}, {t, "after", 'B'}}},
    };
}

void PrintTo(const RecordSet& set, std::ostream* out) {
    *out << set.name;
}

class RoundTrip : public ::testing::TestWithParam<std::tuple<RecordSet, bool, bool>> {};

TEST_P(RoundTrip, RecordsComeBackAsTheReaderHeldThem) {
    const auto& [set, machine_id, dates] = GetParam();
    const std::string answer = sim::download_answer("KDR00042", set.records);
    const DownloadedData data =
        parse_download_text(decoded(answer, machine_id, dates), machine_id, dates);
    EXPECT_EQ(data.machine_id, machine_id ? std::optional<std::string>("KDR00042") : std::nullopt);
    EXPECT_EQ(data.record_count, static_cast<long>(set.records.size()));
    EXPECT_FALSE(data.trailing_stamp);
    ASSERT_EQ(data.records.size(), set.records.size());
    for (std::size_t i = 0; i < set.records.size(); ++i) {
        EXPECT_EQ(data.records[i].text, set.records[i].text) << "record " << i + 1;
        EXPECT_EQ(data.records[i].stamp,
                  dates ? std::optional(stamp_text(set.records[i].stamp)) : std::nullopt);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RoundTrip,
                         ::testing::Combine(::testing::ValuesIn(record_sets()), ::testing::Bool(),
                                            ::testing::Bool()),
                         [](const auto& param) {
                             return std::string(std::get<0>(param.param).name) +
                                    (std::get<1>(param.param) ? "_Id" : "") +
                                    (std::get<2>(param.param) ? "_Rtc" : "");
                         });

TEST(DownloadText, DamagedAnswersShowInTheParsedData) {
    const std::vector<sim::Record> records = sim::sample_records(6, {2024, 5, 1, 8, 0, 0});
    const std::string answer = sim::download_answer("KDR00042", records);

    // Cut in the middle of the fourth record: three records and its stamp.
    const std::size_t cut = answer.find("NOTE 4") + 2;
    const DownloadedData cut_short =
        parse_download_text(decoded(answer.substr(0, cut), true, true), true, true);
    EXPECT_EQ(cut_short.record_count, 6);
    EXPECT_EQ(cut_short.records.size(), 3U);
    EXPECT_TRUE(cut_short.trailing_stamp);

    // No header: the controller shows no machine ID and 0 records.
    const DownloadedData headless = parse_download_text(decoded("", true, false), true, false);
    EXPECT_EQ(headless.machine_id, std::optional<std::string>(""));
    EXPECT_EQ(headless.record_count, 0);
    EXPECT_TRUE(headless.records.empty());

    // An out-of-range stamp reads as the controller's default one.
    std::string damaged = answer;
    damaged[15] = static_cast<char>(29 + 20);  // the first record's month: 33
    const DownloadedData defaulted =
        parse_download_text(decoded(damaged, false, true), false, true);
    EXPECT_EQ(defaulted.records.at(0).stamp, std::optional<std::string>("2000/01/01 00:00:00"));
    EXPECT_EQ(defaulted.records.size(), 6U);
}

TEST(DownloadText, TextsOfAnotherShapeAreRefused) {
    const char* bad[] = {
        "",
        "records received\r\n \r\n",
        "3 record(s) received\r\n",
        "1 record(s) received\r\n \r\nno empty line after\r\n",
        "1 record(s) received\r\n \r\nnot a stamp\r\ntext\r\n\r\n",
    };
    for (const char* text : bad) {
        EXPECT_THROW(static_cast<void>(parse_download_text(text, false, true)), Error) << text;
    }
    EXPECT_THROW(static_cast<void>(parse_download_text("Machine ID: KDR\r\n\r\n0 record(s) "
                                                       "received\r\n \r\n",
                                                       true, false)),
                 Error);
    EXPECT_THROW(static_cast<void>(without_machine_id("0 record(s) received\r\n \r\n")), Error);
}

TEST(DownloadText, StampLinesAndTheirParts) {
    for (const char* line : {"2024/05/01 08:15:00", "2000/01/01 00:00:00", "20-05/-16/239 24:60:60",
                             "20111/02/03 04:05:06"}) {
        EXPECT_TRUE(is_stamp_line(line)) << line;
    }
    for (const char* line :
         {"", "2024/05/01", "2024-05-01 08:15:00", "2024/05/01 08:15:00 ", "1999/05/01 08:15:00",
          "2024/5/01 08:15:00", "2024/0505/01 08:15:00"}) {
        EXPECT_FALSE(is_stamp_line(line)) << line;
    }
    EXPECT_EQ(split_stamp("2024/05/01 08:15:00").date, "2024-05-01");
    EXPECT_EQ(split_stamp("2024/05/01 08:15:00").time, "08:15:00");
    EXPECT_EQ(split_stamp("20-05/13/01 24:60:00").date, "20-05/13/01");
}

TEST(DownloadText, LineEndsAndMachineIdLines) {
    EXPECT_EQ(with_platform_line_ends("a\r\nb\rc\r\n\r\n"), "a\nb\rc\n\n");
    const std::string text = decoded(sim::download_answer("KDR00042", {}), true, false);
    EXPECT_EQ(without_machine_id(text),
              decoded(sim::download_answer("KDR00042", {}), false, false));
    EXPECT_EQ(without_machine_id(decoded("", true, false)), decoded("", false, false));
}

DownloadedData sample_data() {
    DownloadedData data;
    data.machine_id = "KDR\xe9";
    data.record_count = 3;
    data.records = {{"2024/05/01 08:15:00", "plain"},
                    {"2024/05/01 08:16:00", "comma, \"quote\"\r\nnext"},
                    {"2000/01/01 00:00:00", "Gr\xfc\xdf"}};
    return data;
}

TEST(DownloadFormats, JsonCarriesEveryFieldAsUtf8) {
    const nlohmann::json json = nlohmann::json::parse(to_json(sample_data()));
    EXPECT_EQ(json.at("machine_id"), "KDR\u00e9");
    EXPECT_EQ(json.at("record_count"), 3);
    ASSERT_EQ(json.at("records").size(), 3U);
    EXPECT_EQ(json["records"][0],
              (nlohmann::json{{"date", "2024-05-01"}, {"time", "08:15:00"}, {"text", "plain"}}));
    EXPECT_EQ(json["records"][1]["text"], "comma, \"quote\"\r\nnext");
    EXPECT_EQ(json["records"][2]["text"], "Gr\u00fc\u00df");
}

TEST(DownloadFormats, CsvQuotesWhereNeeded) {
    EXPECT_EQ(to_csv(sample_data()),
              "machine_id,record_count,record,date,time,text\n"
              "KDR\xe9,3,1,2024-05-01,08:15:00,plain\n"
              "KDR\xe9,3,2,2024-05-01,08:16:00,\"comma, \"\"quote\"\"\r\nnext\"\n"
              "KDR\xe9,3,3,2000-01-01,00:00:00,Gr\xfc\xdf\n");
    DownloadedData empty;
    empty.machine_id = "KDR00042";
    EXPECT_EQ(to_csv(empty), "machine_id,record_count,record,date,time,text\nKDR00042,0,,,,\n");
}

}  // namespace
}  // namespace kdr::cli
