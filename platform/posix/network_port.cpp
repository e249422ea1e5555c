#include "kdr/network_port.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "kdr/error.hpp"
#include "platform/port_scheme.hpp"
#include "platform/posix/wait.hpp"
#include "platform/telnet.hpp"

namespace kdr {
namespace {

using SteadyClock = std::chrono::steady_clock;
using platform::wait_for;
namespace telnet = platform::telnet;

std::string os_message(int error_number) {
    return std::error_code(error_number, std::generic_category()).message();
}

// COM port control commands (client to server; the server answers each with
// its code plus 100).
constexpr unsigned char kSetBaudRate = 1;
constexpr unsigned char kSetDataSize = 2;
constexpr unsigned char kSetParity = 3;
constexpr unsigned char kSetStopSize = 4;
constexpr unsigned char kPurgeData = 12;
constexpr unsigned char kPurgeReceiveBuffer = 1;
constexpr unsigned char kServerReply = 100;

unsigned char parity_code(char parity) {
    switch (parity) {
        case 'o':
            return 2;
        case 'e':
            return 3;
        case 'm':
            return 4;
        case 's':
            return 5;
        default:
            return 1;
    }
}

unsigned char stop_code(StopBits stop_bits) {
    switch (stop_bits) {
        case StopBits::Two:
            return 2;
        case StopBits::OnePointFive:
            return 3;
        default:
            return 1;
    }
}

double seconds(std::chrono::milliseconds duration) {
    return std::chrono::duration<double>(duration).count();
}

// How long a raw open looks for a server turning the connection away, beyond
// twice the handshake: the server's reaction time. ser2net's notice comes in
// well under a millisecond on an idle machine, in some 25 ms at most when
// the processors are four times overbooked.
constexpr std::chrono::milliseconds kRefusalLook{50};

/// Whether what a server sent on a connection it closed at once reads as
/// its notice of turning the client away (ser2net: "Port already in use\r\n"):
/// nothing, or a short line of text. Anything else came from the line.
bool reads_as_notice(std::string_view received) {
    return received.size() <= 200 && std::ranges::all_of(received, [](char c) {
               return (c >= ' ' && c <= '~') || c == '\r' || c == '\n' || c == '\t';
           });
}

/// A COM port control command with a one-byte value.
std::string com_port_command(unsigned char code, unsigned char value) {
    return telnet::subnegotiation(telnet::kComPort,
                                  std::string{static_cast<char>(code), static_cast<char>(value)});
}

class Socket {
  public:
    explicit Socket(int fd) noexcept : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            (void)::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

/// Starts a non-blocking connect and waits for its end; the socket, or the
/// error number (ETIMEDOUT when the deadline passed).
std::pair<int, int> connect_one(const addrinfo& address, Clock::Instant deadline) {
    Socket socket(::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                           address.ai_protocol));
    if (socket.get() < 0) {
        return {-1, errno};
    }
    int rc = ::connect(socket.get(), address.ai_addr, address.ai_addrlen);
    if (rc != 0 && errno != EINPROGRESS && errno != EINTR) {
        return {-1, errno};
    }
    if (rc != 0) {
        if (wait_for(socket.get(), POLLOUT, deadline) == 0) {
            return {-1, ETIMEDOUT};
        }
        int error_number = 0;
        socklen_t size = sizeof error_number;
        if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error_number, &size) != 0) {
            return {-1, errno};
        }
        if (error_number != 0) {
            return {-1, error_number};
        }
    }
    // The reader's requests are short and each waits for its answer: send
    // them at once rather than gather them.
    const int on = 1;
    (void)::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return {socket.release(), 0};
}

}  // namespace

/// What the Telnet side knows of the connection.
struct NetworkSerialPort::Telnet {
    telnet::Decoder decoder;
    std::vector<telnet::Command> commands;
    // The options enabled on our side (WILL sent and not withdrawn) and on
    // the server's (DO sent), so that a request already agreed is not
    // answered again: that would loop.
    std::array<bool, 256> ours{};
    std::array<bool, 256> theirs{};
    bool com_port = false;          // the server agreed to the option
    bool com_port_refused = false;  // the server refused it
    // The server's answers to the settings, as received.
    std::optional<std::uint32_t> baud;
    std::optional<unsigned char> data_size;
    std::optional<unsigned char> parity;
    std::optional<unsigned char> stop_size;
};

