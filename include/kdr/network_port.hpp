// A serial line over a network: a reader on a serial device server, reached
// by TCP. Linux and other POSIX systems.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kdr/byte_port.hpp"
#include "kdr/line_settings.hpp"
#include "kdr/platform.hpp"

namespace kdr {

/// A serial line behind a device server, as a BytePort, named by a word:
///
/// - "tcp://HOST:PORT": a raw TCP connection; every byte is a byte of the
///   line. The server's own configuration decides the line settings: those
///   given to open and apply are kept but not sent.
/// - "rfc2217://HOST:PORT": Telnet with the COM port control option (RFC
///   2217). Opening negotiates binary transmission both ways, suppressed
///   go-ahead and the option, and with the offer sets the baud rate, data
///   bits, parity and stop bits, reading back what the server set (asking
///   again once the option is taken, from a server that ignored settings
///   sent before its consent); apply sets them the same way. Data bytes 255 are doubled on the wire
///   and undoubled on arrival; Telnet commands from the server are answered and are not data.
///   discard_input also asks the server to purge what it holds from the
///   line.
///
/// HOST is a name, an IPv4 address or an IPv6 address in brackets
/// ("[::1]:7001"). name() is the word as given; link() is Network. read
/// waits in poll() for the connection until data arrives or the deadline
/// passes; Telnet commands alone do not end the wait. available() counts the
/// data bytes received (commands taken out). Opening waits at most the
/// connect timeout for the server (and, for rfc2217, the same again for its
/// answers to the settings); write waits at most the write timeout for the
/// connection to accept more.
///
/// A device server frees its serial port a moment after a client leaves and
/// turns away a client that comes in between: it accepts the connection,
/// may send a short notice ("Port already in use" from ser2net) and closes
/// it. Opening connects again then, until the connect timeout. A raw
/// connection says nothing when all is well, so its opening looks for such
/// a close for twice the handshake plus 50 ms: once more as long after a
/// short text, which may be such a notice, and no longer once other bytes
/// arrive. Bytes that arrive on a connection that stays, and other bytes
/// before a close, are the line's, kept for read.
///
/// Failures and their kinds:
/// - PortMissing: the server cannot be reached at all: nothing listens on
///   the port (connection refused), the host name is unknown, the host or
///   its network is unreachable, or the connection was not accepted within
///   the connect timeout. A station tells "server down" by this kind.
/// - PortBusy: the server turned every connection away for the connect
///   timeout, saying its serial port is in use: another client holds it.
/// - LineDropped: the server closed the connection while the port was open,
///   once every data byte that arrived before was handed over; state() is
///   then Dropped. From open: the server closed every connection at once for
///   the connect timeout without saying its port is in use.
/// - InvalidSettings: an rfc2217 server that refuses the option, answers with
///   other settings than those asked for, or does not answer them in time.
/// - IoError: any other failure of the network calls.
/// - PortNotOpen, InvalidArgument: as for every byte port.
class NetworkSerialPort final : public BytePort {
  public:
    enum class Protocol : std::uint8_t { Raw, Rfc2217 };

    static constexpr std::chrono::milliseconds kDefaultConnectTimeout{5000};
    static constexpr std::chrono::milliseconds kDefaultWriteTimeout{3000};

    /// Takes a word "tcp://HOST:PORT" or "rfc2217://HOST:PORT"; connects only
    /// when opened. Throws InvalidArgument for any other word, naming what is
    /// wrong.
    explicit NetworkSerialPort(std::string word,
                               std::chrono::milliseconds connect_timeout = kDefaultConnectTimeout,
                               std::chrono::milliseconds write_timeout = kDefaultWriteTimeout);
    ~NetworkSerialPort() override;
    NetworkSerialPort(const NetworkSerialPort&) = delete;
    NetworkSerialPort& operator=(const NetworkSerialPort&) = delete;

    void open(const LineSettings& settings) override;
    void close() noexcept override;
    [[nodiscard]] LineState state() const noexcept override;

    [[nodiscard]] LineSettings settings() const override { return settings_; }
    /// rfc2217: sets the line as open does; a refusal leaves settings() as
    /// it was. tcp: only kept. PortNotOpen on a closed port.
    void apply(const LineSettings& settings) override;

    void write(std::string_view bytes) override;
    std::size_t read(std::string& into, Clock::Instant deadline) override;
    [[nodiscard]] std::size_t available() override;
    void discard_input() override;

    /// The word as given ("tcp://127.0.0.1:7001").
    [[nodiscard]] std::string name() const override { return word_; }
    [[nodiscard]] LinkKind link() const noexcept override { return LinkKind::Network; }
    [[nodiscard]] Protocol protocol() const noexcept { return protocol_; }

  private:
    struct Telnet;

    [[nodiscard]] std::string server() const;
    /// Connects to the first address of the server that answers; the time
    /// the handshake took.
    Clock::Duration connect_to_server();
    /// Raw: the moment after connecting, in which a server that turns the
    /// connection away closes it, with a short notice or none. Throws
    /// LineDropped then; returns when the connection stays, or brings the
    /// line's bytes, which stay for read.
    void look_for_refusal(Clock::Duration handshake);
    /// After the connect timeout of connections turned away: PortBusy when
    /// the server's notice says "in use", else LineDropped.
    [[noreturn]] void throw_turned_away(std::string_view notice) const;
    void negotiate();
    void apply_settings(const LineSettings& settings);
    /// The four settings commands; forgets the answers to earlier ones.
    [[nodiscard]] std::string settings_request(const LineSettings& settings);
    /// Waits the connect timeout for the answers to the settings sent, then
    /// throws InvalidSettings for those missing or not taken.
    void await_settings(const LineSettings& settings);
    /// Whether the server answered all four settings by the deadline.
    [[nodiscard]] bool settings_answered(Clock::Instant deadline);
    /// Throws InvalidSettings when the server set other values than asked.
    void check_settings_taken(const LineSettings& settings) const;
    void require_open(std::string_view doing) const;
    /// Takes in what the network has delivered, without waiting: decodes it
    /// and answers the server's Telnet requests.
    void pump();
    /// Waits until more arrives or the deadline passes, then pumps.
    void wait_readable(Clock::Instant deadline);
    void send_raw(std::string_view bytes);
    [[noreturn]] void throw_closed() const;
    void close_port() noexcept;

    std::string word_;
    Protocol protocol_;
    std::string host_;
    std::string service_;
    std::chrono::milliseconds connect_timeout_;
    std::chrono::milliseconds write_timeout_;
    LineSettings settings_{};
    int fd_ = -1;
    bool closed_ = false;             ///< the server closed the connection
    std::string received_;            ///< data bytes not yet taken
    std::unique_ptr<Telnet> telnet_;  ///< rfc2217 only, while open
};

}  // namespace kdr
