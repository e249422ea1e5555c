// A port that passes everything to another one and writes a hex-and-text
// dump of every byte sent and received, and of each open, close and discard,
// with the time since the trace began.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "kdr/byte_port.hpp"
#include "kdr/platform.hpp"

namespace kdr::cli {

/// Dump lines of `bytes`, `width` bytes a line: the bytes in hex, then the
/// printable ones as text with "." for the others ("02 50 20 ... |.P |").
[[nodiscard]] std::vector<std::string> hex_dump(std::string_view bytes, std::size_t width = 16);

class TracingPort final : public ForwardingPort {
  public:
    TracingPort(std::unique_ptr<BytePort> inner, std::ostream& out, Clock& clock);
    /// Traces the close of a port left open.
    ~TracingPort() override;
    TracingPort(const TracingPort&) = delete;
    TracingPort& operator=(const TracingPort&) = delete;

    void open(const LineSettings& settings) override;
    void close() noexcept override;
    void write(std::string_view bytes) override;
    std::size_t read(std::string& into, Clock::Instant deadline) override;
    void discard_input() override;

  private:
    void event(std::string_view what);
    void dump(char direction, std::string_view bytes);
    [[nodiscard]] std::string stamp();

    std::unique_ptr<BytePort> inner_;
    std::ostream& out_;
    Clock& clock_;
    Clock::Instant start_;
};

}  // namespace kdr::cli
