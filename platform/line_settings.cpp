#include "kdr/line_settings.hpp"

#include <fmt/format.h>

#include <array>
#include <charconv>
#include <cstddef>
#include <optional>
#include <system_error>

#include "kdr/error.hpp"

namespace kdr {
namespace {

constexpr std::size_t kFieldCount = 4;
// Texts come from callers and fuzzers alike: messages quote at most this much.
constexpr std::size_t kQuoteLimit = 40;

/// The text in double quotes, shortened and with unprintable bytes escaped,
/// so that a message stays readable whatever it was given.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    const std::size_t shown = text.size() > kQuoteLimit ? kQuoteLimit : text.size();
    for (std::size_t i = 0; i < shown; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte >= 0x7f || byte == '"' || byte == '\\') {
            out += fmt::format("\\x{:02x}", static_cast<unsigned>(byte));
        } else {
            out += static_cast<char>(byte);
        }
    }
    if (shown < text.size()) {
        out += "...";
    }
    out += '"';
    return out;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view field) {
    while (!field.empty() && is_blank(field.front())) {
        field.remove_prefix(1);
    }
    while (!field.empty() && is_blank(field.back())) {
        field.remove_suffix(1);
    }
    return field;
}

/// A decimal number of digits only (no sign, no blanks inside), or nothing
/// when the field is not one or does not fit an int.
std::optional<int> decimal(std::string_view field) {
    if (field.empty()) {
        return std::nullopt;
    }
    for (const char c : field) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    int value = 0;
    const char* const end = field.data() + field.size();
    const auto [stop, error] = std::from_chars(field.data(), end, value);
    if (error != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return value;
}

[[noreturn]] void refuse(std::string_view text, const std::string& why) {
    throw Error(ErrorKind::InvalidSettings, fmt::format("line settings {}: {}", quoted(text), why));
}

}  // namespace

LineSettings parse_line_settings(std::string_view text) {
    std::array<std::string_view, kFieldCount> fields{};
    std::size_t count = 0;
    std::string_view rest = text;
    while (true) {
        const std::size_t comma = rest.find(',');
        const std::string_view field = rest.substr(0, comma);
        if (count < kFieldCount) {
            fields[count] = trimmed(field);
        }
        ++count;
        if (comma == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(comma + 1);
    }
    if (count != kFieldCount) {
        refuse(text, fmt::format("expected four fields \"baud,parity,data bits,stop bits\" such "
                                 "as \"19200,n,8,1\", found {}",
                                 count));
    }

    LineSettings settings;

    const std::optional<int> baud = decimal(fields[0]);
    if (!baud || *baud < kMinBaud || *baud > kMaxBaud) {
        refuse(text, fmt::format("the baud rate {} is not a number from {} to {}",
                                 quoted(fields[0]), kMinBaud, kMaxBaud));
    }
    settings.baud = *baud;

    const std::string_view parity = fields[1];
    constexpr std::string_view kParities = "neoms";
    char letter = '\0';
    if (parity.size() == 1) {
        letter = parity[0];
        if (letter >= 'A' && letter <= 'Z') {
            letter = static_cast<char>(letter - 'A' + 'a');
        }
    }
    if (letter == '\0' || kParities.find(letter) == std::string_view::npos) {
        refuse(text, fmt::format("the parity {} is not one of n (none), e (even), o (odd), "
                                 "m (mark) or s (space)",
                                 quoted(parity)));
    }
    settings.parity = letter;

    const std::optional<int> data_bits = decimal(fields[2]);
    if (!data_bits || *data_bits < 5 || *data_bits > 8) {
        refuse(text,
               fmt::format("the data bits {} are not one of 5, 6, 7 or 8", quoted(fields[2])));
    }
    settings.data_bits = *data_bits;

    const std::string_view stop = fields[3];
    if (stop == "1") {
        settings.stop_bits = StopBits::One;
    } else if (stop == "1.5") {
        settings.stop_bits = StopBits::OnePointFive;
    } else if (stop == "2") {
        settings.stop_bits = StopBits::Two;
    } else {
        refuse(text, fmt::format("the stop bits {} are not one of 1, 1.5 or 2", quoted(stop)));
    }
    return settings;
}

std::string_view to_string(StopBits stop_bits) noexcept {
    switch (stop_bits) {
        case StopBits::One:
            return "1";
        case StopBits::OnePointFive:
            return "1.5";
        case StopBits::Two:
            return "2";
    }
    return "?";
}

std::string to_string(const LineSettings& settings) {
    return fmt::format("{},{},{},{}", settings.baud, settings.parity, settings.data_bits,
                       to_string(settings.stop_bits));
}

}  // namespace kdr
