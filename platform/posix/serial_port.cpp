#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <optional>
#include <system_error>
#include <utility>

#include "kdr/error.hpp"
#include "kdr/posix_platform.hpp"
#include "platform/posix/wait.hpp"

namespace kdr {
namespace {

std::string os_message(int error_number) {
    return std::error_code(error_number, std::generic_category()).message();
}

// Errors with which a descriptor reports that its device went away: a hung-up
// terminal answers EIO, a removed device ENXIO or ENODEV.
bool is_gone(int error_number) {
    return error_number == EIO || error_number == ENXIO || error_number == ENODEV;
}

struct Speed {
    int baud;
    speed_t code;
};

constexpr std::array<Speed, 30> kSpeeds{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

std::optional<speed_t> speed_code(int baud) {
    for (const Speed& speed : kSpeeds) {
        if (speed.baud == baud) {
            return speed.code;
        }
    }
    return std::nullopt;
}

/// Refuses settings that termios cannot express, before they reach a device.
void require_supported(const LineSettings& settings) {
    // Values outside what any serial line has (9 data bits, parity 'x') are
    // refused as a settings text with them would be.
    (void)parse_line_settings(to_string(settings));
    if (settings.stop_bits == StopBits::OnePointFive) {
        throw Error(ErrorKind::InvalidSettings,
                    fmt::format("line settings \"{}\": 1.5 stop bits are not supported on this "
                                "system; use 1 or 2",
                                to_string(settings)));
    }
    if (!speed_code(settings.baud)) {
        std::string rates;
        for (const Speed& speed : kSpeeds) {
            rates += rates.empty() ? "" : ", ";
            rates += std::to_string(speed.baud);
        }
        throw Error(ErrorKind::InvalidSettings,
                    fmt::format("line settings \"{}\": the baud rate {} is not supported on this "
                                "system; supported rates are {}",
                                to_string(settings), settings.baud, rates));
    }
}

constexpr tcflag_t flags(tcflag_t value) {
    return value;
}

// The control-mode bits the settings decide; they are compared after the
// device has taken the settings, because drivers drop what they cannot do.
constexpr tcflag_t kSettingBits = flags(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);

tcflag_t character_size(int data_bits) {
    switch (data_bits) {
        case 5:
            return flags(CS5);
        case 6:
            return flags(CS6);
        case 7:
            return flags(CS7);
        default:
            return flags(CS8);
    }
}

tcflag_t parity_bits(char parity) {
    switch (parity) {
        case 'e':
            return flags(PARENB);
        case 'o':
            return flags(PARENB | PARODD);
        case 'm':
            return flags(PARENB | PARODD | CMSPAR);
        case 's':
            return flags(PARENB | CMSPAR);
        default:
            return 0;
    }
}

/// What the device dropped of the wanted settings, for the message.
std::string refused_part(const termios& wanted, const termios& got, const LineSettings& settings) {
    if (cfgetospeed(&got) != cfgetospeed(&wanted) || cfgetispeed(&got) != cfgetispeed(&wanted)) {
        return fmt::format("the baud rate {}", settings.baud);
    }
    if ((got.c_cflag & flags(CSIZE)) != (wanted.c_cflag & flags(CSIZE))) {
        return fmt::format("{} data bits", settings.data_bits);
    }
    if ((got.c_cflag & flags(CSTOPB)) != (wanted.c_cflag & flags(CSTOPB))) {
        return fmt::format("{} stop bits", to_string(settings.stop_bits));
    }
    return fmt::format("the parity '{}'", settings.parity);
}

int set_attributes(int fd, const termios& attributes) {
    int rc = 0;
    do {
        rc = ::tcsetattr(fd, TCSANOW, &attributes);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

[[noreturn]] void throw_os(ErrorKind kind, const std::string& label, std::string_view doing,
                           int error_number) {
    throw Error(kind, fmt::format("{}: {}: {}", label, doing, os_message(error_number)));
}

/// Puts the device in raw mode with the settings: no flow control, no
/// character translation, the receiver on and modem status ignored (CLOCAL),
/// so that a reader without carrier detect can still be heard.
void configure(int fd, const LineSettings& settings, const std::string& label) {
    require_supported(settings);
    termios previous{};
    if (::tcgetattr(fd, &previous) != 0) {
        const int error_number = errno;
        throw_os(is_gone(error_number) ? ErrorKind::LineDropped : ErrorKind::IoError, label,
                 "cannot read the line settings", error_number);
    }
    termios wanted = previous;
    ::cfmakeraw(&wanted);
    wanted.c_cflag &= ~(kSettingBits | flags(CRTSCTS));
    wanted.c_cflag |=
        flags(CLOCAL | CREAD) | character_size(settings.data_bits) | parity_bits(settings.parity);
    if (settings.stop_bits == StopBits::Two) {
        wanted.c_cflag |= flags(CSTOPB);
    }
    // No software flow control, and bytes with a parity error pass unchanged.
    wanted.c_iflag &= ~flags(IXON | IXOFF | IXANY | INPCK);
    // VMIN 1 rather than 0: on a non-blocking descriptor an empty read then
    // fails with EAGAIN, so a read of 0 bytes can only mean a hang-up. With
    // VMIN 0 Linux answers an empty buffer with 0 as well.
    wanted.c_cc[VMIN] = 1;
    wanted.c_cc[VTIME] = 0;
    const speed_t speed = speed_code(settings.baud).value();
    ::cfsetispeed(&wanted, speed);
    ::cfsetospeed(&wanted, speed);

    if (set_attributes(fd, wanted) != 0) {
        const int error_number = errno;
        throw_os(is_gone(error_number) ? ErrorKind::LineDropped : ErrorKind::IoError, label,
                 fmt::format("cannot set the line settings {}", to_string(settings)), error_number);
    }
    // tcsetattr succeeds when the device took any part of the request.
    termios got{};
    if (::tcgetattr(fd, &got) != 0) {
        throw_os(ErrorKind::IoError, label, "cannot read back the line settings", errno);
    }
    if ((got.c_cflag & kSettingBits) != (wanted.c_cflag & kSettingBits) ||
        cfgetospeed(&got) != speed || cfgetispeed(&got) != speed) {
        (void)set_attributes(fd, previous);
        throw Error(ErrorKind::InvalidSettings,
                    fmt::format("{} does not take the line settings {}: the device refused {}",
                                label, to_string(settings), refused_part(wanted, got, settings)));
    }
}

/// An open descriptor that is closed when it goes out of scope, so that no
/// failure while opening leaks it.
class Descriptor {
  public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            if (original_) {
                (void)set_attributes(fd_, *original_);
            }
            // The exclusive mark belongs to the device, not the descriptor,
            // and outlives it while others hold the device: take back ours,
            // and only ours, so that the port can be opened again.
            if (exclusive_) {
                (void)::ioctl(fd_, TIOCNXCL);
            }
            (void)::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
    void mark_exclusive() noexcept { exclusive_ = true; }
    /// The settings to put back should the open fail after changing them.
    void restore_on_failure(const termios& original) noexcept { original_ = original; }

  private:
    int fd_;
    bool exclusive_ = false;
    std::optional<termios> original_;
};

[[noreturn]] void throw_not_serial(const std::string& label) {
    throw Error(ErrorKind::InvalidPortNumber,
                fmt::format("{} is not a serial device: give the device of a serial port, USB "
                            "serial adapter or pseudo-terminal (\"kdr ports\" lists them)",
                            label));
}

[[noreturn]] void throw_own_terminal(const std::string& label) {
    throw Error(ErrorKind::InvalidPortNumber,
                fmt::format("{} is this program's own terminal, not a serial port: give the "
                            "device of the reader's serial port or adapter (\"kdr ports\" lists "
                            "them)",
                            label));
}

/// /dev/tty names whichever terminal controls the opener: the user's own.
/// Told by device number, so that links to it are caught too, and before
/// opening, since without a controlling terminal it cannot be opened at all.
void refuse_terminal_alias(const std::string& path, const std::string& label) {
    struct stat wanted {};
    struct stat alias {};
    if (::stat(path.c_str(), &wanted) == 0 && S_ISCHR(wanted.st_mode) &&
        ::stat("/dev/tty", &alias) == 0 && S_ISCHR(alias.st_mode) &&
        wanted.st_rdev == alias.st_rdev) {
        throw_own_terminal(label);
    }
}

/// Checks that the open device is a terminal, and not the one this program
/// runs in, before anything changes it; returns its settings as they are.
termios require_serial_device(const Descriptor& fd, const std::string& label) {
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        throw_os(ErrorKind::IoError, label, "cannot examine the device", errno);
    }
    if (!S_ISCHR(status.st_mode)) {
        throw_not_serial(label);
    }
    termios settings{};
    if (::tcgetattr(fd.get(), &settings) != 0) {
        const int error_number = errno;
        // Devices that are no terminal answer ENOTTY, some (/dev/urandom) EINVAL.
        if (error_number == ENOTTY || error_number == EINVAL) {
            throw_not_serial(label);
        }
        throw_os(is_gone(error_number) ? ErrorKind::LineDropped : ErrorKind::IoError, label,
                 "cannot read the line settings", error_number);
    }
    // Only the controlling terminal answers with a session, and then with ours:
    // this catches the terminal under any of its names (/dev/pts/N, a link).
    const pid_t session = ::tcgetsid(fd.get());
    if (session >= 0 && session == ::getsid(0)) {
        throw_own_terminal(label);
    }
    return settings;
}

int open_device(const std::string& path, const std::string& label) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        return fd;
    }
    const int error_number = errno;
    switch (error_number) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
            throw Error(ErrorKind::PortMissing,
                        fmt::format("{} does not exist: check the port number and that the "
                                    "reader's cable or adapter is plugged in",
                                    label));
        case EIO:
            // A serial port that the system lists but no hardware answers for.
            throw Error(ErrorKind::PortMissing,
                        fmt::format("{} has no working serial hardware behind it: check the "
                                    "port number and that the reader's cable or adapter is "
                                    "plugged in",
                                    label));
        case EBUSY:
            throw Error(ErrorKind::PortBusy,
                        fmt::format("{} is in use by another program: close that program or "
                                    "choose another port",
                                    label));
        case EACCES:
        case EPERM:
            throw Error(ErrorKind::IoError,
                        fmt::format("{}: permission denied: add the user to the group that "
                                    "owns the device (usually \"dialout\") and log in again",
                                    label));
        case EISDIR:
            throw Error(ErrorKind::InvalidPortNumber,
                        fmt::format("{} is a folder, not a serial device: give the device of a "
                                    "serial port, USB serial adapter or pseudo-terminal",
                                    label));
        default:
            throw_os(ErrorKind::IoError, label, "cannot open the device", error_number);
    }
}

/// Takes the device for this program alone. flock keeps out programs that
/// lock too, even when they run as root; TIOCEXCL keeps out every other
/// opener except root and is a bonus where the driver has it.
void take_exclusively(Descriptor& fd, const std::string& label) {
    int rc = 0;
    do {
        rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno == EWOULDBLOCK) {
        throw Error(ErrorKind::PortBusy,
                    fmt::format("{} is in use by another program: close that program or "
                                "choose another port",
                                label));
    }
    // Other flock failures mean the file system cannot lock: go on without.
    if (::ioctl(fd.get(), TIOCEXCL) == 0) {
        fd.mark_exclusive();
    }
}

/// Raises DTR and RTS: many readers and adapters power their line driver
/// from them. Pseudo-terminals and some adapters have no modem lines and
/// refuse the request, which is no reason to fail.
void raise_modem_lines(const Descriptor& fd, const std::string& label) {
    const int lines = TIOCM_DTR | TIOCM_RTS;
    if (::ioctl(fd.get(), TIOCMBIS, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
        throw_os(ErrorKind::IoError, label, "cannot raise DTR and RTS", errno);
    }
}

}  // namespace

// ---- PortMap -------------------------------------------------------------

void PortMap::assign(std::int16_t port, std::string path) {
    if (port < 1) {
        throw Error(ErrorKind::InvalidPortNumber,
                    fmt::format("port number {} is invalid: port numbers start at 1", port));
    }
    if (path.empty()) {
        throw Error(ErrorKind::InvalidArgument,
                    fmt::format("port number {} cannot be given an empty device path", port));
    }
    paths_[port] = std::move(path);
}

std::string PortMap::path_for(std::int16_t port) const {
    if (port < 1) {
        throw Error(ErrorKind::InvalidPortNumber,
                    fmt::format("port number {} is invalid: port numbers start at 1 (COM1 is "
                                "/dev/ttyS0)",
                                port));
    }
    if (const auto found = paths_.find(port); found != paths_.end()) {
        return found->second;
    }
    return fmt::format("/dev/ttyS{}", port - 1);
}

// ---- PosixSerialPort -------------------------------------------------------

PosixSerialPort::PosixSerialPort(std::string path, std::string name,
                                 std::chrono::milliseconds write_timeout)
    : path_(std::move(path)),
      name_(name.empty() ? path_ : std::move(name)),
      write_timeout_(write_timeout) {}

PosixSerialPort::~PosixSerialPort() {
    close_port();
}

std::string PosixSerialPort::describe() const {
    if (name_ == path_) {
        return path_;
    }
    // "3" alone reads badly in a sentence.
    const bool number =
        std::all_of(name_.begin(), name_.end(), [](char c) { return c >= '0' && c <= '9'; });
    return fmt::format("{}{} ({})", number ? "port " : "", name_, path_);
}

LineState PosixSerialPort::state() const noexcept {
    if (fd_ < 0) {
        return LineState::Closed;
    }
    return dropped_ ? LineState::Dropped : LineState::Open;
}

void PosixSerialPort::open(const LineSettings& settings) {
    if (fd_ >= 0) {
        throw Error(
            ErrorKind::InvalidArgument,
            fmt::format("{} is open already: close it before opening it again", describe()));
    }
    const std::string label = describe();
    require_supported(settings);
    refuse_terminal_alias(path_, label);
    Descriptor fd(open_device(path_, label));
    const termios original = require_serial_device(fd, label);
    take_exclusively(fd, label);
    fd.restore_on_failure(original);
    configure(fd.get(), settings, label);
    raise_modem_lines(fd, label);
    original_settings_ = std::make_unique<termios>(original);
    settings_ = settings;
    dropped_ = false;
    pending_.clear();
    fd_ = fd.release();
}

void PosixSerialPort::close() noexcept {
    close_port();
}

void PosixSerialPort::close_port() noexcept {
    if (fd_ < 0) {
        return;
    }
    // The next user of the device finds it as this port found it; on a line
    // that went away this fails, and there is nothing left to restore.
    if (original_settings_) {
        (void)set_attributes(fd_, *original_settings_);
        original_settings_.reset();
    }
    (void)::ioctl(fd_, TIOCNXCL);
    // No retry on EINTR: Linux has released the descriptor either way.
    (void)::close(fd_);
    fd_ = -1;
    dropped_ = false;
    pending_.clear();
}

void PosixSerialPort::apply(const LineSettings& settings) {
    require_supported(settings);
    require_open("changing its settings");
    check_line();
    configure(fd_, settings, describe());
    settings_ = settings;
}

void PosixSerialPort::require_open(std::string_view doing) const {
    if (fd_ < 0) {
        throw Error(ErrorKind::PortNotOpen,
                    fmt::format("{} is closed: open the port before {}", describe(), doing));
    }
}

void PosixSerialPort::throw_dropped() {
    dropped_ = true;
    throw Error(ErrorKind::LineDropped,
                fmt::format("{}: the line was dropped (the device hung up or its adapter was "
                            "unplugged): check the cable, then close the port and open it again",
                            describe()));
}

// A vanished device stays readable forever with nothing to read; poll's
// hang-up flags tell it apart from a quiet line without waiting.
void PosixSerialPort::check_line() {
    if (dropped_ ||
        (platform::wait_for(fd_, POLLIN, Clock::Instant{}) & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        throw_dropped();
    }
}

bool PosixSerialPort::drain() {
    std::array<char, 4096> chunk{};
    while (true) {
        const ssize_t n = ::read(fd_, chunk.data(), chunk.size());
        if (n > 0) {
            pending_.append(chunk.data(), static_cast<std::size_t>(n));
            continue;
        }
        // With VMIN 1 an empty read is a hang-up, never a quiet line.
        const int error_number = n == 0 ? EIO : errno;
        if (error_number == EINTR) {
            continue;
        }
        if (error_number == EAGAIN || error_number == EWOULDBLOCK) {
            return true;
        }
        if (is_gone(error_number)) {
            return false;
        }
        throw_os(ErrorKind::IoError, describe(), "cannot read", error_number);
    }
}

std::size_t PosixSerialPort::available() {
    require_open("counting the received bytes");
    if (!dropped_ && !drain()) {
        dropped_ = true;
    }
    // A count that can no longer grow says nothing to a caller waiting for
    // more: once the line is gone, asking for the count fails, as it does on
    // the serial drivers hosts of the control know. Reads still hand over
    // what arrived before.
    if (dropped_) {
        throw_dropped();
    }
    return pending_.size();
}

std::size_t PosixSerialPort::read(std::string& into, Clock::Instant deadline) {
    require_open("reading");
    while (true) {
        if (!dropped_ && !drain()) {
            dropped_ = true;
        }
        if (!pending_.empty()) {
            into += pending_;
            const std::size_t count = pending_.size();
            pending_.clear();
            return count;
        }
        if (dropped_) {
            throw_dropped();
        }
        const short events = platform::wait_for(fd_, POLLIN, deadline);
        if (events == 0) {
            return 0;
        }
        if ((events & POLLNVAL) != 0) {
            throw_dropped();
        }
        // POLLIN or a hang-up: the next drain finds out which.
    }
}

void PosixSerialPort::discard_input() {
    require_open("discarding the received bytes");
    pending_.clear();
    check_line();
    if (::tcflush(fd_, TCIFLUSH) != 0) {
        if (is_gone(errno)) {
            throw_dropped();
        }
        throw_os(ErrorKind::IoError, describe(), "cannot discard the received bytes", errno);
    }
}

void PosixSerialPort::write(std::string_view bytes) {
    require_open("writing");
    check_line();
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const int error_number = n == 0 ? EAGAIN : errno;
        if (error_number == EINTR) {
            continue;
        }
        if (error_number == EAGAIN || error_number == EWOULDBLOCK) {
            wait_writable(sent, bytes.size());
            continue;
        }
        if (is_gone(error_number)) {
            throw_dropped();
        }
        throw_os(ErrorKind::IoError, describe(),
                 fmt::format("cannot write ({} of {} bytes were sent)", sent, bytes.size()),
                 error_number);
    }
}

void PosixSerialPort::wait_writable(std::size_t sent, std::size_t total) {
    const short events =
        platform::wait_for(fd_, POLLOUT, std::chrono::steady_clock::now() + write_timeout_);
    if ((events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        throw_dropped();
    }
    if (events == 0) {
        throw Error(ErrorKind::IoError,
                    fmt::format("{}: the line accepts no data: {} of {} bytes were sent, then "
                                "nothing for {} ms; check that nothing holds the line and that "
                                "the reader is switched on",
                                describe(), sent, total, write_timeout_.count()));
    }
}

}  // namespace kdr
