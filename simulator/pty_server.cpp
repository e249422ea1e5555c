// The simulated reader on a pseudo-terminal.
#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>
#include <utility>

#include "kdr/error.hpp"
#include "kdr/posix_platform.hpp"
#include "kdr/simulator.hpp"

namespace kdr::simulator {

namespace {

std::string os_message(int error_number) {
    return std::error_code(error_number, std::generic_category()).message();
}

[[noreturn]] void throw_os(std::string_view doing, int error_number) {
    throw Error(ErrorKind::IoError,
                fmt::format("reader simulator: {}: {}", doing, os_message(error_number)));
}

void close_fd(int& fd) noexcept {
    if (fd >= 0) {
        (void)::close(fd);
        fd = -1;
    }
}

// Paced output wakes the server at most this often: a few characters go out
// per wake-up rather than one.
constexpr Clock::Duration kPacingQuantum = std::chrono::milliseconds{2};

}  // namespace

PtyServer::PtyServer(ReaderConfig config, Log log, NewDevice on_new_device)
    : log_(std::move(log)),
      on_new_device_(std::move(on_new_device)),
      clock_(std::make_unique<SteadyClock>()),
      model_(std::move(config), clock_->now()) {
    std::array<int, 2> wake{-1, -1};
    if (::pipe2(wake.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        throw_os("cannot make a pipe", errno);
    }
    wake_read_ = wake[0];
    wake_write_ = wake[1];
    try {
        open_terminal();
    } catch (...) {
        close_fd(wake_read_);
        close_fd(wake_write_);
        throw;
    }
}

PtyServer::~PtyServer() {
    stop();
    close_terminal();
    close_fd(wake_read_);
    close_fd(wake_write_);
}

void PtyServer::open_terminal() {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        throw_os("cannot make a pseudo-terminal", errno);
    }
    std::array<char, 128> name{};
    termios raw{};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name.data(), name.size()) != 0 || ::tcgetattr(master, &raw) != 0) {
        const int error_number = errno;
        (void)::close(master);
        throw_os("cannot set up the pseudo-terminal", error_number);
    }
    // The device side passes every byte unchanged, as a serial line does.
    ::cfmakeraw(&raw);
    ::cfsetispeed(&raw, B19200);
    ::cfsetospeed(&raw, B19200);
    const int flags = ::fcntl(master, F_GETFL);
    if (::tcsetattr(master, TCSANOW, &raw) != 0 || flags < 0 ||
        ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) {
        const int error_number = errno;
        (void)::close(master);
        throw_os("cannot set up the pseudo-terminal", error_number);
    }
    // Holding the device side open keeps the terminal alive while no host has
    // it open: without it the master side reports a hang-up between opens.
    const int device = ::open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (device < 0) {
        const int error_number = errno;
        (void)::close(master);
        throw_os(fmt::format("cannot open {}", name.data()), error_number);
    }
    master_ = master;
    device_ = device;
    const std::lock_guard lock(mutex_);
    path_ = name.data();
}

void PtyServer::close_terminal() noexcept {
    close_fd(device_);
    close_fd(master_);
}

std::string PtyServer::device_path() const {
    const std::lock_guard lock(mutex_);
    return path_;
}

void PtyServer::start() {
    if (used_) {
        throw Error(ErrorKind::InvalidArgument,
                    "reader simulator: the server has served already; make a new one");
    }
    used_ = true;
    thread_ = std::thread([this] {
        try {
            serve();
        } catch (const std::exception& error) {
            {
                const std::lock_guard lock(mutex_);
                failure_ = error.what();
            }
            log(error.what());
        }
    });
}

void PtyServer::run() {
    if (used_) {
        throw Error(ErrorKind::InvalidArgument,
                    "reader simulator: the server has served already; make a new one");
    }
    used_ = true;
    serve();
}

void PtyServer::request_stop() noexcept {
    stop_requested_.store(true);
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing else can go wrong here.
    (void)!::write(wake_write_, &byte, 1);
}

