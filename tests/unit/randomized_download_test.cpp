// A thousand downloads of random readers on the virtual clock: random records
// of random lengths (very long ones too, and "?" inside texts), sent in random
// bursts with pauses shorter than the silence wait. Every record must come
// back, in order, with its text and time stamp; the expected text is built
// from the generated records, not from the decoding.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "controller_fixture.hpp"
#include "protocol/record_decoding.hpp"

namespace kdr::testing {
namespace {

constexpr int kDownloads = 1000;
constexpr std::uint64_t kDefaultSeed = 20071116;

struct StoredRecord {
    LocalDateTime stamp;
    char lead = '#';
    std::string text;
};

struct SimulatedReader {
    std::string machine_id;
    std::vector<StoredRecord> records;
};

// The reader's answer: STX, machine ID, five count digits, then per record
// its clock characters, leading character, text, "?" CR.
std::string answer_of(const SimulatedReader& reader) {
    std::string answer(1, protocol::STX);
    answer += reader.machine_id;
    answer += fmt::format("{:05}", reader.records.size());
    for (const auto& record : reader.records) {
        answer += protocol::encode_clock(record.stamp);
        answer += record.lead;
        answer += record.text;
        answer += "?\r";
    }
    return answer;
}

// What a host must receive for these records.
std::string expected_text(const SimulatedReader& reader, bool show_id, bool show_rtc) {
    std::string text;
    if (show_id) {
        text += "Machine ID: " + reader.machine_id + "\r\n\r\n";
    }
    text += fmt::format("{} record(s) received\r\n \r\n", reader.records.size());
    for (const auto& record : reader.records) {
        if (show_rtc) {
            const LocalDateTime& s = record.stamp;
            text += fmt::format("{:04}/{:02}/{:02} {:02}:{:02}:{:02}\r\n", s.year, s.month, s.day,
                                s.hour, s.minute, s.second);
        }
        text += record.text;
        text += "\r\n\r\n";
    }
    return text;
}

class RandomReaders {
  public:
    explicit RandomReaders(std::uint64_t seed) : random_(seed) {}

    SimulatedReader next() {
        SimulatedReader reader;
        reader.machine_id = machine_id();
        const int shape = pick(0, 99);
        const int count = shape < 8    ? 0
                          : shape < 70 ? pick(1, 20)
                          : shape < 97 ? pick(21, 150)
                                       : pick(151, 600);
        for (int i = 0; i < count; ++i) {
            reader.records.push_back(record());
        }
        return reader;
    }

