#include <optional>
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

bool ends_frame(std::string_view bytes) noexcept {
    return bytes.size() >= 4 && bytes.back() == ETX && bytes[bytes.size() - 3] == CR;
}

std::optional<std::size_t> reply_frame_end(std::string_view text) noexcept {
    const std::size_t start = text.find(STX);
    if (start == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t end = text.find(ETX, start + 1);
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    return end + 1;
}

namespace {
constexpr std::size_t kClockLength = 6;

/// The letter told from the body's shape alone, for a frame whose password
/// is not known.
Request guess_request(std::string_view body) {
    Request request;
    const auto split = [&](char command, std::size_t data_length) {
        request.command = command;
        request.password = body.substr(0, body.size() - data_length - 1);
        request.data = body.substr(body.size() - data_length);
    };
    if (!body.empty() && body.front() == kConnect) {
        request.command = kConnect;
        request.password = body.substr(1);
        return request;
    }
    // The clock characters may end in "D" or "E" (second 52 or 53): the
    // clock requests are told first.
    const std::size_t clock_letter = body.size() - kClockLength - 1;
    if (body.size() >= kMinPasswordLength + 1 + kClockLength &&
        (body[clock_letter] == kSetClock || body[clock_letter] == kReadClock)) {
        split(body[clock_letter], kClockLength);
    } else if (body.size() > kMinPasswordLength &&
               (body.back() == kDownload || body.back() == kErase)) {
        split(body.back(), 0);
    } else {
        request.data = body;
    }
    return request;
}
}  // namespace

std::optional<Request> parse_request(std::string_view frame, std::string_view padded_password) {
    if (frame.empty() || frame.front() != STX || !ends_frame(frame)) {
        return std::nullopt;
    }
    const std::string_view body = frame.substr(1, frame.size() - 4);
    Request request;
    const std::string_view password = padded_password;
    if (!password.empty() && body.size() == password.size() + 1 && body.front() == kConnect &&
        body.substr(1) == password) {
        request.command = kConnect;
        request.password = password;
    } else if (!password.empty() && body.size() > password.size() && body.starts_with(password)) {
        request.command = body[password.size()];
        request.password = password;
        request.data = body.substr(password.size() + 1);
    } else {
        request = guess_request(body);
    }
    request.checksum_ok = frame[frame.size() - 2] == checksum_char(body);
    return request;
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
