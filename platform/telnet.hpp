// The Telnet layer of a network serial port: data bytes and the commands
// mixed into them, taken apart and put together. Pure, no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kdr::platform::telnet {

inline constexpr unsigned char kIac = 255;
inline constexpr unsigned char kDont = 254;
inline constexpr unsigned char kDo = 253;
inline constexpr unsigned char kWont = 252;
inline constexpr unsigned char kWill = 251;
inline constexpr unsigned char kSb = 250;
inline constexpr unsigned char kSe = 240;

inline constexpr unsigned char kBinary = 0;
inline constexpr unsigned char kSuppressGoAhead = 3;
inline constexpr unsigned char kComPort = 44;

/// One command the peer sent: an option verb (kWill, kWont, kDo, kDont) with
/// its option, or a subnegotiation (kSb) whose option is its first byte and
/// whose payload is the rest, IAC doubling undone. Other commands (NOP, GA,
/// ...) carry no meaning here and are dropped.
struct Command {
    unsigned char verb = 0;
    unsigned char option = 0;
    std::string payload;
    friend bool operator==(const Command&, const Command&) = default;
};

/// The data with every IAC byte doubled, as Telnet sends data.
[[nodiscard]] std::string escape(std::string_view data);

/// `IAC verb option`.
[[nodiscard]] std::string negotiation(unsigned char verb, unsigned char option);
/// `IAC SB option payload IAC SE`, IAC bytes of the payload doubled.
[[nodiscard]] std::string subnegotiation(unsigned char option, std::string_view payload);

/// Takes a received byte stream apart into data and commands. A command may
/// arrive split across any number of feeds: its start is kept until its end
/// arrives.
class Decoder {
  public:
    /// Appends the data bytes of `bytes` to `data` and its complete commands
    /// to `commands`.
    void feed(std::string_view bytes, std::string& data, std::vector<Command>& commands);

  private:
    enum class State : std::uint8_t { Data, Iac, Verb, Sub, SubIac };
    State state_ = State::Data;
    unsigned char verb_ = 0;
    std::string sub_;
};

}  // namespace kdr::platform::telnet
