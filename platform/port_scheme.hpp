// The scheme of a port word, shared by the platforms' port factories.
#pragma once

#include <algorithm>
#include <cctype>
#include <string_view>

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

}  // namespace kdr::platform
