// The reader's 8-bit characters as UTF-8. Readers send single bytes; what
// they mean is the station's choice. Every output and the store's text
// columns use the same decoders.
#pragma once

#include <string>
#include <string_view>

namespace kdr {

/// Windows-1252, as the Windows control shows the text on a Western system;
/// the five codes it leaves free keep their Latin-1 (C1 control) meaning.
[[nodiscard]] std::string cp1252_to_utf8(std::string_view text);
/// ISO 8859-1.
[[nodiscard]] std::string latin1_to_utf8(std::string_view text);
/// Taken as UTF-8 already: valid sequences pass, any other byte becomes U+FFFD.
[[nodiscard]] std::string checked_utf8(std::string_view text);

/// The text without the spaces before and after it (a machine ID may be
/// padded either way).
[[nodiscard]] std::string_view trim_spaces(std::string_view text) noexcept;

}  // namespace kdr
