// Writes the fuzzers' seed corpus, one directory per target, from what the
// reader simulator sends and what the controller sends it:
//
//   fuzz_make_seeds <corpus directory>
//
// The output is deterministic; scripts/fuzz.sh --seeds rewrites fuzz/corpus.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "download_script.hpp"
#include "kdr/protocol.hpp"
#include "kdr/simulator.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace sim = kdr::simulator;

class Corpus {
  public:
    explicit Corpus(fs::path root) : root_(std::move(root)) {}

    void add(std::string_view target, std::string_view name, std::string_view bytes) {
        const fs::path dir = root_ / target;
        fs::create_directories(dir);
        std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            throw std::runtime_error("cannot write " + (dir / name).string());
        }
        ++written_;
    }
    [[nodiscard]] int written() const { return written_; }

  private:
    fs::path root_;
    int written_ = 0;
};

constexpr kdr::LocalDateTime kNewest{2007, 11, 16, 8, 5, 3};

// Switch bytes of the decoding target: both display switches, host year 2007.
std::string decoding_input(char switches, std::string_view answer) {
    return std::string{switches, static_cast<char>(7)} + std::string(answer);
}

std::vector<kdr::fuzz::Chunk> in_bursts(std::string_view answer, std::size_t size,
                                        std::chrono::milliseconds pause) {
    std::vector<kdr::fuzz::Chunk> chunks;
    for (std::size_t at = 0; at < answer.size(); at += size) {
        chunks.push_back({chunks.empty() ? 2ms : pause, std::string(answer.substr(at, size))});
    }
    return chunks;
}

void download_seeds(Corpus& corpus) {
    struct Answer {
        std::string_view name;
        std::string bytes;
    };
    const std::vector<Answer> answers = {
        {"empty", sim::download_answer("KDR00001", {})},
        {"one", sim::download_answer("KDR00001", sim::sample_records(1, kNewest))},
        {"eight", sim::download_answer("KDR00042", sim::sample_records(8, kNewest))},
        {"forty", sim::download_answer("K-7", sim::sample_records(40, kNewest))},
        {"garbled", sim::garble(sim::download_answer("KDR00001", sim::sample_records(6, kNewest)))},
        {"refusal", kdr::protocol::nak_reply()},
    };
    for (const auto& answer : answers) {
        const std::string name(answer.name);
        corpus.add("fuzz_record_decoding", name + "-plain", decoding_input('\0', answer.bytes));
        corpus.add("fuzz_record_decoding", name + "-shown", decoding_input('\3', answer.bytes));

        kdr::fuzz::DownloadScript script;
        script.show_machine_id = true;
        script.show_rtc = true;
        script.chunks = {{2ms, answer.bytes}};
        corpus.add("fuzz_download", name + "-whole", kdr::fuzz::write_script(script));
        // The simulator's bursts: 128 characters, 150 ms apart.
        script.chunks = in_bursts(answer.bytes, 128, 150ms);
        corpus.add("fuzz_download", name + "-bursts", kdr::fuzz::write_script(script));
    }
    const std::string eight = answers[2].bytes;
    kdr::fuzz::DownloadScript script;
    script.show_rtc = true;
    // The simulator's long pause: halfway through, longer than the silence.
    script.long_pauses = true;
    script.chunks = {{4ms, eight.substr(0, eight.size() / 2)},
                     {600ms, eight.substr(eight.size() / 2)}};
    corpus.add("fuzz_download", "eight-long-pause", kdr::fuzz::write_script(script));
    // Line rate at 19,200 baud: about ten characters every 5 ms.
    script.long_pauses = false;
    script.chunks = in_bursts(eight, 10, 5ms);
    corpus.add("fuzz_download", "eight-line-rate", kdr::fuzz::write_script(script));
    script.drop_line = true;
    script.event_turn = 3;
    corpus.add("fuzz_download", "eight-drop", kdr::fuzz::write_script(script));
    script.drop_line = false;
    script.nested_call = true;
    corpus.add("fuzz_download", "eight-nested", kdr::fuzz::write_script(script));
}

void protocol_seeds(Corpus& corpus) {
    namespace protocol = kdr::protocol;
    std::string password = "secret";
    static_cast<void>(protocol::pad_password(password));
    corpus.add("fuzz_protocol", "ack", protocol::ack_reply());
    corpus.add("fuzz_protocol", "nak", protocol::nak_reply());
    corpus.add("fuzz_protocol", "clock", sim::clock_reply(kNewest));
    corpus.add("fuzz_protocol", "garbled-ack", sim::garble(protocol::ack_reply()));
    corpus.add("fuzz_protocol", "connect",
               protocol::build_frame(std::string(1, protocol::kConnect) + password));
    corpus.add("fuzz_protocol", "set-clock",
               protocol::build_frame(protocol::command_body(password, protocol::kSetClock,
                                                            protocol::encode_clock(kNewest))));
}

void text_seeds(Corpus& corpus) {
    const std::vector<std::string_view> settings = {
        "19200,n,8,1", "9600,E,7,1.5", " 115200 , o , 8 , 2 ", "50,s,5,1", "19200,n,8", ""};
    int n = 0;
    for (const auto text : settings) {
        corpus.add("fuzz_line_settings", "settings-" + std::to_string(n++), text);
    }
    const std::vector<std::string_view> values = {
        "3",    " -12 ",  "2.5",     "1e3",         "&HFFFF",  "&O17",
        "True", " false", "32767.5", "-2147483648", "1.5E-07", "1.79769313486232E+308",
        ".5",   "abc"};
    n = 0;
    for (const auto text : values) {
        corpus.add("fuzz_variant", "value-" + std::to_string(n++), text);
    }
}

}  // namespace

// Sequences of the collect target (its operations by their low three bits:
// 0 scan, 2 damage KIND WHERE, 3 erase behaviour KIND, 4 collect, 6 collect
// and erase).
void collect_seeds(Corpus& corpus) {
    const std::vector<std::pair<std::string_view, std::string>> seeds{
        {"scan-collect-erase", std::string("\0\0\0\6\0\4", 6)},
        {"damaged-reads", std::string("\0\0\0\2\0\x14\2\0\x1e\2\0\x28\6\6", 14)},
        {"cut-and-missing", std::string("\0\0\2\1\x20\2\2\0\6\0\4", 11)},
        {"scan-while-reading", std::string("\0\0\2\3\0\6\0\6", 8)},
        {"erases-that-fail", std::string("\0\0\3\1\2\2\0\6\3\2\6\3\3\6\0\4", 16)},
    };
    for (const auto& [name, bytes] : seeds) {
        corpus.add("fuzz_collect", name, bytes);
    }
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds <corpus directory>\n");
        return 2;
    }
    try {
        Corpus corpus(argv[1]);
        download_seeds(corpus);
        protocol_seeds(corpus);
        text_seeds(corpus);
        collect_seeds(corpus);
        std::printf("%d seeds written to %s\n", corpus.written(), argv[1]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "fuzz_make_seeds: %s\n", error.what());
        return 1;
    }
    return 0;
}
