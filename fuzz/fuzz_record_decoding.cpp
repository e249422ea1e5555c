// The record decoding on any answer, with any switches and host year.
//
// Input: byte 0 switches (bit 0 ShowMachineID, bit 1 ShowRTC), byte 1 the
// host's year as 2000 plus a signed offset, then the answer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "kdr/error.hpp"
#include "protocol/record_decoding.hpp"

namespace {

using kdr::fuzz::check;

// Checks that the decoding hands control back in its order: the header once,
// then the summary once, then steps.
class OrderHooks : public kdr::protocol::DecodeHooks {
  public:
    void header_taken() override {
        check(headers == 0 && summaries == 0 && steps == 0, "header taken first, once");
        ++headers;
    }
    void summary_written() override {
        check(headers == 1 && summaries == 0 && steps == 0, "summary after header, once");
        ++summaries;
    }
    void step() override {
        check(summaries == 1, "steps only after the summary");
        ++steps;
    }
    int headers = 0;
    int summaries = 0;
    long steps = 0;
};

// The summary the decoding must begin with: what it shows of the header
// does not depend on the records.
void check_summary(std::string_view answer, const kdr::protocol::DecodeOptions& options,
                   std::string_view result) {
    constexpr std::string_view kStx = "\x02";
    const bool has_header = answer.substr(0, 1) == kStx;
    if (options.show_machine_id) {
        std::string line = "Machine ID: ";
        line += has_header ? answer.substr(1, 8) : std::string_view{};
        line += "\r\n\r\n";
        check(result.substr(0, line.size()) == line, "machine ID line");
        result.remove_prefix(line.size());
    }
    std::size_t digits = 0;
    while (digits < result.size() && result[digits] >= '0' && result[digits] <= '9') {
        ++digits;
    }
    check(digits >= 1 && (digits == 1 || result[0] != '0'), "count without leading zeros");
    check(has_header || result.substr(0, digits) == "0", "no header counts 0 records");
    constexpr std::string_view kRest = " record(s) received\r\n \r\n";
    check(result.substr(digits, kRest.size()) == kRest, "summary line and space line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    kdr::protocol::DecodeOptions options;
    options.show_machine_id = (data[0] & 1U) != 0;
    options.show_rtc = (data[0] & 2U) != 0;
    options.current_year = 2000 + static_cast<std::int8_t>(data[1]);
    const std::string_view answer(reinterpret_cast<const char*>(data + 2), size - 2);

    OrderHooks hooks;
    std::string result;
    try {
        result = kdr::protocol::decode_download(answer, options, hooks);
    } catch (const kdr::Error& error) {
        check(error.kind() == kdr::ErrorKind::BadAnswer, "a failing decoding is a bad answer");
        check(hooks.steps <= 1, "no failure once the first record is taken");
        return 0;
    }
    check(hooks.headers == 1 && hooks.summaries == 1, "both hooks called on success");
    check_summary(answer, options, result);
    // Every record costs at least its "?" CR and its leading character, and
    // gives at most its text, two line ends and a date line of 25 characters.
    check(result.size() <= 64 + 2 * answer.size() + 16 * static_cast<std::size_t>(hooks.steps),
          "result bounded by the answer");
    check(static_cast<std::size_t>(hooks.steps) <= 1 + answer.size() / 2,
          "one step per record end");
    // The hooks only observe: the text is the same without them.
    check(kdr::protocol::decode_download(answer, options) == result, "deterministic");
    // The records as data render to the same text: nothing is lost between them.
    const kdr::Download download = kdr::protocol::decode_records(answer, options.current_year);
    check(kdr::render_text(download, {options.show_machine_id, options.show_rtc}) == result,
          "the data renders to the controller's text");
    check(download.records.size() + 1 >= static_cast<std::size_t>(hooks.steps),
          "every record end counted");
    // The records are what the reader sent, whatever the host's clock says.
    check(kdr::protocol::decode_records(answer, options.current_year + 50).records ==
              download.records,
          "records do not depend on the host's year");
    return 0;
}