NetworkSerialPort::NetworkSerialPort(std::string word, std::chrono::milliseconds connect_timeout,
                                     std::chrono::milliseconds write_timeout)
    : word_(std::move(word)),
      protocol_(Protocol::Raw),
      connect_timeout_(connect_timeout),
      write_timeout_(write_timeout) {
    const std::string_view scheme = platform::scheme_of(word_);
    if (scheme == "rfc2217") {
        protocol_ = Protocol::Rfc2217;
    } else if (scheme != "tcp") {
        throw Error(ErrorKind::InvalidArgument,
                    fmt::format("{}: a network port begins with tcp:// or rfc2217://", word_));
    }
    const auto malformed = [this] {
        return Error(ErrorKind::InvalidArgument,
                     fmt::format("{}: give the device server as {}://HOST:PORT, such as "
                                 "{}://192.168.1.20:4001 (an IPv6 address in brackets)",
                                 word_, protocol_ == Protocol::Raw ? "tcp" : "rfc2217",
                                 protocol_ == Protocol::Raw ? "tcp" : "rfc2217"));
    };
    std::string_view rest = std::string_view(word_).substr(scheme.size() + 3);
    if (!rest.empty() && rest.back() == '/') {
        rest.remove_suffix(1);
    }
    std::size_t colon = std::string_view::npos;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            throw malformed();
        }
        host_ = std::string(rest.substr(1, close - 1));
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string_view::npos) {
            throw malformed();
        }
        host_ = std::string(rest.substr(0, colon));
        if (host_.find_first_of(":/@") != std::string::npos) {
            throw malformed();
        }
    }
    const std::string_view number = rest.substr(colon + 1);
    int value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (host_.empty() || number.empty() || error != std::errc{} ||
        end != number.data() + number.size() || value < 1 || value > 65535) {
        throw malformed();
    }
    service_ = std::to_string(value);
}

NetworkSerialPort::~NetworkSerialPort() {
    close_port();
}

std::string NetworkSerialPort::server() const {
    return host_.find(':') == std::string::npos ? fmt::format("{}:{}", host_, service_)
                                                : fmt::format("[{}]:{}", host_, service_);
}

LineState NetworkSerialPort::state() const noexcept {
    if (fd_ < 0) {
        return LineState::Closed;
    }
    return closed_ ? LineState::Dropped : LineState::Open;
}

void NetworkSerialPort::apply(const LineSettings& settings) {
    require_open("changing its settings");
    (void)parse_line_settings(to_string(settings));  // values no serial line has
    if (protocol_ == Protocol::Rfc2217) {
        pump();
        if (closed_) {
            throw_closed();
        }
        try {
            apply_settings(settings);
        } catch (const Error& refused) {
            if (refused.kind() == ErrorKind::InvalidSettings) {
                // The server may have set part of the request: put the line
                // back as it was, as far as the server lets us.
                try {
                    apply_settings(settings_);
                } catch (const Error&) {  // NOLINT(bugprone-empty-catch): the refusal says more
                }
            }
            throw;
        }
    }
    settings_ = settings;
}

