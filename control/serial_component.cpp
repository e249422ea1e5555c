#include "kdr/serial_component.hpp"

#include <fmt/format.h>

#include <utility>

#include "kdr/error.hpp"

namespace kdr {

SerialComponent::SerialComponent(PortOpener opener) : opener_(std::move(opener)) {
    if (!opener_) {
        throw Error(ErrorKind::InvalidArgument, "the serial component needs a way to open ports");
    }
}

SerialComponent::~SerialComponent() {
    close();
}

void SerialComponent::put_CommPort(std::int16_t number) {
    if (port_) {
        throw Error(ErrorKind::InvalidArgument,
                    fmt::format("{} is open: close it before choosing another port", name()));
    }
    number_ = number;
}

void SerialComponent::put_Settings(std::string_view settings) {
    const LineSettings parsed = parse_line_settings(settings);
    if (port_) {
        port_->apply(parsed);
    }
    settings_ = parsed;
}

void SerialComponent::put_PortOpen(bool open) {
    if (!open) {
        close();
        return;
    }
    if (port_) {
        throw Error(ErrorKind::InvalidArgument, fmt::format("{} is open already", name()));
    }
    std::unique_ptr<BytePort> port = opener_(number_);
    if (!port) {
        throw Error(ErrorKind::InvalidPortNumber, fmt::format("there is no port {}", number_));
    }
    port->open(settings_);
    port_ = std::move(port);
}

int SerialComponent::get_InBufferCount() {
    return static_cast<int>(available());
}

void SerialComponent::put_InBufferCount(int count) {
    if (count != 0) {
        throw Error(ErrorKind::InvalidArgument,
                    "InBufferCount can only be set to 0, which discards what was received");
    }
    discard_input();
}

std::string SerialComponent::get_Input() {
    std::string input;
    open_port("Input").read(input, Clock::Instant::min());
    return input;
}

void SerialComponent::open(const LineSettings& settings) {
    settings_ = settings;
    put_PortOpen(true);
}

void SerialComponent::close() noexcept {
    if (port_) {
        port_->close();
        port_.reset();
    }
}

LineState SerialComponent::state() const noexcept {
    return port_ ? port_->state() : LineState::Closed;
}

void SerialComponent::apply(const LineSettings& settings) {
    if (port_) {
        port_->apply(settings);
    }
    settings_ = settings;
}

void SerialComponent::write(std::string_view bytes) {
    open_port("Output").write(bytes);
}

std::size_t SerialComponent::read(std::string& into, Clock::Instant deadline) {
    return open_port("Input").read(into, deadline);
}

std::size_t SerialComponent::available() {
    return open_port("InBufferCount").available();
}

void SerialComponent::discard_input() {
    open_port("InBufferCount").discard_input();
}

std::string SerialComponent::name() const {
    return port_ ? port_->name() : fmt::format("port {}", number_);
}

LinkKind SerialComponent::link() const noexcept {
    return port_ ? port_->link() : LinkKind::Local;
}

BytePort& SerialComponent::open_port(std::string_view property) const {
    if (!port_) {
        throw Error(ErrorKind::PortNotOpen,
                    fmt::format("{} is not open: {} needs an open port", name(), property));
    }
    return *port_;
}

}  // namespace kdr
