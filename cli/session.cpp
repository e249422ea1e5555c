#include "cli/session.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "cli/trace_port.hpp"
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
            fmt::format("--port {}: give the reader's device, such as /dev/ttyUSB0 (\"kdr ports\" "
                        "lists them), or a port number (1 is /dev/ttyS0)",
                        text));
    }
    if (error == std::errc::result_out_of_range || number < 1 ||
        number > std::numeric_limits<std::int16_t>::max()) {
        throw UsageError(fmt::format("--port {}: port numbers run from 1 to {}", text,
                                     std::numeric_limits<std::int16_t>::max()));
    }
    return PortChoice{static_cast<std::int16_t>(number), std::nullopt};
}

// ---- The status line ---------------------------------------------------------

void StatusLine::show(std::string_view text) {
    if (!enabled_) {
        return;
    }
    out_ << "\r\x1b[K" << text << std::flush;
    drawn_ = true;
}

void StatusLine::clear() {
    if (!drawn_) {
        return;
    }
    drawn_ = false;
    out_ << "\r\x1b[K" << std::flush;
}

StatusAwareBuffer::int_type StatusAwareBuffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    status_.clear();
    return target_.sputc(traits_type::to_char_type(c));
}

std::streamsize StatusAwareBuffer::xsputn(const char* s, std::streamsize n) {
    status_.clear();
    return target_.sputn(s, n);
}

std::string DownloadProgressLine::render(const DownloadProgress& progress,
                                         std::chrono::duration<double> elapsed) {
    std::string line = progress.announced ? fmt::format("download: {} of {} record(s)",
                                                        progress.records, *progress.announced)
                                          : fmt::format("download: {} record(s)", progress.records);
    line += fmt::format(", {} characters", progress.characters);
    const double seconds = elapsed.count();
    if (seconds >= 0.5) {
        const double rate = static_cast<double>(progress.characters) / seconds;
        line += fmt::format(", {:.0f} characters/s", rate);
        // The rest of the answer, at the rate the records so far took.
        if (progress.announced && progress.records > 0 && rate > 0 &&
            static_cast<std::size_t>(*progress.announced) > progress.records) {
            const double per_record =
                static_cast<double>(progress.characters) / static_cast<double>(progress.records);
            const double left = per_record *
                                static_cast<double>(static_cast<std::size_t>(*progress.announced) -
                                                    progress.records) /
                                rate;
            const auto whole = static_cast<long>(std::lround(left));
            line += fmt::format(", {}:{:02} left", whole / 60, whole % 60);
        }
    }
    return line;
}

void DownloadProgressLine::update(const DownloadProgress& progress) {
    using namespace std::chrono_literals;
    const auto now = Clock::now();
    if (!first_) {
        first_ = now;
    }
    if (drawn_ && now - *drawn_ < 100ms) {
        return;
    }
    drawn_ = now;
    status_.show(render(progress, now - *first_));
}

// ---- The session -------------------------------------------------------------

namespace {

void check_password(std::string_view password, std::ostream& warnings) {
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
        warnings << fmt::format(
            "kdr: warning: the password has {} characters; a reader's password has at most {}, "
            "so the reader will likely refuse it\n",
            password.size(), protocol::kMinPasswordLength);
    }
}

}  // namespace

Session::Session(const LineOptions& options, Console& console, std::string_view /*command*/)
    : console_(console),
      status_(console.err, console.err_is_terminal && !options.quiet),
      err_buffer_(*console.err.rdbuf(), status_),
      err_(&err_buffer_),
      progress_(status_),
      password_(options.password),
      trace_(options.trace),
      quiet_(options.quiet) {
    if (!options.port) {
        throw UsageError(
            "no port given: name the reader's serial device with --port DEVICE or the "
            "environment variable KDR_PORT (\"kdr ports\" lists the devices)");
    }
    check_password(password_, info());
    const PortChoice choice = parse_port(*options.port);
    port_ = choice.number;
    if (choice.path) {
        ports_.assign(choice.number, *choice.path);
    }
    ports_.name_ports_by_device();
    port_name_ = ports_.path_for(port_);
}

std::unique_ptr<SerialPort> Session::make_port() {
    auto posix = std::make_unique<PosixSerialPort>(ports_);
    posix->put_CommPort(port_);
    if (!trace_) {
        return posix;
    }
    const PosixSerialPort* device = posix.get();
    return std::make_unique<TracingSerialPort>(std::move(posix), err_, clock_,
                                               [device] { return device->device_path(); });
}

bool Session::open() {
    ReaderOptions options;
    options.on_progress = [this](const DownloadProgress& progress) { progress_.update(progress); };
    try {
        reader_ = std::make_unique<Reader>(make_port(), password_, std::move(options));
        return true;
    } catch (const std::exception& error) {
        fail(error);
        return false;
    }
}

void Session::check_port() {
    // The same open as the reader's, at once given back: a missing or busy
    // device shows before anything is asked or sent.
    PosixSerialPort probe(ports_);
    probe.put_CommPort(port_);
    probe.put_PortOpen(true);
    probe.put_PortOpen(false);
}

int Session::fail(const std::exception& error) {
    err_ << "kdr: " << error.what() << '\n' << std::flush;
    return kExitFailure;
}

}  // namespace kdr::cli
