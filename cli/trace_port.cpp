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

TracingPort::TracingPort(std::unique_ptr<BytePort> inner, std::ostream& out, Clock& clock)
    : ForwardingPort(*inner),
      inner_(std::move(inner)),
      out_(out),
      clock_(clock),
      start_(clock.now()) {}

TracingPort::~TracingPort() {
    close();
}

std::string TracingPort::stamp() {
    const std::chrono::duration<double> since = clock_.now() - start_;
    return fmt::format("[{:10.6f}]", since.count());
}

void TracingPort::event(std::string_view what) {
    out_ << fmt::format("{} {}\n", stamp(), what) << std::flush;
}

void TracingPort::dump(char direction, std::string_view bytes) {
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

void TracingPort::open(const LineSettings& settings) {
    try {
        inner_->open(settings);
    } catch (const std::exception& error) {
        event(fmt::format("open {} failed: {}", inner_->name(), error.what()));
        throw;
    }
    event(fmt::format("open {} {}", inner_->name(), to_string(settings)));
}

void TracingPort::close() noexcept {
    if (!inner_->is_open()) {
        return;
    }
    inner_->close();
    try {
        event(fmt::format("close {}", inner_->name()));
    } catch (const std::exception&) {
        // A trace that cannot be written must not keep the port from closing.
    }
}

void TracingPort::discard_input() {
    inner_->discard_input();
    event("discard received characters");
}

std::size_t TracingPort::read(std::string& into, Clock::Instant deadline) {
    const std::size_t before = into.size();
    const std::size_t got = inner_->read(into, deadline);
    if (got > 0) {
        dump('<', std::string_view(into).substr(before));
    }
    return got;
}

void TracingPort::write(std::string_view bytes) {
    dump('>', bytes);
    inner_->write(bytes);
}

}  // namespace kdr::cli
