// The scheme of a port word, shared by the platforms' port factories.
#pragma once

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "kdr/error.hpp"
#include "kdr/platform.hpp"

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

/// One kind of port a factory makes: the scheme of its words (empty for a
/// word without one) and how a port is made from such a word.
struct PortKind {
    std::string_view scheme;
    std::unique_ptr<SerialPort> (*make)(std::string word);
};

/// The port of the kind whose scheme the word has. `example` ends the
/// sentences for an empty word and an unknown scheme ("the reader's serial
/// device, such as /dev/ttyUSB0").
[[nodiscard]] inline std::unique_ptr<SerialPort> make_port_of_kind(std::span<const PortKind> kinds,
                                                                   std::string word,
                                                                   std::string_view example) {
    if (word.empty()) {
        throw Error(ErrorKind::InvalidArgument, fmt::format("no port was given: name {}", example));
    }
    const std::string_view scheme = scheme_of(word);
    for (const PortKind& kind : kinds) {
        if (kind.scheme == scheme) {
            return kind.make(std::move(word));
        }
    }
    throw Error(ErrorKind::InvalidArgument,
                fmt::format("{}: \"{}://\" is no kind of port this program knows: name {}", word,
                            scheme, example));
}

}  // namespace kdr::platform
