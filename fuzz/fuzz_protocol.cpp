// The reply test and the frame functions on any bytes.
//
// Input: the whole input is a reply, a frame body and a password; its first
// eight bytes are also a checksum sum and its first six a clock text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "kdr/protocol.hpp"

namespace {

using kdr::fuzz::check;
namespace protocol = kdr::protocol;

std::int64_t byte_sum(std::string_view text) {
    std::int64_t sum = 0;
    for (const char c : text) {
        sum += static_cast<unsigned char>(c);
    }
    return sum;
}

bool is_checksum_char(char c) {
    const int code = static_cast<unsigned char>(c);
    return code >= 32 && code <= 127;
}

void check_reply_test(std::string_view reply) {
    const auto verdict = protocol::test_reply(reply);
    if (reply.size() < 2) {
        check(verdict == protocol::ReplyVerdict::NoAnswer, "short reply is no answer");
    } else if (reply == protocol::ack_reply()) {
        check(verdict == protocol::ReplyVerdict::Accepted, "the acknowledgement is accepted");
    } else {
        check(verdict == protocol::ReplyVerdict::Refused, "anything else is refused");
    }
}

void check_frame(std::string_view body) {
    const std::string frame = protocol::build_frame(body);
    check(frame.size() == body.size() + 4, "frame length");
    check(frame.front() == protocol::STX && frame.back() == protocol::ETX, "frame ends");
    check(std::string_view(frame).substr(1, body.size()) == body, "frame body");
    check(frame[body.size() + 1] == protocol::CR, "CR after the body");
    const char checksum = frame[body.size() + 2];
    check(is_checksum_char(checksum), "checksum printable");
    check(checksum == static_cast<char>(((byte_sum(body) + 13) & 127) | 32), "checksum rule");
    check(protocol::sum_mod128(body) == byte_sum(body) % 128, "sum modulo 128");
    check((protocol::test_reply(frame) == protocol::ReplyVerdict::Accepted) ==
              (body == std::string_view("\x06", 1)),
          "only the ACK frame is accepted");
}

void check_password(std::string_view typed) {
    std::string padded(typed);
    const std::int32_t sum = protocol::pad_password(padded);
    check(padded.size() >= protocol::kMinPasswordLength && padded.size() >= typed.size(),
          "padded length");
    check(std::string_view(padded).substr(0, typed.size()) == typed, "typed part kept");
    check(padded.find_first_not_of(' ', typed.size()) == std::string::npos, "padded with spaces");
    check(sum == (typed.empty() ? 256 : byte_sum(padded) % 128), "password sum");
    const std::string body = protocol::command_body(padded, protocol::kDownload, typed);
    check(body == padded + protocol::kDownload + std::string(typed), "command body");
}

void check_clock(std::string_view six) {
    const kdr::LocalDateTime when = protocol::decode_clock(six);
    const int year_code = static_cast<unsigned char>(six[0]);
    // Two year digits go on the line: any other field's value comes back.
    if (year_code >= 16 && year_code < 116) {
        check(protocol::encode_clock(when) == six, "clock characters round trip");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    check_reply_test(bytes);
    check_frame(bytes);
    check_password(bytes);
    if (size >= 8) {
        std::uint64_t raw = 0;
        std::memcpy(&raw, data, sizeof raw);
        const auto sum = static_cast<std::int64_t>(raw >> 1U);  // any non-negative sum
        const char c = protocol::checksum_char_for_sum(sum);
        check(is_checksum_char(c), "checksum of any sum printable");
        check(c == protocol::checksum_char_for_sum(sum % 128), "only the sum modulo 128 counts");
    }
    if (size >= 6) {
        check_clock(bytes.substr(0, 6));
    }
    return 0;
}
