#include "cli/trace_port.hpp"

#include <fmt/format.h>

#include <chrono>
#include <utility>

namespace kdr::cli {

std::vector<std::string> hex_dump(std::string_view bytes, std::size_t width) {
    std::vector<std::string> lines;
    for (std::size_t offset = 0; offset < bytes.size(); offset += width) {
        const std::string_view row = bytes.substr(offset, width);
        std::string hex;
        std::string text;
        for (const char c : row) {
            const auto code = static_cast<unsigned char>(c);
            hex += fmt::format("{:02x} ", code);
            text += code >= 0x20 && code < 0x7f ? c : '.';
        }
        lines.push_back(fmt::format("{:<{}}|{}|", hex, width * 3, text));
    }
    return lines;
}

TracingSerialPort::TracingSerialPort(std::unique_ptr<SerialPort> inner, std::ostream& out,
                                     Clock& clock, std::function<std::string()> describe_device)
    : inner_(std::move(inner)),
      out_(out),
      clock_(clock),
      describe_device_(std::move(describe_device)),
      start_(clock.now()) {}

TracingSerialPort::~TracingSerialPort() {
    try {
        put_PortOpen(false);
    } catch (const std::exception& error) {
        event(fmt::format("close {} failed: {}", port_label(), error.what()));
    }
}

std::string TracingSerialPort::stamp() {
    const std::chrono::duration<double> since = clock_.now() - start_;
    return fmt::format("[{:10.6f}]", since.count());
}

std::string TracingSerialPort::port_label() const {
    const std::string device = describe_device_ ? describe_device_() : std::string();
    return device.empty() ? fmt::format("COM{}", inner_->get_CommPort()) : device;
}

void TracingSerialPort::event(std::string_view what) {
    out_ << fmt::format("{} {}\n", stamp(), what) << std::flush;
}

void TracingSerialPort::dump(char direction, std::string_view bytes) {
    const std::string head = fmt::format("{} {} ", stamp(), direction);
    const std::string indent(head.size(), ' ');
    std::string text;
    bool first = true;
    for (const std::string& line : hex_dump(bytes)) {
        text += first ? head : indent;
        text += line;
        text += '\n';
        first = false;
    }
    out_ << text << std::flush;
}

void TracingSerialPort::put_PortOpen(bool open) {
    if (!open) {
        if (inner_->get_PortOpen()) {
            inner_->put_PortOpen(false);
            event(fmt::format("close {}", port_label()));
        }
        return;
    }
    try {
        inner_->put_PortOpen(true);
    } catch (const std::exception& error) {
        event(fmt::format("open {} failed: {}", port_label(), error.what()));
        throw;
    }
    event(fmt::format("open {} {}", port_label(), inner_->get_Settings()));
}

void TracingSerialPort::put_InBufferCount(int count) {
    inner_->put_InBufferCount(count);
    event("discard received characters");
}

std::string TracingSerialPort::get_Input() {
    std::string received = inner_->get_Input();
    if (!received.empty()) {
        dump('<', received);
    }
    return received;
}

void TracingSerialPort::put_Output(std::string_view data) {
    dump('>', data);
    inner_->put_Output(data);
}

}  // namespace kdr::cli
