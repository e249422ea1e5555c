#include "platform/telnet.hpp"

namespace kdr::platform::telnet {

std::string escape(std::string_view data) {
    std::string out;
    out.reserve(data.size());
    for (const char c : data) {
        out += c;
        if (static_cast<unsigned char>(c) == kIac) {
            out += c;
        }
    }
    return out;
}

std::string negotiation(unsigned char verb, unsigned char option) {
    return {static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

std::string subnegotiation(unsigned char option, std::string_view payload) {
    std::string out{static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(option)};
    out += escape(payload);
    out += static_cast<char>(kIac);
    out += static_cast<char>(kSe);
    return out;
}

void Decoder::feed(std::string_view bytes, std::string& data, std::vector<Command>& commands) {
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (state_) {
            case State::Data:
                if (byte == kIac) {
                    state_ = State::Iac;
                } else {
                    data += c;
                }
                break;
            case State::Iac:
                if (byte == kIac) {
                    data += c;
                    state_ = State::Data;
                } else if (byte >= kWill && byte <= kDont) {
                    verb_ = byte;
                    state_ = State::Verb;
                } else if (byte == kSb) {
                    sub_.clear();
                    state_ = State::Sub;
                } else {
                    state_ = State::Data;  // NOP, GA and the like
                }
                break;
            case State::Verb:
                commands.push_back(Command{verb_, byte, {}});
                state_ = State::Data;
                break;
            case State::Sub:
                if (byte == kIac) {
                    state_ = State::SubIac;
                } else {
                    sub_ += c;
                }
                break;
            case State::SubIac:
                if (byte == kIac) {
                    sub_ += c;
                    state_ = State::Sub;
                    break;
                }
                // IAC SE ends it; any other command inside a subnegotiation
                // is a broken peer's, and ends it too rather than swallow
                // the data that follows.
                if (!sub_.empty()) {
                    commands.push_back(
                        Command{kSb, static_cast<unsigned char>(sub_.front()), sub_.substr(1)});
                }
                sub_.clear();
                state_ = State::Data;
                break;
        }
    }
}

}  // namespace kdr::platform::telnet