void PtyServer::stop() noexcept {
    request_stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::optional<std::string> PtyServer::failure() const {
    const std::lock_guard lock(mutex_);
    return failure_;
}

std::vector<Record> PtyServer::records() const {
    const std::lock_guard lock(mutex_);
    return model_.records();
}

std::vector<Request> PtyServer::requests() const {
    const std::lock_guard lock(mutex_);
    return model_.requests();
}

LocalDateTime PtyServer::reader_clock() const {
    const std::lock_guard lock(mutex_);
    return model_.clock_at(clock_->now());
}

int PtyServer::line_drops() const {
    const std::lock_guard lock(mutex_);
    return drops_;
}

void PtyServer::log(std::string_view line) const {
    if (log_) {
        log_(line);
    }
}

void PtyServer::serve() {
    while (!stop_requested_.load()) {
        bool blocked = false;
        const std::optional<Clock::Instant> next = send_due(clock_->now(), blocked);

        std::array<pollfd, 2> watch{{{master_, POLLIN, 0}, {wake_read_, POLLIN, 0}}};
        if (blocked) {
            watch[0].events = static_cast<short>(watch[0].events | POLLOUT);
        }
        timespec timeout{};
        timespec* wait_for = nullptr;
        if (next && !blocked) {
            const Clock::Duration left = std::max(*next - clock_->now(), kPacingQuantum);
            const auto seconds = std::chrono::floor<std::chrono::seconds>(left);
            timeout.tv_sec = static_cast<time_t>(seconds.count());
            timeout.tv_nsec = static_cast<long>((left - seconds).count());
            wait_for = &timeout;
        }
        if (::ppoll(watch.data(), watch.size(), wait_for, nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw_os("cannot wait for the line", errno);
        }
        if (watch[1].revents != 0) {
            std::array<char, 64> drain{};
            while (::read(wake_read_, drain.data(), drain.size()) > 0) {
            }
            continue;
        }
        if ((watch[0].revents & POLLIN) != 0) {
            read_requests(clock_->now());
        } else if ((watch[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // The server holds the device side, so this is no host going away
            // but the terminal failing: start over on a fresh one.
            drop_line(clock_->now());
        }
    }
}

void PtyServer::read_requests(Clock::Instant now) {
    std::string received;
    std::array<char, 4096> chunk{};
    while (true) {
        const ssize_t n = ::read(master_, chunk.data(), chunk.size());
        if (n > 0) {
            received.append(chunk.data(), static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (received.empty()) {
            drop_line(now);
            return;
        }
        break;
    }

    std::vector<std::string> lines;
    {
        const std::lock_guard lock(mutex_);
        std::vector<Emission> replies = model_.receive(received, now);
        const std::vector<Request>& requests = model_.requests();
        std::size_t reply_bytes = 0;
        for (Emission& emission : replies) {
            if (emission.abandon_earlier && !pending_.empty()) {
                lines.emplace_back("a new request came: the rest of the previous reply is dropped");
                pending_.clear();
            }
            reply_bytes += emission.bytes.size();
            pending_.push_back(Pending{std::move(emission), 0});
        }
        for (; logged_requests_ < requests.size(); ++logged_requests_) {
            const Request& request = requests[logged_requests_];
            lines.push_back(
                fmt::format("request {}: {}", request.letter, to_string(request.verdict)));
        }
        if (reply_bytes > 0 && !lines.empty()) {
            lines.back() += fmt::format(", {} characters in reply", reply_bytes);
        }
    }
    for (const std::string& line : lines) {
        log(line);
    }
}

std::optional<Clock::Instant> PtyServer::send_due(Clock::Instant now, bool& blocked) {
    while (!pending_.empty()) {
        Pending& pending = pending_.front();
        const Emission& emission = pending.emission;
        if (now < emission.start) {
            return emission.start;
        }
        if (emission.drop_line) {
            drop_line(now);
            continue;
        }
        const std::size_t size = emission.bytes.size();
        std::size_t due = size;
        if (emission.char_time > Clock::Duration::zero()) {
            const auto passed =
                static_cast<std::size_t>((now - emission.start) / emission.char_time);
            due = std::min(size, passed + 1);
        }
        while (pending.sent < due) {
            const ssize_t n =
                ::write(master_, emission.bytes.data() + pending.sent, due - pending.sent);
            if (n > 0) {
                pending.sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // The host's receive queue is full: go on when it takes more.
                blocked = true;
                return std::nullopt;
            }
            throw_os("cannot write to the line", n < 0 ? errno : EIO);
        }
        if (pending.sent < size) {
            return emission.start + emission.char_time * static_cast<std::int64_t>(pending.sent);
        }
        pending_.pop_front();
    }
    return std::nullopt;
}

void PtyServer::drop_line(Clock::Instant now) {
    const std::string old_path = device_path();
    // The new terminal is made before the old one goes, so that its name is
    // a new one, as a device that comes back elsewhere has: a number freed
    // first could be given again.
    int old_master = std::exchange(master_, -1);
    int old_device = std::exchange(device_, -1);
    try {
        open_terminal();
    } catch (...) {
        close_fd(old_device);
        close_fd(old_master);
        throw;
    }
    close_fd(old_device);
    close_fd(old_master);
    pending_.clear();
    {
        const std::lock_guard lock(mutex_);
        model_.line_dropped(now);
        ++drops_;
    }
    const std::string new_path = device_path();
    log(fmt::format("the line to {} dropped; the reader now answers on {}", old_path, new_path));
    if (on_new_device_) {
        on_new_device_(new_path);
    }
}

}  // namespace kdr::simulator
