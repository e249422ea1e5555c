// The reader's wire protocol as pure functions over bytes: frames, checksum,
// password padding, reply test and the six-character clock encoding.
// Nothing here does I/O; the reader simulator uses the same functions for the
// reader's side of the line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kdr/time.hpp"

namespace kdr::protocol {

inline constexpr char STX = '\x02';
inline constexpr char ETX = '\x03';
inline constexpr char ACK = '\x06';
inline constexpr char NAK = '\x15';
inline constexpr char CR = '\r';
inline constexpr char LF = '\n';

/// Command letters.
inline constexpr char kConnect = 'P';
inline constexpr char kDownload = 'D';
inline constexpr char kSetClock = 'T';
inline constexpr char kReadClock = 'R';
inline constexpr char kErase = 'E';

/// A password on the line has at least this many characters.
inline constexpr std::size_t kMinPasswordLength = 8;

/// The line settings of the reader.
inline constexpr std::string_view kLineSettings = "19200,n,8,1";

/// Sum of the character codes (0 to 255) of a text, reduced modulo 128.
[[nodiscard]] int sum_mod128(std::string_view text) noexcept;

/// The checksum character for a body sum: ((sum + 13) And 127) Or 32, 13 being
/// the CR that closes the body. Works for any non-negative sum.
[[nodiscard]] char checksum_char_for_sum(std::int64_t body_sum) noexcept;

/// The checksum character of a body.
[[nodiscard]] char checksum_char(std::string_view body) noexcept;

/// STX, body, CR, checksum character, ETX.
[[nodiscard]] std::string build_frame(std::string_view body);

/// The padding and sum the controller's PwdSum makes: an empty password becomes
/// eight spaces with the sum 256; a shorter one is padded with spaces to eight
/// characters; a longer one is left whole. The sum is the codes of the padded
/// password modulo 128 (256 for the empty password). Any length is accepted.
[[nodiscard]] std::int32_t pad_password(std::string& password);

/// The body of a request after the connection request: password, letter, data.
[[nodiscard]] std::string command_body(std::string_view padded_password, char letter,
                                       std::string_view data = {});

/// The reader's acknowledgement reply: STX, ACK, CR, "3", ETX.
[[nodiscard]] std::string ack_reply();
/// The reader's refusal reply: STX, NAK, CR, '"', ETX.
[[nodiscard]] std::string nak_reply();

enum class ReplyVerdict { NoAnswer, Accepted, Refused };

/// A reply of fewer than two characters is no answer; one that is exactly the
/// acknowledgement frame is accepted; anything else is a refusal.
[[nodiscard]] ReplyVerdict test_reply(std::string_view reply) noexcept;

/// Six characters: year of the century, month, day, hour, minute, second, each
/// as its value plus 16.
[[nodiscard]] std::string encode_clock(const LocalDateTime& when);

/// Decodes six clock characters; the year becomes 2000 plus its value. Fields
/// are not range-checked (a character below 16 gives a negative field).
[[nodiscard]] LocalDateTime decode_clock(std::string_view six_chars);

}  // namespace kdr::protocol
