// The serial component's settings text, as a caller may give any.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "kdr/error.hpp"
#include "kdr/line_settings.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kdr::fuzz::check;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    kdr::LineSettings settings;
    try {
        settings = kdr::parse_line_settings(text);
    } catch (const kdr::Error& error) {
        check(error.kind() == kdr::ErrorKind::InvalidSettings, "refusals are InvalidSettings");
        // The message quotes the caller's text and the wrong field, each cut
        // to 40 characters of up to four (an escaped byte): bounded whatever
        // the text, and nothing in it that could steer a terminal or break a
        // log line.
        const std::string_view message = error.what();
        check(message.size() <= 512, "message length bounded");
        for (const char c : message) {
            const auto code = static_cast<unsigned char>(c);
            check(code >= 0x20 && code < 0x7F, "message printable");
        }
        return 0;
    }
    check(settings.baud >= kdr::kMinBaud && settings.baud <= kdr::kMaxBaud, "baud in range");
    check(settings.data_bits >= 5 && settings.data_bits <= 8, "data bits in range");
    check(std::string_view("neoms").find(settings.parity) != std::string_view::npos,
          "parity letter");
    const std::string written = kdr::to_string(settings);
    check(kdr::parse_line_settings(written) == settings, "written settings read back");
    check(kdr::to_string(kdr::parse_line_settings(written)) == written, "canonical form stable");
    return 0;
}