void NetworkSerialPort::open(const LineSettings& settings) {
    if (fd_ >= 0) {
        throw Error(ErrorKind::InvalidArgument,
                    fmt::format("{} is open already: close it before opening it again", word_));
    }
    (void)parse_line_settings(to_string(settings));  // values no serial line has
    settings_ = settings;
    // A device server frees its serial port a moment after a client leaves,
    // and turns away whoever comes in between: ser2net accepts the
    // connection, writes "Port already in use\r\n" and closes it. An open
    // right after a close is tried again for a while before it fails. The
    // rfc2217 negotiation meets the close as LineDropped; a raw connection,
    // where a healthy server says nothing, looks for it (look_for_refusal).
    const Clock::Instant give_up = SteadyClock::now() + connect_timeout_;
    std::chrono::milliseconds pause(10);
    for (;;) {
        try {
            const Clock::Duration handshake = connect_to_server();
            closed_ = false;
            received_.clear();
            if (protocol_ == Protocol::Rfc2217) {
                negotiate();
            } else {
                look_for_refusal(handshake);
            }
            return;
        } catch (const Error& error) {
            const bool turned_away =
                error.kind() == ErrorKind::LineDropped && closed_ && reads_as_notice(received_);
            const std::string notice = received_;
            close_port();
            if (!turned_away) {
                throw;
            }
            if (SteadyClock::now() + pause >= give_up) {
                throw_turned_away(notice);
            }
        } catch (...) {
            close_port();
            throw;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(2 * pause, std::chrono::milliseconds(200));
    }
}

void NetworkSerialPort::look_for_refusal(Clock::Duration handshake) {
    // The notice and the close come a round trip after the connection was
    // made, plus the server's own reaction time: look that long, and no more,
    // since a healthy server stays silent and the look is then all waiting.
    const Clock::Duration look =
        std::min<Clock::Duration>(2 * handshake + kRefusalLook, connect_timeout_);
    Clock::Instant until = SteadyClock::now() + look;
    bool looked_again = false;
    while (!closed_) {
        if (!reads_as_notice(received_)) {
            return;  // the line's own bytes: the server took the connection
        }
        if (SteadyClock::now() >= until) {
            if (received_.empty() || looked_again) {
                return;  // silent, or text on a connection that stays: the reader's
            }
            // Text that may be a notice whose close is on its way.
            until = SteadyClock::now() + look;
            looked_again = true;
            continue;
        }
        if ((wait_for(fd_, POLLIN, until) & POLLNVAL) != 0) {
            throw Error(ErrorKind::IoError, fmt::format("{}: the connection is gone", word_));
        }
        pump();
    }
    // Closed at once. After nothing or a short text, the server turned the
    // connection away. After other bytes it had taken it and the line
    // dropped: read hands them over before LineDropped.
    if (reads_as_notice(received_)) {
        throw_closed();
    }
}

void NetworkSerialPort::throw_turned_away(std::string_view notice) const {
    std::string words;
    for (const char c : notice) {
        const bool space = c == '\r' || c == '\n' || c == '\t' || c == ' ';
        if (!space || (!words.empty() && words.back() != ' ')) {
            words += space ? ' ' : c;
        }
    }
    while (!words.empty() && words.back() == ' ') {
        words.pop_back();
    }
    std::string lower = words;
    std::ranges::transform(lower, lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.find("in use") != std::string::npos) {
        throw Error(ErrorKind::PortBusy,
                    fmt::format("{}: the device server at {} says its serial port is in use "
                                "(\"{}\") and turned every connection away for {} s: close the "
                                "other program or session using it, or free the port on the "
                                "server, then open the port again",
                                word_, server(), words, seconds(connect_timeout_)));
    }
    throw Error(ErrorKind::LineDropped,
                fmt::format("{}: the device server at {} closed every connection at once for {} "
                            "s{}: check that the server runs and its serial port is free, then "
                            "open the port again",
                            word_, server(), seconds(connect_timeout_),
                            words.empty() ? std::string() : fmt::format(", saying \"{}\"", words)));
}

void NetworkSerialPort::close() noexcept {
    close_port();
}

Clock::Duration NetworkSerialPort::connect_to_server() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host_.c_str(), service_.c_str(), &hints, &found);
    if (rc != 0) {
        if (rc == EAI_NONAME || rc == EAI_FAIL || rc == EAI_NODATA || rc == EAI_ADDRFAMILY) {
            throw Error(ErrorKind::PortMissing,
                        fmt::format("{}: no host named {} is known: check the device server's "
                                    "name or address",
                                    word_, host_));
        }
        throw Error(ErrorKind::PortMissing,
                    fmt::format("{}: the name {} cannot be looked up ({}): check the network and "
                                "the name server",
                                word_, host_, ::gai_strerror(rc)));
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
    const Clock::Instant deadline = SteadyClock::now() + connect_timeout_;
    int last_error = EHOSTUNREACH;
    for (const addrinfo* address = addresses.get(); address != nullptr;
         address = address->ai_next) {
        const Clock::Instant start = SteadyClock::now();
        const auto [fd, error_number] = connect_one(*address, deadline);
        if (fd >= 0) {
            fd_ = fd;
            return SteadyClock::now() - start;
        }
        last_error = error_number;
        if (error_number == ETIMEDOUT) {
            break;
        }
    }
    switch (last_error) {
        case ECONNREFUSED:
            throw Error(ErrorKind::PortMissing,
                        fmt::format("{}: nothing listens on {}: check the device server is "
                                    "running and the port number",
                                    word_, server()));
        case ETIMEDOUT:
            throw Error(ErrorKind::PortMissing,
                        fmt::format("{}: the device server at {} did not accept the connection "
                                    "within {} s: check the address, that the server is on and "
                                    "that no firewall blocks the port",
                                    word_, server(), seconds(connect_timeout_)));
        case EHOSTUNREACH:
        case ENETUNREACH:
        case ENETDOWN:
        case EHOSTDOWN:
            throw Error(ErrorKind::PortMissing,
                        fmt::format("{}: {} cannot be reached ({}): check the address and the "
                                    "network",
                                    word_, host_, os_message(last_error)));
        default:
            throw Error(ErrorKind::IoError, fmt::format("{}: cannot connect to {}: {}", word_,
                                                        server(), os_message(last_error)));
    }
}

