// Ports from the words users type for them ("--port /dev/ttyUSB0").
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "kdr/byte_port.hpp"

namespace kdr {

/// The port a user named, not yet opened. The word is parsed here, once:
///
/// - "3": the system's serial port of that number (1 is the first: COM1 on
///   Windows, /dev/ttyS0 on Linux);
/// - "COM3", in any case: the same port, by its Windows name;
/// - a device path on POSIX systems ("/dev/ttyUSB0", "/dev/serial/by-id/...",
///   a pseudo-terminal);
/// - "tcp://HOST:PORT" and "rfc2217://HOST:PORT" on POSIX systems: a reader
///   behind a serial device server (kdr/network_port.hpp).
///
/// Messages name the port by the word as given; a number or COM name by its
/// port: "COM3" on Windows, its device ("/dev/ttyS2") on POSIX systems. Throws kdr::Error with
/// InvalidArgument for an empty word, a malformed network word, a scheme
/// this program does not know and, on POSIX systems, a word that is neither
/// a number, a COM name nor a path (no "/"), and InvalidPortNumber for a number or COM
/// name outside 1 to 32767 (or a device path on Windows). Whether the
/// device exists, is free and is a serial port is found out at open.
[[nodiscard]] std::unique_ptr<BytePort> make_byte_port(std::string_view word);

/// The system's serial port of a number (1 is the first), as the control's
/// CommPort selects it. Throws InvalidPortNumber below 1.
[[nodiscard]] std::unique_ptr<BytePort> make_numbered_port(std::int16_t number);

}  // namespace kdr
