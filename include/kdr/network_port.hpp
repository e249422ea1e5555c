// The serial component over a network: a reader on a serial device server,
// reached by TCP. Linux and other POSIX systems.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kdr/line_settings.hpp"
#include "kdr/platform.hpp"

namespace kdr {

/// A serial port behind a device server, named by a port word:
///
/// - "tcp://HOST:PORT": a raw TCP connection; every byte is a byte of the
///   line. The server's own configuration decides the line settings, so
///   Settings are kept but not sent.
/// - "rfc2217://HOST:PORT": Telnet with the COM port control option (RFC
///   2217). Opening negotiates binary transmission both ways, suppressed
///   go-ahead and the option, then sets the baud rate, data bits, parity and
///   stop bits and reads back what the server set; Settings while open are
///   set the same way. Discarding the received characters (InBufferCount 0)
///   also asks the server to purge what it holds from the line.
///
/// HOST is a name, an IPv4 address or an IPv6 address in brackets
/// ("[::1]:7001"). port_name() is the word as given. Reads never wait:
/// InBufferCount and Input take what the network has delivered. Opening
/// waits at most the connect timeout for the server (and, for rfc2217, the
/// same again for its answers to the settings); Output waits at most the
/// write timeout for the connection to accept more.
///
/// Failures and their kinds:
/// - PortMissing: the server cannot be reached at all: nothing listens on
///   the port (connection refused), the host name is unknown, the host or
///   its network is unreachable, or the connection was not accepted within
///   the connect timeout. A station tells "server down" by this kind.
/// - LineDropped: the server closed the connection while the port was open
///   (what had arrived before is still handed over first).
/// - InvalidSettings: a settings text this port cannot send, or an rfc2217
///   server that refuses the option, answers with other settings than those
///   asked for, or does not answer them in time.
/// - IoError: any other failure of the network calls.
/// - PortNotOpen, InvalidArgument: as for every serial component.
class NetworkSerialPort final : public SerialPort {
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

    [[nodiscard]] std::int16_t get_CommPort() const override { return port_; }
    /// The number means nothing to a network port; it is kept. InvalidArgument
    /// while open.
    void put_CommPort(std::int16_t port) override;

    [[nodiscard]] std::string get_Settings() const override;
    void put_Settings(std::string_view settings) override;

    [[nodiscard]] bool get_PortOpen() const override { return fd_ >= 0; }
    void put_PortOpen(bool open) override;

    [[nodiscard]] int get_InBufferCount() override;
    void put_InBufferCount(int count) override;
    [[nodiscard]] std::string get_Input() override;
    void put_Output(std::string_view data) override;

    /// The word as given ("tcp://127.0.0.1:7001").
    [[nodiscard]] std::string port_name() const override { return word_; }
    [[nodiscard]] Protocol protocol() const noexcept { return protocol_; }

  private:
    struct Telnet;

    [[nodiscard]] std::string server() const;
    void connect_to_server();
    void negotiate();
    void apply_settings(const LineSettings& settings);
    void require_open(std::string_view property) const;
    /// Takes in what the network has delivered, without waiting: decodes it
    /// and answers the server's Telnet requests.
    void pump();
    /// Waits until more arrives or the deadline passes, then pumps.
    void wait_readable(std::chrono::steady_clock::time_point deadline);
    void send_raw(std::string_view bytes);
    [[noreturn]] void throw_closed() const;
    void close_port() noexcept;

    std::string word_;
    Protocol protocol_;
    std::string host_;
    std::string service_;
    std::chrono::milliseconds connect_timeout_;
    std::chrono::milliseconds write_timeout_;
    std::int16_t port_ = 1;
    LineSettings settings_{};
    int fd_ = -1;
    bool closed_ = false;             ///< the server closed the connection
    std::string received_;            ///< data bytes not yet taken
    std::unique_ptr<Telnet> telnet_;  ///< rfc2217 only, while open
};

}  // namespace kdr