void NetworkSerialPort::negotiate() {
    telnet_ = std::make_unique<Telnet>();
    std::string offer;
    for (const unsigned char option :
         {telnet::kComPort, telnet::kBinary, telnet::kSuppressGoAhead}) {
        offer += telnet::negotiation(telnet::kWill, option);
        telnet_->ours.at(option) = true;
    }
    for (const unsigned char option : {telnet::kBinary, telnet::kSuppressGoAhead}) {
        offer += telnet::negotiation(telnet::kDo, option);
        telnet_->theirs.at(option) = true;
    }
    // The settings go with the offer: a server that takes the option answers
    // both in one round trip, where waiting for its consent first would cost
    // a second one on a slow link.
    const Clock::Instant offered = SteadyClock::now();
    send_raw(offer + settings_request(settings_));
    const Clock::Instant deadline = offered + connect_timeout_;
    while (!telnet_->com_port && !telnet_->com_port_refused) {
        if (SteadyClock::now() >= deadline) {
            throw Error(ErrorKind::InvalidSettings,
                        fmt::format("{}: the device server at {} did not take up the COM port "
                                    "control option (RFC 2217) within {} s: check that its port "
                                    "speaks it, or use tcp://{}",
                                    word_, server(), seconds(connect_timeout_), server()));
        }
        wait_readable(deadline);
    }
    if (telnet_->com_port_refused) {
        throw Error(ErrorKind::InvalidSettings,
                    fmt::format("{}: the device server at {} refuses the COM port control "
                                "option (RFC 2217), so the line settings cannot be set: "
                                "configure the server's port for it, or use tcp://{}",
                                word_, server(), server()));
    }
    // A server may ignore settings that came before its consent: then they
    // have not been answered a round trip after it, and are asked again.
    const Clock::Duration consent = SteadyClock::now() - offered;
    const Clock::Duration grace =
        std::max<Clock::Duration>(2 * consent, std::chrono::milliseconds(100));
    const Telnet& state = *telnet_;
    if (!settings_answered(SteadyClock::now() + grace) && !state.baud && !state.data_size &&
        !state.parity && !state.stop_size) {
        apply_settings(settings_);
        return;
    }
    await_settings(settings_);
}

std::string NetworkSerialPort::settings_request(const LineSettings& settings) {
    Telnet& state = *telnet_;
    state.baud.reset();
    state.data_size.reset();
    state.parity.reset();
    state.stop_size.reset();
    const auto baud = static_cast<std::uint32_t>(settings.baud);
    const std::string baud_bytes{static_cast<char>(kSetBaudRate), static_cast<char>(baud >> 24U),
                                 static_cast<char>((baud >> 16U) & 0xFFU),
                                 static_cast<char>((baud >> 8U) & 0xFFU),
                                 static_cast<char>(baud & 0xFFU)};
    return telnet::subnegotiation(telnet::kComPort, baud_bytes) +
           com_port_command(kSetDataSize, static_cast<unsigned char>(settings.data_bits)) +
           com_port_command(kSetParity, parity_code(settings.parity)) +
           com_port_command(kSetStopSize, stop_code(settings.stop_bits));
}

bool NetworkSerialPort::settings_answered(Clock::Instant deadline) {
    const Telnet& state = *telnet_;
    while (!state.baud || !state.data_size || !state.parity || !state.stop_size) {
        if (SteadyClock::now() >= deadline) {
            return false;
        }
        wait_readable(deadline);
    }
    return true;
}

void NetworkSerialPort::apply_settings(const LineSettings& settings) {
    send_raw(settings_request(settings));
    await_settings(settings);
}

