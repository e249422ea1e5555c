// A serial component that passes everything to another one and writes a
// hex-and-text dump of every byte sent and received, and of each open, close
// and discard, with the time since the trace began.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "kdr/platform.hpp"

namespace kdr::cli {

/// Dump lines of `bytes`, `width` bytes a line: the bytes in hex, then the
/// printable ones as text with "." for the others ("02 50 20 ... |.P |").
[[nodiscard]] std::vector<std::string> hex_dump(std::string_view bytes, std::size_t width = 16);

class TracingSerialPort final : public SerialPort {
  public:
    /// `describe_device` names the port's device for the trace
    /// ("/dev/ttyUSB0"); without it (or when it says nothing) the port is
    /// named by its number ("COM1").
    TracingSerialPort(std::unique_ptr<SerialPort> inner, std::ostream& out, Clock& clock,
                      std::function<std::string()> describe_device = {});
    /// Traces the close of a port left open.
    ~TracingSerialPort() override;
    TracingSerialPort(const TracingSerialPort&) = delete;
    TracingSerialPort& operator=(const TracingSerialPort&) = delete;

    [[nodiscard]] std::int16_t get_CommPort() const override { return inner_->get_CommPort(); }
    void put_CommPort(std::int16_t port) override { inner_->put_CommPort(port); }
    [[nodiscard]] std::string get_Settings() const override { return inner_->get_Settings(); }
    void put_Settings(std::string_view settings) override { inner_->put_Settings(settings); }
    [[nodiscard]] bool get_PortOpen() const override { return inner_->get_PortOpen(); }
    void put_PortOpen(bool open) override;
    [[nodiscard]] int get_InBufferCount() override { return inner_->get_InBufferCount(); }
    void put_InBufferCount(int count) override;
    [[nodiscard]] std::string get_Input() override;
    void put_Output(std::string_view data) override;
    [[nodiscard]] std::string port_name() const override { return inner_->port_name(); }

  private:
    [[nodiscard]] std::string port_label() const;
    void event(std::string_view what);
    void dump(char direction, std::string_view bytes);
    [[nodiscard]] std::string stamp();

    std::unique_ptr<SerialPort> inner_;
    std::ostream& out_;
    Clock& clock_;
    std::function<std::string()> describe_device_;
    Clock::Instant start_;
};

}  // namespace kdr::cli
