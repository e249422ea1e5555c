#include "kdr/text_encoding.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>

#include "kdr/error.hpp"

namespace kdr {

namespace {

void append_utf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6U));
        out += static_cast<char>(0x80 | (code & 0x3FU));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12U));
        out += static_cast<char>(0x80 | ((code >> 6U) & 0x3FU));
        out += static_cast<char>(0x80 | (code & 0x3FU));
    }
}

// Windows-1252 at 0x80 to 0x9F; the five codes it leaves free keep their
// Latin-1 (C1 control) meaning, as Windows converts them.
constexpr std::array<char32_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string from_single_byte(std::string_view text, bool cp1252) {
    std::string utf8;
    utf8.reserve(text.size());
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        append_utf8(utf8, cp1252 && code >= 0x80 && code < 0xA0 ? kCp1252High.at(code - 0x80U)
                                                                : char32_t{code});
    }
    return utf8;
}

// The code point of the UTF-8 sequence at text[at] and its length; nothing
// for a byte that begins no valid sequence (stray, overlong, a surrogate).
std::optional<std::pair<char32_t, std::size_t>> code_point_at(std::string_view text,
                                                              std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        length = 1;
    } else if ((lead & 0xE0U) == 0xC0) {
        length = 2;
        minimum = 0x80;
    } else if ((lead & 0xF0U) == 0xE0) {
        length = 3;
        minimum = 0x800;
    } else if ((lead & 0xF8U) == 0xF0) {
        length = 4;
        minimum = 0x10000;
    }
    bool valid = length > 0 && at + length <= text.size();
    char32_t code = length > 1 ? lead & (0x7FU >> length) : lead;
    for (std::size_t k = 1; valid && k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        valid = (next & 0xC0U) == 0x80;
        code = (code << 6U) | (next & 0x3FU);
    }
    valid = valid && code >= minimum && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    if (!valid) {
        return std::nullopt;
    }
    return std::pair{code, length};
}

std::string to_single_byte(std::string_view utf8, bool cp1252) {
    std::string bytes;
    bytes.reserve(utf8.size());
    std::size_t at = 0;
    while (at < utf8.size()) {
        const auto decoded = code_point_at(utf8, at);
        if (!decoded) {
            throw Error(ErrorKind::InvalidArgument,
                        fmt::format("the text is no valid UTF-8 (byte 0x{:02X} at {})",
                                    static_cast<unsigned char>(utf8[at]), at + 1));
        }
        const auto [code, length] = *decoded;
        std::optional<char> byte;
        if (code < 0x80 || (code <= 0xFF && !(cp1252 && code < 0xA0))) {
            byte = static_cast<char>(code);
        } else if (cp1252) {
            const auto* found = std::find(kCp1252High.begin(), kCp1252High.end(), code);
            if (found != kCp1252High.end()) {
                byte = static_cast<char>(0x80 + (found - kCp1252High.begin()));
            }
        }
        if (!byte) {
            throw Error(ErrorKind::InvalidArgument,
                        fmt::format("\"{}\" (U+{:04X}) is no character of {}",
                                    utf8.substr(at, length), static_cast<std::uint32_t>(code),
                                    cp1252 ? "Windows-1252" : "ISO 8859-1"));
        }
        bytes += *byte;
        at += length;
    }
    return bytes;
}

}  // namespace

std::string checked_utf8(std::string_view text) {
    std::string utf8;
    utf8.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (const auto decoded = code_point_at(text, i)) {
            utf8.append(text.substr(i, decoded->second));
            i += decoded->second;
        } else {
            utf8 += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return utf8;
}

std::string cp1252_to_utf8(std::string_view text) {
    return from_single_byte(text, true);
}

std::string latin1_to_utf8(std::string_view text) {
    return from_single_byte(text, false);
}

std::string utf8_to_cp1252(std::string_view utf8) {
    return to_single_byte(utf8, true);
}

std::string utf8_to_latin1(std::string_view utf8) {
    return to_single_byte(utf8, false);
}

std::string_view trim_spaces(std::string_view text) noexcept {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace kdr
