#include <string>
#include <string_view>

#include "kdr/protocol.hpp"

namespace kdr::protocol {

namespace {
constexpr int kCodeOfCR = 13;

int code_of(char c) noexcept {
    return static_cast<unsigned char>(c);
}
}  // namespace

int sum_mod128(std::string_view text) noexcept {
    int sum = 0;
    for (const char c : text) {
        sum = (sum + code_of(c)) & 127;
    }
    return sum;
}

char checksum_char_for_sum(std::int64_t body_sum) noexcept {
    // Reduced before the CR is added, so that no sum can overflow.
    return static_cast<char>(((body_sum % 128 + kCodeOfCR) & 127) | 32);
}

char checksum_char(std::string_view body) noexcept {
    return checksum_char_for_sum(sum_mod128(body));
}

std::string build_frame(std::string_view body) {
    std::string frame;
    frame.reserve(body.size() + 4);
    frame += STX;
    frame += body;
    frame += CR;
    frame += checksum_char(body);
    frame += ETX;
    return frame;
}

std::int32_t pad_password(std::string& password) {
    if (password.empty()) {
        // The sum of eight spaces, left unreduced: 256 is 0 modulo 128, so the
        // frame's checksum is the same as for eight typed spaces.
        password.assign(kMinPasswordLength, ' ');
        return 256;
    }
    if (password.size() < kMinPasswordLength) {
        password.resize(kMinPasswordLength, ' ');
    }
    return sum_mod128(password);
}

std::string command_body(std::string_view padded_password, char letter, std::string_view data) {
    std::string body;
    body.reserve(padded_password.size() + 1 + data.size());
    body += padded_password;
    body += letter;
    body += data;
    return body;
}

std::string ack_reply() {
    return build_frame(std::string_view(&ACK, 1));
}
std::string nak_reply() {
    return build_frame(std::string_view(&NAK, 1));
}

ReplyVerdict test_reply(std::string_view reply) noexcept {
    if (reply.size() < 2) {
        return ReplyVerdict::NoAnswer;
    }
    constexpr char kAck[] = {STX, ACK, CR, '3', ETX};
    return reply == std::string_view(kAck, sizeof kAck) ? ReplyVerdict::Accepted
                                                        : ReplyVerdict::Refused;
}

namespace {
constexpr int kClockOffset = 16;

char clock_char(int value) noexcept {
    return static_cast<char>(value + kClockOffset);
}
int clock_value(char c) noexcept {
    return code_of(c) - kClockOffset;
}
}  // namespace

std::string encode_clock(const LocalDateTime& when) {
    return {clock_char(when.year % 100), clock_char(when.month),  clock_char(when.day),
            clock_char(when.hour),       clock_char(when.minute), clock_char(when.second)};
}

LocalDateTime decode_clock(std::string_view six_chars) {
    LocalDateTime when;
    when.year = 2000 + clock_value(six_chars.at(0));
    when.month = clock_value(six_chars.at(1));
    when.day = clock_value(six_chars.at(2));
    when.hour = clock_value(six_chars.at(3));
    when.minute = clock_value(six_chars.at(4));
    when.second = clock_value(six_chars.at(5));
    return when;
}

}  // namespace kdr::protocol
