#include "cli/session.hpp"

#include <fmt/format.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <utility>
#include <vector>

#include "cli/trace_port.hpp"
#include "kdr/error.hpp"
#include "kdr/port_factory.hpp"
#include "kdr/protocol.hpp"

namespace kdr::cli {

std::unique_ptr<BytePort> port_for_word(std::string_view word) {
    // Making the port parses the word and opens nothing.
    try {
        return make_byte_port(word);
    } catch (const Error& error) {
        if (error.kind() == ErrorKind::InvalidArgument ||
            error.kind() == ErrorKind::InvalidPortNumber) {
            throw UsageError(error.what());
        }
        throw;
    }
}

std::chrono::milliseconds parse_latency(std::string_view text) {
    const auto refuse = [&] {
        return UsageError(fmt::format(
            "--latency {}: give the link's round trip in milliseconds (\"300\", \"300ms\") or "
            "seconds (\"0.3s\"), at most a minute",
            text));
    };
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const std::string_view unit = text.substr(static_cast<std::size_t>(end - text.data()));
    if (text.empty() || error != std::errc() || !(value >= 0) ||
        (!unit.empty() && unit != "ms" && unit != "s")) {
        throw refuse();
    }
    const double millis = unit == "s" ? value * 1000 : value;
    constexpr double kMinute = 60'000;
    if (millis > kMinute) {
        throw refuse();
    }
    return std::chrono::milliseconds(std::llround(millis));
}

// ---- The status line ---------------------------------------------------------

namespace {

// Whether a status line is on the terminal, for a signal that ends the program.
std::atomic<bool> g_status_drawn{false};
constexpr std::array<int, 2> kEndingSignals{SIGINT, SIGTERM};
std::array<struct sigaction, 2> g_previous_actions{};

// Async-signal-safe: clears the line, then the signal's default action (the
// handler is reset on entry) ends the program once this returns.
extern "C" void clear_status_and_end(int signal) {
    if (g_status_drawn.load()) {
        constexpr char kClear[] = "\r\x1b[K";
        const ssize_t ignored = ::write(STDERR_FILENO, kClear, sizeof kClear - 1);
        static_cast<void>(ignored);
    }
    ::raise(signal);
}

}  // namespace

std::size_t terminal_columns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    if (const char* columns = std::getenv("COLUMNS")) {
        std::size_t value = 0;
        const std::string_view text(columns);
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc{} && end == text.data() + text.size() && value > 0) {
            return value;
        }
    }
    return 80;
}

StatusLine::StatusLine(std::ostream& terminal, bool enabled, std::size_t columns)
    : out_(terminal), enabled_(enabled), columns_(columns) {
    if (!enabled_) {
        return;
    }
    // Only where the signal would end the program anyway: a handler of the
    // program's own stays.
    struct sigaction action {};
    action.sa_handler = clear_status_and_end;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
        struct sigaction current {};
        if (::sigaction(kEndingSignals[i], nullptr, &current) == 0 &&
            current.sa_handler == SIG_DFL && (current.sa_flags & SA_SIGINFO) == 0) {
            ::sigaction(kEndingSignals[i], &action, &g_previous_actions[i]);
            handling_signals_ = true;
        }
    }
}

StatusLine::~StatusLine() {
    clear();
    if (handling_signals_) {
        for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
            struct sigaction current {};
            if (::sigaction(kEndingSignals[i], nullptr, &current) == 0 &&
                current.sa_handler == clear_status_and_end) {
                ::sigaction(kEndingSignals[i], &g_previous_actions[i], nullptr);
            }
        }
    }
}

void StatusLine::show(std::string_view text) {
    if (!enabled_) {
        return;
    }
    if (width() > 0 && text.size() > width()) {
        text = text.substr(0, width());
    }
    out_ << "\r\x1b[K" << text << std::flush;
    drawn_ = true;
    g_status_drawn.store(true);
}

void StatusLine::clear() {
    if (!drawn_) {
        return;
    }
    drawn_ = false;
    out_ << "\r\x1b[K" << std::flush;
    g_status_drawn.store(false);
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
                                         std::chrono::duration<double> elapsed, std::size_t width,
                                         std::string_view label) {
    std::vector<std::string> parts;
    parts.push_back(progress.announced ? fmt::format("{}: {} of {} record(s)", label,
                                                     progress.records, *progress.announced)
                                       : fmt::format("{}: {} record(s)", label, progress.records));
    parts.push_back(fmt::format("{} characters", progress.characters));
    const double seconds = elapsed.count();
    if (seconds >= 0.5) {
        const double rate = static_cast<double>(progress.characters) / seconds;
        parts.push_back(fmt::format("{:.0f} characters/s", rate));
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
            parts.push_back(fmt::format("{}:{:02} left", whole / 60, whole % 60));
        }
    }
    // On a narrow terminal the later parts give way; the first always shows.
    std::string line = parts.front();
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (width > 0 && line.size() + 2 + parts[i].size() > width) {
            break;
        }
        line += ", " + parts[i];
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
    status_.show(render(progress, now - *first_, status_.width(), label_));
}

