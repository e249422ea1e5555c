// The serial devices of this system, as sysfs and /dev describe them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kdr::cli {

struct SerialDevice {
    std::string name;                ///< "ttyUSB0"
    std::string device;              ///< "/dev/ttyUSB0"
    std::optional<int> port_number;  ///< the number that opens it without a path (ttyS<n>: n+1)
    std::string driver;              ///< "ftdi_sio", "serial8250", ... ; empty when unknown
    std::string description;         ///< maker, product, USB ids, serial number, as known
    std::vector<std::string> links;  ///< stable names in /dev/serial/by-id and by-path
    bool hardware = true;            ///< false: a built-in port the system lists with no UART
    friend bool operator==(const SerialDevice&, const SerialDevice&) = default;
};

/// The terminals of `sys_root`/class/tty that have a device behind them
/// (serial ports, USB adapters, modem-class devices), in natural name order.
/// Built-in ports whose "type" is 0 have no hardware. Links are looked up in
/// `dev_root`/serial/by-id and by-path. Missing files make fields empty; a
/// missing sysfs gives an empty list.
[[nodiscard]] std::vector<SerialDevice> list_serial_devices(
    const std::filesystem::path& sys_root = "/sys", const std::filesystem::path& dev_root = "/dev");

/// A table of the devices for people: port number, device, driver and what is
/// known. Devices without hardware only when `all` is set. Says so when there
/// is nothing to list.
[[nodiscard]] std::string format_device_table(const std::vector<SerialDevice>& devices, bool all);
/// The notes for standard error beside the table: devices it leaves out, and
/// how to name one with --port.
[[nodiscard]] std::string device_table_hints(const std::vector<SerialDevice>& devices, bool all);

/// The same as JSON: an array of {"device", "name", "port_number" (or null),
/// "driver", "description", "links", "hardware"}.
[[nodiscard]] std::string devices_to_json(const std::vector<SerialDevice>& devices, bool all);

}  // namespace kdr::cli
