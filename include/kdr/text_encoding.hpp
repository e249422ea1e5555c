// The reader's 8-bit characters as UTF-8, and back. Readers send single
// bytes; what they mean is the station's choice. Every output and the store's
// text columns use the same decoders.
#pragma once

#include <string>
#include <string_view>

namespace kdr {

/// Windows-1252, as the Windows control shows the text on a Western system;
/// the five codes it leaves free keep their Latin-1 (C1 control) meaning.
[[nodiscard]] std::string cp1252_to_utf8(std::string_view text);
/// ISO 8859-1.
[[nodiscard]] std::string latin1_to_utf8(std::string_view text);
/// The reverse of cp1252_to_utf8 and latin1_to_utf8: a UTF-8 text as the
/// reader's 8-bit characters. Throws kdr::Error(InvalidArgument) naming the
/// first character the code page has no code for, or for a text that is no
/// valid UTF-8.
[[nodiscard]] std::string utf8_to_cp1252(std::string_view utf8);
[[nodiscard]] std::string utf8_to_latin1(std::string_view utf8);
/// Taken as UTF-8 already: valid sequences pass, any other byte becomes U+FFFD.
[[nodiscard]] std::string checked_utf8(std::string_view text);

/// The text without the spaces before and after it (a machine ID may be
/// padded either way).
[[nodiscard]] std::string_view trim_spaces(std::string_view text) noexcept;

}  // namespace kdr
