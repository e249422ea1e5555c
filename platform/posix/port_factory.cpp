#include "kdr/port_factory.hpp"

#include <fmt/format.h>

#include <array>
#include <string_view>
#include <utility>

#include "kdr/error.hpp"
#include "kdr/network_port.hpp"
#include "kdr/posix_platform.hpp"
#include "platform/port_scheme.hpp"

namespace kdr {
namespace {

std::unique_ptr<SerialPort> device_port(std::string path) {
    PortMap ports;
    ports.assign(1, std::move(path));
    ports.name_ports_by_device();
    auto port = std::make_unique<PosixSerialPort>(std::move(ports));
    port->put_CommPort(1);
    return port;
}

std::unique_ptr<SerialPort> network_port(std::string word) {
    return std::make_unique<NetworkSerialPort>(std::move(word));
}

struct PortKind {
    std::string_view scheme;  // before "://"; empty for a word without one
    std::unique_ptr<SerialPort> (*make)(std::string word);
};

constexpr std::array kPortKinds{
    PortKind{"", &device_port},
    PortKind{"tcp", &network_port},
    PortKind{"rfc2217", &network_port},
};

}  // namespace

std::unique_ptr<SerialPort> make_serial_port(std::string word) {
    if (word.empty()) {
        throw Error(ErrorKind::InvalidArgument,
                    "no port was given: name the reader's serial device, such as /dev/ttyUSB0");
    }
    const std::string_view scheme = platform::scheme_of(word);
    for (const PortKind& kind : kPortKinds) {
        if (kind.scheme == scheme) {
            return kind.make(std::move(word));
        }
    }
    throw Error(ErrorKind::InvalidArgument,
                fmt::format("{}: \"{}://\" is no kind of port this program knows: name the "
                            "reader's serial device, such as /dev/ttyUSB0",
                            word, scheme));
}

}  // namespace kdr
