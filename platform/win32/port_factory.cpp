#include "kdr/port_factory.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>

#include "kdr/error.hpp"
#include "kdr/win32_platform.hpp"

namespace kdr {
namespace {

constexpr int kHighestPort = 32767;

/// The number of "3" or "COM3" (any case); 0 for a word that is neither or
/// is out of range.
int port_number(std::string_view word) {
    constexpr std::string_view kPrefix = "COM";
    if (word.size() > kPrefix.size() &&
        std::equal(kPrefix.begin(), kPrefix.end(), word.begin(), [](char upper, char c) {
            return std::toupper(static_cast<unsigned char>(c)) == upper;
        })) {
        word.remove_prefix(kPrefix.size());
    }
    int number = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), number);
    const bool whole = !word.empty() && error == std::errc{} && end == word.data() + word.size();
    return whole && number >= 1 && number <= kHighestPort ? number : 0;
}

}  // namespace

std::unique_ptr<BytePort> make_byte_port(std::string_view word) {
    if (word.empty()) {
        throw Error(ErrorKind::InvalidArgument,
                    "no port was given: name the reader's COM port, such as COM3");
    }
    if (word.find("://") != std::string_view::npos) {
        throw Error(ErrorKind::InvalidArgument,
                    fmt::format("{}: this Windows build reaches readers on COM ports only; name "
                                "one, such as COM3",
                                word));
    }
    const int number = port_number(word);
    if (number == 0) {
        throw Error(ErrorKind::InvalidPortNumber,
                    fmt::format("{} names no serial port: give a COM port from COM1 to COM{}, "
                                "such as COM3",
                                word, kHighestPort));
    }
    return std::make_unique<win32::SerialPort>(static_cast<std::int16_t>(number));
}

std::unique_ptr<BytePort> make_numbered_port(std::int16_t number) {
    return std::make_unique<win32::SerialPort>(number);
}

}  // namespace kdr
