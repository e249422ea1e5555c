// The reader's wire protocol as pure functions over bytes: frames, checksum,
// password padding, reply test and the six-character clock encoding, and the
// reader's own timing as facts for the timing policies to listen by.
// Nothing here does I/O or reads a clock; the reader simulator uses the same
// functions for the reader's side of the line.
#pragma once

#include <chrono>
#include <cstddef>
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

// The reader's timing: how soon it answers, how long its answer may pause,
// what it needs between two requests. Both timing policies take these from
// here, the control's fixed windows and the Linux faces' line timing alike.

/// A reply to the password or to a new time begins within this of the
/// request.
inline constexpr std::chrono::milliseconds kReplyWindow{250};
/// While it erases, the reader may take this long before its reply begins.
inline constexpr std::chrono::milliseconds kEraseReplyWindow{350};
/// The answer to a download never pauses this long: a silence this long after
/// the last character ends it (and the rest of an answer to an interrupted
/// request).
inline constexpr std::chrono::milliseconds kAnswerSilence{300};
/// After it has acknowledged a new time, the reader needs this long before it
/// is asked for its clock.
inline constexpr std::chrono::seconds kReadBackPause{1};
/// The reader sends its clock back within this of the read-back request.
inline constexpr std::chrono::seconds kClockReplyLimit{3};

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

/// A request as the reader receives it.
struct Request {
    /// The command letter (kConnect, kDownload, ...); '?' when it cannot be told.
    char command = '?';
    /// The password as it stands on the line, padded; empty when the command
    /// cannot be told.
    std::string password;
    /// What follows the letter (the six clock characters of "T" and "R");
    /// the whole body when the command cannot be told.
    std::string data;
    /// The checksum character matches the body.
    bool checksum_ok = false;
};

/// true when `bytes`, read from an STX on, end with a frame's end: CR, a
/// checksum character, ETX. No checksum character is below 32, so CR,
/// anything, ETX can only end a frame.
[[nodiscard]] bool ends_frame(std::string_view bytes) noexcept;

/// Where the first whole reply frame in `text` ends: one past the first ETX
/// that follows the first STX; nullopt while no ETX has followed an STX. A
/// reply is in once its frame is: whatever its body, judging it is
/// test_reply's part, waiting longer would not mend it.
[[nodiscard]] std::optional<std::size_t> reply_frame_end(std::string_view text) noexcept;

/// Parses one whole request, STX to ETX; nullopt for bytes that are no frame.
///
/// The connection request is "P" and the password; the others are the
/// password, the letter and its data. The password on the line has no
/// delimiter, so where the reader's padded password is given, a body that is
/// "P" and that password is the connection request, and a body that starts
/// with it has its letter right after it. Otherwise (no password given, or a
/// frame with another one) the letter is told from the body's shape: "P"
/// first is the connection request, "T" or "R" before six final characters a
/// clock request, "D" or "E" last a request without data.
[[nodiscard]] std::optional<Request> parse_request(std::string_view frame,
                                                   std::string_view padded_password = {});

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
