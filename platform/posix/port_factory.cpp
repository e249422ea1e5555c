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

constexpr std::array kPortKinds{
    platform::PortKind{"", &device_port},
    platform::PortKind{"tcp", &network_port},
    platform::PortKind{"rfc2217", &network_port},
};

}  // namespace

std::unique_ptr<SerialPort> make_serial_port(std::string word) {
    return platform::make_port_of_kind(
        kPortKinds, std::move(word),
        "the reader's serial device, such as /dev/ttyUSB0, or a serial "
        "device server as tcp://HOST:PORT or rfc2217://HOST:PORT");
}

}  // namespace kdr