void NetworkSerialPort::await_settings(const LineSettings& settings) {
    if (!settings_answered(SteadyClock::now() + connect_timeout_)) {
        const Telnet& state = *telnet_;
        // A server that cannot set a value may leave its request unanswered.
        std::string missing;
        const auto add = [&missing](bool answered, const std::string& what) {
            if (!answered) {
                missing += fmt::format("{}{}", missing.empty() ? "" : ", ", what);
            }
        };
        add(state.baud.has_value(), fmt::format("the baud rate {}", settings.baud));
        add(state.data_size.has_value(), fmt::format("{} data bits", settings.data_bits));
        add(state.parity.has_value(), fmt::format("the parity '{}'", settings.parity));
        add(state.stop_size.has_value(),
            fmt::format("{} stop bits", to_string(settings.stop_bits)));
        throw Error(
            ErrorKind::InvalidSettings,
            fmt::format("{}: the device server at {} does not take the line settings "
                        "{}: it did not confirm {} within {} s",
                        word_, server(), to_string(settings), missing, seconds(connect_timeout_)));
    }
    check_settings_taken(settings);
}

void NetworkSerialPort::check_settings_taken(const LineSettings& settings) const {
    const Telnet& state = *telnet_;
    const auto baud = static_cast<std::uint32_t>(settings.baud);
    std::string refused;
    if (*state.baud != baud) {
        refused = fmt::format("the baud rate {} (it runs at {})", settings.baud, *state.baud);
    } else if (*state.data_size != settings.data_bits) {
        refused = fmt::format("{} data bits (it uses {})", settings.data_bits, *state.data_size);
    } else if (*state.parity != parity_code(settings.parity)) {
        refused = fmt::format("the parity '{}'", settings.parity);
    } else if (*state.stop_size != stop_code(settings.stop_bits)) {
        refused = fmt::format("{} stop bits", to_string(settings.stop_bits));
    }
    if (!refused.empty()) {
        throw Error(ErrorKind::InvalidSettings,
                    fmt::format("{}: the device server at {} does not take the line settings "
                                "{}: it refused {}",
                                word_, server(), to_string(settings), refused));
    }
}

void NetworkSerialPort::require_open(std::string_view doing) const {
    if (fd_ < 0) {
        throw Error(ErrorKind::PortNotOpen,
                    fmt::format("{} is closed: open the port before {}", word_, doing));
    }
}

void NetworkSerialPort::throw_closed() const {
    throw Error(ErrorKind::LineDropped,
                fmt::format("{}: the device server at {} closed the connection: check that the "
                            "server runs and its serial port is free, then open the port again",
                            word_, server()));
}

