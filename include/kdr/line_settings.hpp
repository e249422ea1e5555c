// Serial line settings as the serial component takes them: the text
// "baud,parity,data bits,stop bits", for example "19200,n,8,1".
//
// Pure functions, no I/O: every platform's serial component parses its
// Settings text here and then decides which values its system can honour.
#pragma once

#include <string>
#include <string_view>

namespace kdr {

/// Stop bits after each character.
enum class StopBits { One, OnePointFive, Two };

/// The lowest and highest baud rates a settings text may name. A platform may
/// honour fewer rates than this range holds.
inline constexpr int kMinBaud = 50;
inline constexpr int kMaxBaud = 4'000'000;

/// One parsed settings text. The defaults are the reader's "19200,n,8,1".
struct LineSettings {
    int baud = 19200;   ///< kMinBaud to kMaxBaud
    char parity = 'n';  ///< 'n' none, 'e' even, 'o' odd, 'm' mark, 's' space
    int data_bits = 8;  ///< 5 to 8
    StopBits stop_bits = StopBits::One;
    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

/// Parses "baud,parity,data bits,stop bits". Blanks (spaces, tabs) around each
/// field are ignored; the parity letter may be upper or lower case; the stop
/// bits are "1", "1.5" or "2". Throws kdr::Error(InvalidSettings) naming the
/// field that is wrong and what it accepts, for any other text. Safe on any
/// input: no text makes it misbehave.
[[nodiscard]] LineSettings parse_line_settings(std::string_view text);

/// The settings as a text that parse_line_settings reads back unchanged:
/// "19200,n,8,1", "9600,e,7,1.5". The parity letter is lower case.
[[nodiscard]] std::string to_string(const LineSettings& settings);

/// "1", "1.5" or "2".
[[nodiscard]] std::string_view to_string(StopBits stop_bits) noexcept;

}  // namespace kdr
