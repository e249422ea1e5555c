#include "kdr/port_factory.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <string_view>
#include <utility>

#include "kdr/error.hpp"
#include "kdr/win32_platform.hpp"
#include "platform/port_scheme.hpp"

namespace kdr {
namespace {

/// The number of "COM3" in any case; 0 for a word that is no COM port.
int com_number(std::string_view word) {
    constexpr std::string_view kPrefix = "COM";
    if (word.size() <= kPrefix.size() ||
        !std::equal(kPrefix.begin(), kPrefix.end(), word.begin(), [](char upper, char c) {
            return std::toupper(static_cast<unsigned char>(c)) == upper;
        })) {
        return 0;
    }
    const std::string_view digits = word.substr(kPrefix.size());
    int number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    const bool whole = error == std::errc{} && end == digits.data() + digits.size();
    return whole && number >= 1 && number <= 32767 ? number : 0;
}

std::unique_ptr<SerialPort> com_port(std::string word) {
    const int number = com_number(word);
    if (number == 0) {
        throw Error(ErrorKind::InvalidPortNumber,
                    fmt::format("{} names no serial port: give a COM port from COM1 on, such as "
                                "COM3",
                                word));
    }
    auto port = std::make_unique<win32::SerialPort>();
    port->put_CommPort(static_cast<std::int16_t>(number));
    return port;
}

constexpr std::array kPortKinds{
    platform::PortKind{"", &com_port},
};

}  // namespace

std::unique_ptr<SerialPort> make_serial_port(std::string word) {
    return platform::make_port_of_kind(kPortKinds, std::move(word),
                                       "the reader's COM port, such as COM3");
}

}  // namespace kdr