void NetworkSerialPort::pump() {
    std::array<char, 4096> chunk{};
    while (!closed_) {
        const ssize_t n = ::recv(fd_, chunk.data(), chunk.size(), 0);
        if (n > 0) {
            const std::string_view bytes(chunk.data(), static_cast<std::size_t>(n));
            if (telnet_) {
                telnet_->decoder.feed(bytes, received_, telnet_->commands);
            } else {
                received_.append(bytes);
            }
            continue;
        }
        if (n == 0 || errno == ECONNRESET || errno == EPIPE) {
            closed_ = true;
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        }
        throw Error(ErrorKind::IoError,
                    fmt::format("{}: cannot read from {}: {}", word_, server(), os_message(errno)));
    }
    if (!telnet_ || telnet_->commands.empty()) {
        return;
    }
    Telnet& state = *telnet_;
    std::string reply;
    for (const telnet::Command& command : std::exchange(state.commands, {})) {
        const unsigned char option = command.option;
        const bool wanted_ours = option == telnet::kComPort || option == telnet::kBinary ||
                                 option == telnet::kSuppressGoAhead;
        const bool wanted_theirs = option == telnet::kBinary || option == telnet::kSuppressGoAhead;
        switch (command.verb) {
            case telnet::kDo:
                if (!wanted_ours) {
                    reply += telnet::negotiation(telnet::kWont, option);
                    break;
                }
                if (!state.ours.at(option)) {
                    state.ours.at(option) = true;
                    reply += telnet::negotiation(telnet::kWill, option);
                }
                state.com_port = state.com_port || option == telnet::kComPort;
                break;
            case telnet::kDont:
                if (state.ours.at(option)) {
                    state.ours.at(option) = false;
                    reply += telnet::negotiation(telnet::kWont, option);
                }
                if (option == telnet::kComPort) {
                    state.com_port_refused = true;
                }
                break;
            case telnet::kWill:
                if (!wanted_theirs) {
                    reply += telnet::negotiation(telnet::kDont, option);
                } else if (!state.theirs.at(option)) {
                    state.theirs.at(option) = true;
                    reply += telnet::negotiation(telnet::kDo, option);
                }
                break;
            case telnet::kWont:
                if (state.theirs.at(option)) {
                    state.theirs.at(option) = false;
                    reply += telnet::negotiation(telnet::kDont, option);
                }
                break;
            case telnet::kSb: {
                const std::string& p = command.payload;
                if (option != telnet::kComPort || p.empty()) {
                    break;
                }
                const auto code = static_cast<unsigned char>(p[0]);
                const auto byte = [&p](std::size_t i) { return static_cast<unsigned char>(p[i]); };
                if (code == kServerReply + kSetBaudRate && p.size() >= 5) {
                    state.baud = (std::uint32_t{byte(1)} << 24U) | (std::uint32_t{byte(2)} << 16U) |
                                 (std::uint32_t{byte(3)} << 8U) | std::uint32_t{byte(4)};
                } else if (code == kServerReply + kSetDataSize && p.size() >= 2) {
                    state.data_size = byte(1);
                } else if (code == kServerReply + kSetParity && p.size() >= 2) {
                    state.parity = byte(1);
                } else if (code == kServerReply + kSetStopSize && p.size() >= 2) {
                    state.stop_size = byte(1);
                }
                break;
            }
            default:
                break;
        }
    }
    if (!reply.empty() && !closed_) {
        send_raw(reply);
    }
}

void NetworkSerialPort::wait_readable(Clock::Instant deadline) {
    const short events = wait_for(fd_, POLLIN, deadline);
    if ((events & POLLNVAL) != 0) {
        throw Error(ErrorKind::IoError, fmt::format("{}: the connection is gone", word_));
    }
    pump();
    if (closed_) {
        throw_closed();
    }
}

std::size_t NetworkSerialPort::available() {
    require_open("counting the received bytes");
    pump();
    if (received_.empty() && closed_) {
        throw_closed();
    }
    return received_.size();
}

void NetworkSerialPort::discard_input() {
    require_open("discarding the received bytes");
    pump();
    received_.clear();
    if (closed_) {
        throw_closed();
    }
    if (telnet_) {
        send_raw(com_port_command(kPurgeData, kPurgeReceiveBuffer));
    }
}

std::size_t NetworkSerialPort::read(std::string& into, Clock::Instant deadline) {
    require_open("reading");
    while (true) {
        pump();
        if (!received_.empty()) {
            const std::size_t count = received_.size();
            into += received_;
            received_.clear();
            return count;
        }
        if (closed_) {
            throw_closed();
        }
        // Telnet commands alone are no data: wait on until data or the deadline.
        const short events = wait_for(fd_, POLLIN, deadline);
        if (events == 0) {
            return 0;
        }
        if ((events & POLLNVAL) != 0) {
            throw Error(ErrorKind::IoError, fmt::format("{}: the connection is gone", word_));
        }
    }
}

void NetworkSerialPort::write(std::string_view bytes) {
    require_open("writing");
    pump();
    if (closed_) {
        throw_closed();
    }
    send_raw(telnet_ ? telnet::escape(bytes) : std::string(bytes));
}

void NetworkSerialPort::send_raw(std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const short events = wait_for(fd_, POLLOUT, SteadyClock::now() + write_timeout_);
            if (events == 0) {
                throw Error(ErrorKind::IoError,
                            fmt::format("{}: the device server at {} accepts no data: nothing "
                                        "went out for {} ms; check the server and the network",
                                        word_, server(), write_timeout_.count()));
            }
            continue;
        }
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            closed_ = true;
            throw_closed();
        }
        throw Error(ErrorKind::IoError,
                    fmt::format("{}: cannot send to {}: {}", word_, server(), os_message(errno)));
    }
}

void NetworkSerialPort::close_port() noexcept {
    if (fd_ < 0) {
        return;
    }
    (void)::close(fd_);
    fd_ = -1;
    telnet_.reset();
    received_.clear();
    closed_ = false;
}

}  // namespace kdr
