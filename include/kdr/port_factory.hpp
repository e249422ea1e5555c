// Serial ports from the words users type for them ("--port /dev/ttyUSB0").
#pragma once

#include <memory>
#include <string>

#include "kdr/platform.hpp"

namespace kdr {

/// The serial port a user named, not yet opened, with the reader's line
/// settings.
///
/// On Linux and other POSIX systems the word is a device path
/// ("/dev/ttyUSB0", "/dev/serial/by-id/...", a pseudo-terminal) and messages
/// name the port by that path. On Windows it is a COM port, "COM1" to
/// "COM32767" in any case. A word that begins with a scheme ("name://") asks
/// for a kind of port reached otherwise than by a local device: on POSIX
/// systems "tcp://HOST:PORT" and "rfc2217://HOST:PORT", a reader behind a
/// serial device server (kdr/network_port.hpp).
///
/// Throws kdr::Error with InvalidArgument for an empty word and for a scheme
/// this program does not know, and on Windows InvalidPortNumber for a word
/// that names no COM port. Whether the device exists, is free and is a serial
/// port is found out when the port is opened (put_PortOpen).
[[nodiscard]] std::unique_ptr<SerialPort> make_serial_port(std::string word);

}  // namespace kdr
