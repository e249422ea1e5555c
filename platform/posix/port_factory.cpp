#include "kdr/port_factory.hpp"

#include <fmt/format.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "kdr/error.hpp"
#include "kdr/network_port.hpp"
#include "kdr/posix_platform.hpp"
#include "platform/port_scheme.hpp"

namespace kdr {
namespace {

constexpr std::string_view kWhatToName =
    "the reader's serial device, such as /dev/ttyUSB0, a port number (1 is /dev/ttyS0), or a "
    "serial device server as tcp://HOST:PORT or rfc2217://HOST:PORT";

/// "3" and "COM3" are the system's port of that number, named by its device;
/// any other word without a scheme is a device path, which holds a "/".
std::unique_ptr<BytePort> device_port(std::string_view word) {
    if (const std::optional<std::int16_t> number = platform::port_number(word)) {
        return std::make_unique<PosixSerialPort>(PortMap().path_for(*number));
    }
    if (word.find('/') == std::string_view::npos) {
        throw Error(ErrorKind::InvalidArgument,
                    fmt::format("{} names no port: give {}", word, kWhatToName));
    }
    return std::make_unique<PosixSerialPort>(std::string(word));
}

std::unique_ptr<BytePort> network_port(std::string_view word) {
    return std::make_unique<NetworkSerialPort>(std::string(word));
}

constexpr std::array kPortKinds{
    platform::PortKind{"", &device_port},
    platform::PortKind{"tcp", &network_port},
    platform::PortKind{"rfc2217", &network_port},
};

}  // namespace

std::unique_ptr<BytePort> make_byte_port(std::string_view word) {
    return platform::make_port_of_kind(kPortKinds, word, kWhatToName);
}

std::unique_ptr<BytePort> make_numbered_port(std::int16_t number) {
    // path_for refuses numbers below 1.
    return std::make_unique<PosixSerialPort>(PortMap().path_for(number),
                                             fmt::format("COM{}", number));
}

}  // namespace kdr
