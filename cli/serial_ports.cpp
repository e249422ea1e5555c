#include "cli/serial_ports.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>
#include <tuple>

namespace kdr::cli {

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, without its line end; empty when absent.
std::string read_attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())) != 0) {
        line.pop_back();
    }
    return line;
}

// "ttyUSB10" -> ("ttyUSB", 10), so that ttyS2 sorts before ttyS10.
std::tuple<std::string, long, std::string> sort_key(const std::string& name) {
    std::size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1])) != 0) {
        --digits;
    }
    if (digits == name.size() || name.size() - digits > 9) {
        return {name, -1, name};
    }
    return {name.substr(0, digits), std::stol(name.substr(digits)), name};
}

// What the USB device above a terminal says about itself, if it is on USB.
std::string usb_description(const fs::path& device_dir, const fs::path& sys_root) {
    std::error_code error;
    fs::path dir = fs::canonical(device_dir, error);
    if (error) {
        return {};
    }
    const fs::path devices = fs::weakly_canonical(sys_root / "devices", error);
    for (int level = 0; level < 8 && !dir.empty() && dir != devices; ++level) {
        const std::string vendor = read_attribute(dir / "idVendor");
        if (!vendor.empty()) {
            std::string text;
            for (const char* name : {"manufacturer", "product"}) {
                const std::string value = read_attribute(dir / name);
                if (!value.empty()) {
                    text += text.empty() ? "" : " ";
                    text += value;
                }
            }
            text += fmt::format("{}(USB {}:{})", text.empty() ? "" : " ", vendor,
                                read_attribute(dir / "idProduct"));
            const std::string serial = read_attribute(dir / "serial");
            if (!serial.empty()) {
                text += fmt::format(", serial number {}", serial);
            }
            return text;
        }
        dir = dir.parent_path();
    }
    return {};
}

// Stable names in /dev/serial/by-id and by-path, keyed by the device they name.
std::vector<std::pair<std::string, std::string>> stable_links(const fs::path& dev_root) {
    std::vector<std::pair<std::string, std::string>> links;
    for (const char* kind : {"by-id", "by-path"}) {
        std::error_code error;
        for (fs::directory_iterator it(dev_root / "serial" / kind, error), end; !error && it != end;
             it.increment(error)) {
            std::error_code link_error;
            const fs::path target = fs::read_symlink(it->path(), link_error);
            if (!link_error) {
                links.emplace_back(target.filename().string(), it->path().string());
            }
        }
    }
    std::sort(links.begin(), links.end());
    return links;
}

}  // namespace

std::vector<SerialDevice> list_serial_devices(const fs::path& sys_root, const fs::path& dev_root) {
    std::vector<SerialDevice> devices;
    const auto links = stable_links(dev_root);
    std::error_code error;
    for (fs::directory_iterator it(sys_root / "class" / "tty", error), end; !error && it != end;
         it.increment(error)) {
        const fs::path entry = it->path();
        std::error_code exists_error;
        if (!fs::exists(entry / "device", exists_error)) {
            continue;  // a virtual terminal, console or pseudo-terminal
        }
        SerialDevice device;
        device.name = entry.filename().string();
        device.device = (dev_root / device.name).string();
        std::error_code link_error;
        const fs::path driver = fs::read_symlink(entry / "device" / "driver", link_error);
        if (!link_error) {
            device.driver = driver.filename().string();
        }
        if (device.name.starts_with("ttyS") && device.name.size() > 4 &&
            std::all_of(device.name.begin() + 4, device.name.end(),
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }) &&
            device.name.size() < 9) {
            device.port_number = std::stoi(device.name.substr(4)) + 1;
        }
        // Built-in UARTs: the serial core lists every port it could have; a
        // "type" of 0 means nothing answered there.
        const std::string type = read_attribute(entry / "type");
        device.hardware = type != "0";
        device.description = usb_description(entry / "device", sys_root);
        if (device.description.empty() && !type.empty() && type != "0") {
            device.description = "built-in serial port";
        }
        for (const auto& [target, link] : links) {
            if (target == device.name) {
                device.links.push_back(link);
            }
        }
        devices.push_back(std::move(device));
    }
    std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
        return sort_key(a.name) < sort_key(b.name);
    });
    return devices;
}

std::string format_device_table(const std::vector<SerialDevice>& devices, bool all) {
    std::vector<const SerialDevice*> shown;
    for (const SerialDevice& device : devices) {
        if (all || device.hardware) {
            shown.push_back(&device);
        }
    }
    std::string text;
    if (shown.empty()) {
        return "No serial devices found.\n";
    }
    std::size_t device_width = 6;
    std::size_t driver_width = 6;
    for (const SerialDevice* device : shown) {
        device_width = std::max(device_width, device->device.size());
        driver_width = std::max(driver_width, device->driver.size());
    }
    text += fmt::format("{:<4}  {:<{}}  {:<{}}  {}\n", "PORT", "DEVICE", device_width, "DRIVER",
                        driver_width, "DESCRIPTION");
    for (const SerialDevice* device : shown) {
        const std::string port =
            device->port_number ? std::to_string(*device->port_number) : std::string("-");
        std::string description = device->description;
        if (!device->hardware) {
            description += description.empty() ? "no hardware" : " (no hardware)";
        }
        text += fmt::format("{:<4}  {:<{}}  {:<{}}  {}\n", port, device->device, device_width,
                            device->driver, driver_width, description);
        for (const std::string& link : device->links) {
            text += fmt::format("{:<4}  {:<{}}  also {}\n", "", "", device_width, link);
        }
    }
    return text;
}

std::string device_table_hints(const std::vector<SerialDevice>& devices, bool all) {
    const auto hidden = all ? 0
                            : std::count_if(devices.begin(), devices.end(),
                                            [](const SerialDevice& d) { return !d.hardware; });
    std::string text;
    if (hidden > 0) {
        text += fmt::format(
            "kdr: {} built-in port(s) without hardware not shown; --all lists them\n", hidden);
    }
    if (static_cast<std::size_t>(hidden) < devices.size()) {
        text += "kdr: use --port with the number, or with the device path for any device\n";
    }
    return text;
}

std::string devices_to_json(const std::vector<SerialDevice>& devices, bool all) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const SerialDevice& device : devices) {
        if (!device.hardware && !all) {
            continue;
        }
        nlohmann::ordered_json entry;
        entry["device"] = device.device;
        entry["name"] = device.name;
        entry["port_number"] =
            device.port_number ? nlohmann::ordered_json(*device.port_number) : nullptr;
        entry["driver"] = device.driver;
        entry["description"] = device.description;
        entry["links"] = device.links;
        entry["hardware"] = device.hardware;
        list.push_back(std::move(entry));
    }
    return list.dump(2) + "\n";
}

}  // namespace kdr::cli