void DownloadProgressLine::begin(std::string label) {
    label_ = std::move(label);
    first_.reset();
    drawn_.reset();
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

// A password file's first line, without its line end: `echo 1234 > FILE`
// writes one.
std::string read_password_file(const std::string& path, std::string_view named) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw UsageError(
            fmt::format("{} {}: the file cannot be read ({}): check the path and "
                        "that this user may read it",
                        named, path, std::strerror(errno)));
    }
    std::string line;
    std::getline(file, line);
    if (file.bad()) {
        throw UsageError(fmt::format("{} {}: the file cannot be read", named, path));
    }
    if (line.ends_with('\r')) {
        line.pop_back();
    }
    return line;
}

}  // namespace

std::string resolve_password(const LineOptions& options) {
    if (options.password && options.password_file) {
        throw UsageError("--password and --password-file were both given; give one");
    }
    if (options.password) {
        return *options.password;
    }
    if (options.password_file) {
        return read_password_file(*options.password_file, "--password-file");
    }
    if (const char* environment = std::getenv("KDR_PASSWORD");
        environment != nullptr && *environment != '\0') {
        return environment;
    }
    // A service's password, handed over by the service manager
    // (LoadCredential=password:...), readable by the service alone.
    if (const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
        credentials != nullptr && *credentials != '\0') {
        const std::string path = std::string(credentials) + "/password";
        if (::access(path.c_str(), F_OK) == 0) {
            return read_password_file(path, "the credential");
        }
    }
    return {};
}

Session::Session(const LineOptions& options, Console& console, std::string_view /*command*/)
    : console_(console),
      status_(console.err, console.err_is_terminal && !options.quiet,
              console.err_is_terminal ? terminal_columns() : 0),
      err_buffer_(*console.err.rdbuf(), status_),
      err_(&err_buffer_),
      progress_(status_),
      password_(resolve_password(options)),
      trace_(options.trace),
      quiet_(options.quiet) {
    std::optional<std::string> port = options.port;
    const char* environment = std::getenv("KDR_PORT");
    if (!port && environment != nullptr && *environment != '\0') {
        port = environment;
        port_from_environment_ = true;
    }
    if (!port) {
        throw UsageError(
            "no port given: name the reader's serial device with --port DEVICE or the "
            "environment variable KDR_PORT (\"kdr ports\" lists the devices)");
    }
    check_password(password_, info());
    try {
        port_word_ = *port;
        const std::unique_ptr<BytePort> named = port_for_word(port_word_);
        port_name_ = named->name();
        network_ = named->link() == LinkKind::Network;
    } catch (const UsageError& error) {
        if (!port_from_environment_) {
            throw;
        }
        throw UsageError(std::string(error.what()) + " (the port came from KDR_PORT)");
    }
    std::optional<std::string> latency = options.latency;
    const char* latency_environment = std::getenv("KDR_LATENCY");
    if (!latency && latency_environment != nullptr && *latency_environment != '\0') {
        try {
            latency_ = parse_latency(latency_environment);
        } catch (const UsageError& error) {
            throw UsageError(std::string(error.what()) + " (it came from KDR_LATENCY)");
        }
    } else if (latency) {
        latency_ = parse_latency(*latency);
    }
}

std::unique_ptr<BytePort> Session::make_port() {
    std::unique_ptr<BytePort> port = port_for_word(port_word_);
    if (!trace_) {
        return port;
    }
    return std::make_unique<TracingPort>(std::move(port), err_, *clock_);
}

bool Session::open(std::function<void()> on_wait) {
    ReaderOptions options;
    options.on_progress = [this](const DownloadProgress& progress) { progress_.update(progress); };
    options.on_wait = std::move(on_wait);
    options.latency = latency_;
    try {
        reader_ = std::make_unique<Reader>(make_port(), password_, std::move(options));
        return true;
    } catch (const std::exception& error) {
        fail(error);
        return false;
    }
}

int Session::fail(const std::exception& error) {
    // A port that cannot be opened was perhaps set long ago in the environment.
    const auto* failure = dynamic_cast<const Error*>(&error);
    failure_kind_ = failure != nullptr ? failure->kind() : ErrorKind::None;
    failure_ = error.what();
    if (error_class(failure_kind_) == ErrorClass::Port && port_from_environment_) {
        failure_ += " (the port came from KDR_PORT)";
    }
    // Over a network link, a reader that did not answer in time may be
    // behind a link slower than the wait the first reply allowed for.
    if (failure_kind_ == ErrorKind::NoAnswer && network_) {
        failure_ += fmt::format(
            " On a network port the link may be slower than the wait: give its round trip with "
            "--latency (or KDR_LATENCY), e.g. --latency {}ms.",
            std::max<long long>(1000, 2 * static_cast<long long>(latency_.count())));
    }
    err_ << "kdr: " << failure_ << '\n' << std::flush;
    return kExitFailure;
}

}  // namespace kdr::cli