    /// The answer cut into bursts: sizes from single characters to the whole
    /// answer, the first within the settling wait, then pauses below 0.3 s.
    std::vector<std::pair<Clock::Duration, std::string>> bursts(const std::string& answer) {
        std::vector<std::pair<Clock::Duration, std::string>> out;
        // At most a few hundred bursts, so that the test stays fast.
        const std::size_t smallest = std::max<std::size_t>(1, answer.size() / 400);
        const int style = pick(0, 3);
        Clock::Duration at = std::chrono::microseconds(pick(0, 99'999));
        for (std::size_t from = 0; from < answer.size();) {
            std::size_t size = answer.size();
            switch (style) {
                case 0:
                    size = pick_size(smallest, smallest + 16);
                    break;
                case 1:
                    size = pick_size(smallest, 600);  // what one silence lets gather
                    break;
                case 2:
                    size = pick_size(smallest, 8192);
                    break;
                default:
                    break;  // all at once
            }
            out.emplace_back(at, answer.substr(from, size));
            from += size;
            at += std::chrono::microseconds(pick(0, 299'999));
        }
        return out;
    }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    struct Coverage {
        int records = 0;
        int beyond_lookahead = 0;  // longer than 392 characters
        int beyond_window = 0;     // longer than 15,000 characters
        int with_question_mark = 0;
        int empty = 0;
    } coverage;

  private:
    std::size_t pick_size(std::size_t low, std::size_t high) {
        return std::uniform_int_distribution<std::size_t>(low, std::max(low, high))(random_);
    }

    char any_byte() { return static_cast<char>(pick(0, 255)); }

    std::string machine_id() {
        std::string id(1, static_cast<char>(pick('A', 'Z')));
        for (int i = 1; i < 8; ++i) {
            id += pick(0, 4) == 0 ? ' ' : any_byte();  // the reader pads with spaces
        }
        return id;
    }

    StoredRecord record() {
        StoredRecord r;
        r.stamp = {pick(2000, 2007), pick(1, 12), pick(1, 31),
                   pick(0, 23),      pick(0, 59), pick(0, 59)};
        const int shape = pick(0, 999);
        const std::size_t length = shape < 700   ? pick_size(0, 40)
                                   : shape < 960 ? pick_size(41, 392)
                                   : shape < 990 ? pick_size(393, 3000)
                                                 : pick_size(15'001, 40'000);
        r.text.reserve(length);
        for (std::size_t i = 0; i < length; ++i) {
            const int kind = pick(0, 19);
            r.text += kind == 0 ? '?' : kind == 1 ? '\r' : kind == 2 ? '\n' : any_byte();
        }
        // The reader never stores "?" CR inside a text: that ends a record.
        for (std::size_t at = r.text.find("?\r"); at != std::string::npos;
             at = r.text.find("?\r", at)) {
            r.text[at + 1] = '?';
        }
        r.lead = static_cast<char>(pick(0x21, 0x7E));
        // A leading "?" before a text that begins with CR would end the record.
        if (r.lead == '?' && !r.text.empty() && r.text.front() == '\r') {
            r.lead = '#';
        }
        ++coverage.records;
        coverage.beyond_lookahead += r.text.size() > 392 ? 1 : 0;
        coverage.beyond_window += r.text.size() > 15'000 ? 1 : 0;
        coverage.with_question_mark += r.text.find('?') != std::string::npos ? 1 : 0;
        coverage.empty += r.text.empty() ? 1 : 0;
        return r;
    }

    std::mt19937_64 random_;
};

std::string printable(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        out += code >= 0x20 && code < 0x7F ? std::string(1, c) : fmt::format("\\x{:02x}", code);
    }
    return out;
}

// Where two long texts first differ, for a readable failure.
std::string first_difference(const std::string& got, const std::string& want) {
    const auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    const auto at = static_cast<std::size_t>(g - got.begin());
    const std::size_t from = at > 40 ? at - 40 : 0;
    return fmt::format("lengths {} and {}, first difference at {}:\n got  {}\n want {}", got.size(),
                       want.size(), at, printable(got.substr(from, 80)),
                       printable(want.substr(from, 80)));
}

class RandomizedDownloadTest : public ControllerTest {};

TEST_F(RandomizedDownloadTest, EveryRecordComesBackInOrder) {
    const char* seed_text = std::getenv("KDR_RANDOMIZED_SEED");
    const std::uint64_t seed = seed_text ? std::strtoull(seed_text, nullptr, 10) : kDefaultSeed;
    RandomReaders readers(seed);

    accepting_reader();
    ASSERT_TRUE(open());
    std::vector<std::pair<Clock::Duration, std::string>> bursts;
    reader.on(protocol::kDownload, [&bursts](FakeBytePort& p, std::string_view) {
        for (const auto& [at, bytes] : bursts) {
            p.arrive(bytes, at);
        }
    });

    for (int download = 0; download < kDownloads; ++download) {
        const SimulatedReader stored = readers.next();
        const bool show_id = readers.pick(0, 1) == 1;
        const bool show_rtc = readers.pick(0, 3) != 0;
        controller->put_ShowMachineID(to_variant_bool(show_id));
        controller->put_ShowRTC(to_variant_bool(show_rtc));
        bursts = readers.bursts(answer_of(stored));
        const Clock::Duration last_arrival =
            bursts.empty() ? Clock::Duration{} : bursts.back().first;

        // The count shown while the answer arrives is the decoding's own.
        protocol::AnswerProgress counted;
        std::string so_far;
        for (const auto& burst : bursts) {
            so_far += burst.second;
            counted.update(so_far);
        }
        ASSERT_EQ(counted.progress().records, stored.records.size()) << "download " << download;

        const auto start = clock.now();
        const std::string result = controller->DownloadData();
        const auto elapsed = clock.now() - start;

        const std::string want = expected_text(stored, show_id, show_rtc);
        ASSERT_EQ(result.size() == want.size() && result == want, true)
            << "download " << download << " (seed " << seed << ", " << stored.records.size()
            << " records in " << bursts.size() << " bursts): " << first_difference(result, want);
        ASSERT_FALSE(controller->LastFailure()) << controller->LastFailure().description;
        ASSERT_TRUE(host.messages.empty());
        ASSERT_FALSE(port->is_open());
        // The connection check, the settling wait, the bursts, and at most two
        // silence waits after the last one.
        ASSERT_LE(elapsed, 250ms + 100ms + last_arrival + 600ms + 1ms) << "download " << download;
    }

    // The readers held what the test is about.
    const auto& c = readers.coverage;
    EXPECT_GT(c.records, 20'000);
    EXPECT_GT(c.beyond_lookahead, 500);
    EXPECT_GT(c.beyond_window, 100);
    EXPECT_GT(c.with_question_mark, 5'000);
    EXPECT_GT(c.empty, 100);
}

}  // namespace
}  // namespace kdr::testing
