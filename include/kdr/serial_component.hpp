// The serial component the control hosts as `MSComm1`, over a byte port.
//
// Hosts of the control know the component by its automation shape: a port
// number (CommPort), a settings text, PortOpen, Input, InBufferCount and
// Output. This adapter gives that shape to the byte ports of the platform,
// opening the port of the selected number through an opener. To the engine
// it is the byte port of the selected number.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "kdr/byte_port.hpp"
#include "kdr/line_settings.hpp"

namespace kdr {

/// Makes the byte port of a port number (1 is the first), not yet opened:
/// make_numbered_port (kdr/port_factory.hpp), or a host's own mapping.
using PortOpener = std::function<std::unique_ptr<BytePort>(std::int16_t number)>;

class SerialComponent final : public BytePort {
  public:
    /// Starts as the hosted component does at design time: port 1, settings
    /// "19200,n,8,1", closed.
    explicit SerialComponent(PortOpener opener);
    ~SerialComponent() override;
    SerialComponent(const SerialComponent&) = delete;
    SerialComponent& operator=(const SerialComponent&) = delete;

    /// The port number (1 is the first port) used by the next open.
    [[nodiscard]] std::int16_t get_CommPort() const noexcept { return number_; }
    /// Selects the port for the next open. Throws InvalidArgument while the
    /// port is open (a port cannot be changed under an open line).
    void put_CommPort(std::int16_t number);

    /// The line settings, as "baud,parity,data bits,stop bits" ("19200,n,8,1").
    [[nodiscard]] std::string get_Settings() const { return to_string(settings_); }
    /// Takes a settings text; applies it at once when the port is open.
    /// Throws InvalidSettings for a text it cannot honour, leaving the
    /// settings as they were.
    void put_Settings(std::string_view settings);

    [[nodiscard]] bool get_PortOpen() const noexcept { return port_ != nullptr; }
    /// true opens the selected port with the current settings (PortMissing,
    /// PortBusy, InvalidPortNumber, InvalidSettings, IoError on failure;
    /// InvalidArgument when it is open already); false closes it (no effect
    /// when closed).
    void put_PortOpen(bool open);

    /// The number of received characters waiting to be read. Throws
    /// PortNotOpen on a closed port and LineDropped on a line that went away.
    [[nodiscard]] int get_InBufferCount();
    /// Setting 0 discards every received character not yet read; other
    /// values are refused with InvalidArgument.
    void put_InBufferCount(int count);
    /// Every received character waiting, removed from the buffer; empty when
    /// nothing waits. Never waits for data.
    [[nodiscard]] std::string get_Input();
    /// Sends every character of the text, one byte each, in order.
    void put_Output(std::string_view data) { write(data); }

    // BytePort: the open port of the selected number.
    void open(const LineSettings& settings) override;
    void close() noexcept override;
    [[nodiscard]] LineState state() const noexcept override;
    [[nodiscard]] LineSettings settings() const override { return settings_; }
    void apply(const LineSettings& settings) override;
    void write(std::string_view bytes) override;
    std::size_t read(std::string& into, Clock::Instant deadline) override;
    [[nodiscard]] std::size_t available() override;
    void discard_input() override;
    /// The open port's name ("COM3", "/dev/ttyS2"); "port N" while closed.
    [[nodiscard]] std::string name() const override;
    [[nodiscard]] LinkKind link() const noexcept override;

  private:
    BytePort& open_port(std::string_view property) const;

    PortOpener opener_;
    std::int16_t number_ = 1;
    LineSettings settings_{};
    std::unique_ptr<BytePort> port_;
};

}  // namespace kdr
