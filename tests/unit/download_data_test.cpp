// The download as data: the records the reader held come back exactly, the
// controller's text is a rendering of the same data, and the command's
// formats carry it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kdr/error.hpp"
#include "kdr/simulator.hpp"
#include "protocol/record_decoding.hpp"
#include "writers/formats.hpp"

namespace kdr {
namespace {

namespace sim = kdr::simulator;

constexpr int kHostYear = 2099;

std::chrono::local_seconds moment(const LocalDateTime& when) {
    using namespace std::chrono;
    return local_days{year{when.year} / when.month / when.day} + hours{when.hour} +
           minutes{when.minute} + seconds{when.second};
}

// The decoded records hold exactly what the reader stored, and rendering them
// gives the text the controller decodes from the same answer.
void expect_round_trip(const std::vector<sim::Record>& stored, const std::string& what) {
    const std::string answer = sim::download_answer("KDR00042", stored);
    const Download download = protocol::decode_records(answer, kHostYear);
    EXPECT_TRUE(download.complete()) << what;
    EXPECT_EQ(download.machine_id, "KDR00042") << what;
    EXPECT_EQ(download.announced, static_cast<std::int32_t>(stored.size())) << what;
    ASSERT_EQ(download.records.size(), stored.size()) << what;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const DownloadedRecord& got = download.records[i];
        EXPECT_EQ(got.text, stored[i].text) << what << ", record " << i + 1;
        EXPECT_EQ(got.lead, stored[i].lead) << what << ", record " << i + 1;
        EXPECT_EQ(got.stamp.time(), moment(stored[i].stamp)) << what << ", record " << i + 1;
    }
    for (const bool id : {false, true}) {
        for (const bool rtc : {false, true}) {
            EXPECT_EQ(render_text(download, {id, rtc}),
                      protocol::decode_download(answer, {id, rtc, kHostYear}))
                << what;
        }
    }
}

TEST(DownloadData, RecordsComeBackAsTheReaderHeldThem) {
    const LocalDateTime t{2024, 5, 1, 8, 15, 0};
    const struct {
        const char* name;
        std::vector<sim::Record> records;
    } sets[] = {
        {"none", {}},
        {"samples across portions", sim::sample_records(2000, t)},
        {"question marks", {{t, "?", 'A'}, {t, "A?B??", 'B'}, {t, "??", 'C'}}},
        {"lead only", {{t, "", 'A'}, {t, "x", 'B'}, {t, "", 'C'}}},
        {"long", {{t, std::string(3000, 'L'), 'A'}, {t, "short", 'B'}}},
        {"empty lines and a date line inside",
         {{t, "a\r\n\r\n2024/01/02 03:04:05\r\nb", 'A'}, {t, "\r\n\r\n", 'B'}, {t, "c", 'C'}}},
        {"eight-bit",
         {{t,
           "Gr\xfc\xdf"
           "e \x80\xff",
           'A'}}},
    };
    for (const auto& set : sets) {
        expect_round_trip(set.records, set.name);
    }
}

// Random records of every byte value but the "?" CR pair that ends a record,
// weighted towards the characters that make texts hard to tell apart.
TEST(DownloadData, RandomRecordsComeBackExactly) {
    std::mt19937 random(20261207);
    const std::string tricky[] = {"\r", "\n", "\r\n\r\n", "?", "2024/01/02 03:04:05", " ", "\r\n"};
    for (int round = 0; round < 200; ++round) {
        std::vector<sim::Record> records(random() % 40);
        for (sim::Record& record : records) {
            record.stamp = {
                2000 + static_cast<int>(random() % 100), 1 + static_cast<int>(random() % 12),
                1 + static_cast<int>(random() % 28),     static_cast<int>(random() % 24),
                static_cast<int>(random() % 60),         static_cast<int>(random() % 60)};
            const std::size_t pieces = random() % 8;
            for (std::size_t p = 0; p < pieces; ++p) {
                if (random() % 2 == 0) {
                    record.text += tricky[random() % std::size(tricky)];
                } else {
                    record.text += static_cast<char>(random() % 256);
                }
            }
            // No "?" CR inside, and none made by the lead and the text's start.
            for (std::size_t at = record.text.find("?\r"); at != std::string::npos;
                 at = record.text.find("?\r")) {
                record.text[at] = '!';
            }
            record.lead = static_cast<char>(random() % 256);
            if (record.lead == '?' && record.text.starts_with('\r')) {
                record.lead = '#';
            }
        }
        expect_round_trip(records, "round " + std::to_string(round));
    }
}

// Whatever the line did to the answer, the text rendered from the data is the
// text the controller decodes, and a cut answer never reads as complete.
TEST(DownloadData, DamagedAnswersRenderAsTheControllerDecodesThem) {
    std::mt19937 random(7);
    const std::string whole =
        sim::download_answer("KDR00042", sim::sample_records(60, {2024, 5, 1, 8, 15, 0}));
    for (int round = 0; round < 2000; ++round) {
        std::string answer = whole.substr(0, random() % (whole.size() + 1));
        for (int flips = static_cast<int>(random() % 3); flips > 0 && !answer.empty(); --flips) {
            answer[random() % answer.size()] = static_cast<char>(random() % 256);
        }
        std::optional<Download> download;
        try {
            download = protocol::decode_records(answer, 2030);
        } catch (const Error&) {
            EXPECT_THROW(static_cast<void>(protocol::decode_download(answer, {true, true, 2030})),
                         Error);
            continue;
        }
        for (const bool rtc : {false, true}) {
            ASSERT_EQ(render_text(*download, {true, rtc}),
                      protocol::decode_download(answer, {true, rtc, 2030}))
                << "round " << round;
        }
        if (answer.size() < whole.size() && answer == whole.substr(0, answer.size())) {
            EXPECT_FALSE(download->complete()) << answer.size() << " of " << whole.size();
        }
    }
}

TEST(DownloadData, DamageShowsInTheData) {
    const std::vector<sim::Record> stored = sim::sample_records(6, {2024, 5, 1, 8, 0, 0});
    const std::string answer = sim::download_answer("KDR00042", stored);

    const std::string cut = answer.substr(0, answer.find(stored[3].text) + 2);
    const Download cut_short = protocol::decode_records(cut, 2030);
    EXPECT_EQ(cut_short.records.size(), 3U);
    EXPECT_TRUE(cut_short.cut);
    EXPECT_EQ(cut_short.tail, cut.substr(answer.find(stored[3].text) - 7));
    EXPECT_FALSE(cut_short.complete());

    const Download headless = protocol::decode_records("", 2030);
    EXPECT_FALSE(headless.has_header);
    EXPECT_FALSE(headless.complete());

    // An empty record is a record: it counts, and the download is whole when
    // the reader announced it.
    std::string with_empty = answer;
    with_empty.insert(answer.find(stored[2].text) - 7, std::string(6, '\x20') + "?\r");
    with_empty[13] = '7';
    const Download empty = protocol::decode_records(with_empty, 2030);
    ASSERT_EQ(empty.records.size(), 7U);
    EXPECT_FALSE(empty.records[2].has_lead);
    EXPECT_EQ(empty.records[2].text, "");
    EXPECT_TRUE(empty.complete());
    // More records than announced, or bytes after the last one: incomplete.
    with_empty[13] = '6';
    EXPECT_FALSE(protocol::decode_records(with_empty, 2030).complete());
    EXPECT_FALSE(protocol::decode_records(answer + "x", 2030).complete());
    // An empty reader may send a stamp after its header: 0 of 0 is whole.
    const std::string empty_reader = "\x02KDR0004200000" + answer.substr(14, 6);
    EXPECT_TRUE(protocol::decode_records(empty_reader, 2030).complete());
    EXPECT_FALSE(protocol::decode_records(empty_reader + "x", 2030).complete());

    struct StampCase {
        std::array<int, 6> values;
        StampState state;
        int bad_field;
        const char* line;
    };
    const StampCase stamps[] = {
        {{24, 5, 1, 8, 15, 0}, StampState::Valid, 0, "2024/05/01 08:15:00"},
        {{24, 13, 1, 8, 15, 0}, StampState::OutOfRange, 2, "2000/01/01 00:00:00"},
        {{24, 2, 30, 8, 15, 0}, StampState::NotADate, 3, "2024/02/30 08:15:00"},
        {{24, 5, 0, 8, 15, 0}, StampState::NotADate, 3, "2024/05/00 08:15:00"},
        {{24, 5, 1, 24, 60, 60}, StampState::NotADate, 4, "2024/05/01 24:60:60"},
        {{24, 5, 1, -3, 15, 0}, StampState::NotADate, 4, "2024/05/01 -03:15:00"},
        {{123, 5, 1, 8, 15, 0}, StampState::NotADate, 1, "20123/05/01 08:15:00"},
    };
    for (const StampCase& c : stamps) {
        // The second record's stamp: no year check, no lower bound.
        std::string damaged = answer;
        const std::size_t at = answer.find(stored[1].text) - 7;
        for (std::size_t i = 0; i < 6; ++i) {
            damaged[at + i] = static_cast<char>(c.values.at(i) + 16);
        }
        const Stamp stamp = protocol::decode_records(damaged, 2030).records.at(1).stamp;
        EXPECT_EQ(stamp.state, c.state) << c.line;
        EXPECT_EQ(stamp.bad_field, c.bad_field) << c.line;
        EXPECT_EQ(stamp.line(), c.line);
        EXPECT_EQ(stamp.time().has_value(), c.state == StampState::Valid) << c.line;
    }
}

Download sample_download() {
    std::string answer =
        sim::download_answer("KDR\x80", {{{2024, 5, 1, 8, 15, 0}, "plain", 'A'},
                                         {{2024, 5, 1, 8, 16, 0}, "comma, \"quote\"\r\nnext", 'A'},
                                         {{2024, 5, 1, 8, 17, 0}, "Gr\xfc\xdf", 'A'}});
    answer[answer.find("comma") - 6] = 16 + 13;  // the second record's month: out of range
    // The last record cut short by its final CR.
    return protocol::decode_records(answer.substr(0, answer.size() - 1), 2030);
}

TEST(DownloadFormats, JsonSaysWhatArrivedAndNeverPassesADefaultDateForARealOne) {
    const nlohmann::json json =
        nlohmann::json::parse(writers::to_json(sample_download(), writers::text_decoder("cp1252")));
    EXPECT_EQ(json.at("machine_id"), "KDR\u20ac    ");
    EXPECT_EQ(json.at("record_count"), 3);
    EXPECT_EQ(json.at("received"), 2);
    EXPECT_EQ(json.at("complete"), false);
    ASSERT_EQ(json.at("records").size(), 2U);
    EXPECT_EQ(json["records"][0], (nlohmann::json{{"timestamp", "2024-05-01T08:15:00"},
                                                  {"date", "2024-05-01"},
                                                  {"time", "08:15:00"},
                                                  {"date_line", "2024/05/01 08:15:00"},
                                                  {"text", "plain"}}));
    EXPECT_EQ(json["records"][1], (nlohmann::json{{"timestamp", nullptr},
                                                  {"date", nullptr},
                                                  {"time", nullptr},
                                                  {"date_line", "2000/01/01 00:00:00"},
                                                  {"text", "comma, \"quote\"\r\nnext"}}));
}

TEST(DownloadFormats, CsvQuotesWhereNeeded) {
    EXPECT_EQ(
        writers::to_csv(sample_download(), writers::text_decoder("latin1")),
        "machine_id,record_count,record,timestamp,date,time,date_line,text\n"
        "KDR\u0080    ,3,1,2024-05-01T08:15:00,2024-05-01,08:15:00,2024/05/01 08:15:00,plain\n"
        "KDR\u0080    ,3,2,,,,2000/01/01 00:00:00,\"comma, \"\"quote\"\"\r\nnext\"\n");
    EXPECT_EQ(writers::to_csv(Download{true, "KDR00042", 0, {}, false, {}, 0, {}},
                              writers::text_decoder("utf8")),
              "machine_id,record_count,record,timestamp,date,time,date_line,text\n"
              "KDR00042,0,,,,,,\n");
    EXPECT_EQ(writers::with_platform_line_ends("a\r\nb\rc\r\n\r\n"), "a\nb\rc\n\n");
}

// A cell a spreadsheet would run as a formula is written as text; every CSV
// writer goes through csv_field.
TEST(DownloadFormats, CsvCellsNeverBecomeFormulas) {
    const struct {
        std::string_view field;
        std::string_view written;
    } cases[] = {
        {"=SUM(A1:A9)", "\"'=SUM(A1:A9)\""},
        {"+1", "\"'+1\""},
        {"-5", "\"'-5\""},
        {"@cmd", "\"'@cmd\""},
        {"\tx", "\"'\tx\""},
        {"\rx", "\"'\rx\""},
        {"=\"a\",b", "\"'=\"\"a\"\",b\""},
        {"a=b-c", "a=b-c"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(writers::csv_field(c.field), c.written) << c.field;
    }
}

TEST(DownloadFormats, TheReadersCharactersBecomeUtf8) {
    const struct {
        const char* encoding;
        std::string bytes;
        std::string utf8;
    } cases[] = {
        {"cp1252", "\x80\x9f\xe9\x81", "\u20ac\u0178\u00e9\u0081"},
        {"latin1", "\x80\xe9", "\u0080\u00e9"},
        {"utf8", "\u00e9\u20ac", "\u00e9\u20ac"},
        {"utf8", "a\xe9z\xc0\x80", "a\ufffdz\ufffd\ufffd"},  // stray and overlong
    };
    for (const auto& c : cases) {
        EXPECT_EQ(writers::text_decoder(c.encoding)(c.bytes), c.utf8) << c.encoding;
    }
    EXPECT_THROW(static_cast<void>(writers::text_decoder("ebcdic")), std::exception);
}

TEST(DownloadFormats, TextsGoBackIntoTheReadersCodePage) {
    const struct {
        const char* encoding;
        std::string utf8;
        std::string bytes;  // empty: refused, the error naming `refused`
        std::string refused;
    } cases[] = {
        {"cp1252", "Gr\u00f6\u00dfe \u20ac\u0178\u0081",
         "Gr\xf6\xdf"
         "e \x80\x9f\x81",
         ""},
        {"latin1", "Gr\u00f6\u00dfe \u0080\u00ff",
         "Gr\xf6\xdf"
         "e \x80\xff",
         ""},
        {"utf8", "Z\u0142oty", "Z\u0142oty", ""},
        {"cp1252", "Z\u0142oty", "", "\"\u0142\" (U+0142)"},
        {"cp1252", "\u0080", "", "U+0080"},  // 0x80 is the euro sign there
        {"latin1", "5\u20ac", "", "\"\u20ac\" (U+20AC)"},
        {"cp1252", "caf\xe9", "", "no valid UTF-8"},  // Latin-1 given for UTF-8
    };
    for (const auto& c : cases) {
        const writers::TextEncoder encode = writers::text_encoder(c.encoding);
        if (!c.bytes.empty()) {
            EXPECT_EQ(encode(c.utf8), c.bytes) << c.encoding << " " << c.utf8;
            EXPECT_EQ(writers::text_decoder(c.encoding)(c.bytes), c.utf8) << c.encoding;
            continue;
        }
        try {
            static_cast<void>(encode(c.utf8));
            ADD_FAILURE() << c.encoding << " took " << c.utf8;
        } catch (const Error& error) {
            EXPECT_EQ(error.kind(), ErrorKind::InvalidArgument);
            EXPECT_NE(std::string(error.what()).find(c.refused), std::string::npos) << error.what();
        }
    }
    EXPECT_THROW(static_cast<void>(writers::text_encoder("ebcdic")), std::exception);
}

// An export: several readers in one document of each format.
TEST(RecordWriters, SeveralReadersMakeOneDocument) {
    DownloadedRecord record;
    record.text = "ITEM";
    const auto write = [&](std::string_view format) {
        std::ostringstream out;
        const auto writer =
            writers::make_writer(format, out, {writers::default_decoder(), {}, true});
        for (const char* id : {"KDR00001", "KDR00002"}) {
            writers::ReaderHeader reader;
            reader.machine_id = id;
            reader.received = 1;
            writer->begin(reader);
            writer->record(record);
            writer->end();
        }
        writer->finish();
        return out.str();
    };
    const nlohmann::json json = nlohmann::json::parse(write("json"));
    ASSERT_EQ(json.size(), 2U);
    EXPECT_EQ(json[1]["machine_id"], "KDR00002");
    EXPECT_TRUE(json[1]["record_count"].is_null());
    const std::string csv = write("csv");
    EXPECT_EQ(csv.rfind("machine_id,", 0), 0U);
    EXPECT_EQ(csv.find("machine_id,", 1), std::string::npos) << csv;
    EXPECT_NE(csv.find("\nKDR00002,,1,"), std::string::npos) << csv;
    EXPECT_EQ(writers::format_names(true), (std::vector<std::string>{"json", "csv"}));
}

}  // namespace
}  // namespace kdr
