#include "cli/session.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "cli/trace_port.hpp"
#include "kdr/memory_progress_bar.hpp"
#include "kdr/protocol.hpp"

namespace kdr::cli {

PortChoice parse_port(std::string_view text) {
    if (text.find('/') != std::string_view::npos) {
        return PortChoice{1, std::string(text)};
    }
    int number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error == std::errc::invalid_argument || end != text.data() + text.size()) {
        throw UsageError(
            fmt::format("--port {}: give a port number (1 is /dev/ttyS0) or a device path such as "
                        "/dev/ttyUSB0",
                        text));
    }
    if (error == std::errc::result_out_of_range || number < 1 ||
        number > std::numeric_limits<std::int16_t>::max()) {
        throw UsageError(fmt::format("--port {}: port numbers run from 1 to {}", text,
                                     std::numeric_limits<std::int16_t>::max()));
    }
    return PortChoice{static_cast<std::int16_t>(number), std::nullopt};
}

namespace {

// The filled cells of a bar of `total` cells for value out of max.
int filled_cells(float value, float max, int total) {
    const float share = max > 0.0F ? std::clamp(value / max, 0.0F, 1.0F) : 0.0F;
    return static_cast<int>(std::lround(share * static_cast<float>(total)));
}

}  // namespace

std::string ProgressLine::render(float value, float max) const {
    const int cells = filled_cells(value, max, kCells);
    return fmt::format("{} [{:#<{}}{:<{}}]", label_, "", cells, "", kCells - cells);
}

void ProgressLine::update(float value, float max) {
    if (!enabled_) {
        return;
    }
    const int cells = filled_cells(value, max, kCells);
    if (cells == drawn_cells_) {
        return;
    }
    drawn_cells_ = cells;
    out_ << '\r' << render(value, max) << std::flush;
}

void ProgressLine::clear() {
    if (drawn_cells_ < 0) {
        return;
    }
    drawn_cells_ = -1;
    out_ << "\r\x1b[K" << std::flush;
}

void CliHost::MsgBox(std::string_view text, int style, std::optional<std::string_view> title) {
    progress_.clear();
    console_.MsgBox(text, style, title);
    last_message_ = std::string(text);
}

namespace {

void check_password(std::string_view password, std::ostream& err) {
    // The frame's own markers cannot be part of its body.
    for (const char c : password) {
        if (c == protocol::STX || c == protocol::ETX || c == protocol::CR) {
            throw UsageError(fmt::format(
                "--password: it holds the control character {:#04x}, which cannot be sent inside "
                "a request: type the password without it",
                static_cast<unsigned char>(c)));
        }
    }
    if (password.size() > protocol::kMinPasswordLength) {
        err << fmt::format(
            "kdr: warning: the password has {} characters; a reader's password has at most {}, "
            "so the reader will likely refuse it\n",
            password.size(), protocol::kMinPasswordLength);
    }
}

}  // namespace

Session::Session(const LineOptions& options, Console& console, std::string progress_label)
    : console_(console),
      progress_(console.err, false, std::move(progress_label)),
      host_(console.err, progress_),
      password_(options.password) {
    check_password(password_, console.err);
    const PortChoice choice = parse_port(options.port);
    PortMap ports;
    if (choice.path) {
        ports.assign(choice.number, *choice.path);
        port_name_ = *choice.path;
    } else {
        port_name_ = fmt::format("port {} ({})", choice.number, ports.path_for(choice.number));
    }
    port_ = choice.number;
    ports_ = ports;

    auto posix = std::make_unique<PosixSerialPort>(std::move(ports));
    std::unique_ptr<SerialPort> serial;
    if (options.trace) {
        const PosixSerialPort* device = posix.get();
        serial = std::make_unique<TracingSerialPort>(std::move(posix), console.err, clock_,
                                                     [device] { return device->device_path(); });
    } else {
        serial = std::move(posix);
    }
    auto bar = std::make_unique<MemoryProgressBar>(
        [this](float value, float max) { progress_.update(value, max); });
    controller_ = std::make_unique<KDRController>(std::move(serial), std::move(bar), host_, clock_);
    // The control starts with a full bar; a command shows progress only once
    // it is working.
    progress_.set_enabled(console.err_is_terminal);
}

bool Session::open() {
    Variant port(port_);
    if (controller_->OpenKDR(Variant(password_), port) != kVariantFalse) {
        return true;
    }
    fail();
    return false;
}

void Session::check_port() {
    // The same open as the controller's, at once given back: a missing or busy
    // device shows before anything is asked or sent.
    PosixSerialPort probe(ports_);
    probe.put_CommPort(port_);
    probe.put_PortOpen(true);
    probe.put_PortOpen(false);
}

int Session::fail() {
    progress_.clear();
    const Failure& failure = controller_->LastFailure();
    const std::optional<std::string>& shown = host_.last_message();
    if (!failure) {
        console_.err << "kdr: the operation failed\n";
    } else if (!shown || failure.description != one_line(*shown)) {
        console_.err << "kdr: " << failure.description << '\n';
    }
    console_.err << std::flush;
    return kExitFailure;
}

}  // namespace kdr::cli
