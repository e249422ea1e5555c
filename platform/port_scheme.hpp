// The scheme of a port word, shared by the platforms' port factories.
#pragma once

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kdr/byte_port.hpp"
#include "kdr/error.hpp"

namespace kdr::platform {

/// The scheme of "name://...": a letter, then letters, digits, '+', '-' or
/// '.'; empty for a word without one. A device path has none, whatever
/// colons it holds ("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0").
[[nodiscard]] inline std::string_view scheme_of(std::string_view word) {
    const std::size_t end = word.find("://");
    if (end == std::string_view::npos || end == 0 ||
        std::isalpha(static_cast<unsigned char>(word.front())) == 0) {
        return {};
    }
    const std::string_view scheme = word.substr(0, end);
    const bool well_formed = std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '-' || c == '.';
    });
    return well_formed ? scheme : std::string_view{};
}

/// The number of a word that names a serial port by number: "3", or "COM3"
/// in any case; nothing for any other word. Throws InvalidPortNumber for such
/// a word whose number is outside 1 to 32767 ("COM0", "0", "COM99999").
[[nodiscard]] inline std::optional<std::int16_t> port_number(std::string_view word) {
    std::string_view digits = word;
    constexpr std::string_view kPrefix = "COM";
    if (word.size() > kPrefix.size() &&
        std::equal(kPrefix.begin(), kPrefix.end(), word.begin(), [](char upper, char c) {
            return std::toupper(static_cast<unsigned char>(c)) == upper;
        })) {
        digits = word.substr(kPrefix.size());
    }
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return std::nullopt;
    }
    int number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc{} || end != digits.data() + digits.size() || number < 1 ||
        number > 32767) {
        throw Error(ErrorKind::InvalidPortNumber,
                    fmt::format("{} names no serial port: port numbers run from 1 to 32767 (COM1 "
                                "is the first)",
                                word));
    }
    return static_cast<std::int16_t>(number);
}

/// One kind of port a factory makes: the scheme of its words (empty for a
/// word without one) and how a port is made from such a word.
struct PortKind {
    std::string_view scheme;
    std::unique_ptr<BytePort> (*make)(std::string_view word);
};

/// The port of the kind whose scheme the word has. `example` ends the
/// sentences for an empty word and an unknown scheme ("the reader's serial
/// device, such as /dev/ttyUSB0").
[[nodiscard]] inline std::unique_ptr<BytePort> make_port_of_kind(std::span<const PortKind> kinds,
                                                                 std::string_view word,
                                                                 std::string_view example) {
    if (word.empty()) {
        throw Error(ErrorKind::InvalidArgument, fmt::format("no port was given: name {}", example));
    }
    const std::string_view scheme = scheme_of(word);
    for (const PortKind& kind : kinds) {
        if (kind.scheme == scheme) {
            return kind.make(word);
        }
    }
    throw Error(ErrorKind::InvalidArgument,
                fmt::format("{}: \"{}://\" is no kind of port this program knows: name {}", word,
                            scheme, example));
}

}  // namespace kdr::platform
