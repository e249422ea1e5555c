#include "kdr/engine.hpp"

#include <fmt/format.h>

#include <string>

#include "kdr/protocol.hpp"

namespace kdr::engine {

namespace {

// The reader refuses with its refusal frame; any other reply was garbled on
// the line (or came from another device): no refusal of the password.
Failure refusal_or_garbled(std::string_view reply, const std::string& port) {
    if (reply == protocol::nak_reply()) {
        return {ErrorKind::Refused, fmt::format("The reader on {} refused the password.", port),
                std::nullopt};
    }
    return {ErrorKind::BadAnswer,
            fmt::format("The reader's reply on {} ({} characters) is neither its acknowledgement "
                        "nor its refusal: a garbled line or another device on the port.",
                        port, reply.size()),
            std::nullopt};
}

}  // namespace

void Engine::report(Stage stage, int step) {
    progress_.on_progress(ProgressEvent{stage, download_progress_, step});
}

void Engine::settle(Clock::Duration limit) {
    Line on = line();
    timing_.settle(on, limit);
}

Failure Engine::connect(std::string_view padded_password) {
    std::string body(1, protocol::kConnect);
    body += padded_password;
    Line on = line();
    timing_.before_request(on, Request::Connect);
    port_.write(protocol::build_frame(body));
    const std::string reply = timing_.reply(on, Reply::Password, {});
    hold_.release();
    switch (protocol::test_reply(reply)) {
        case protocol::ReplyVerdict::NoAnswer:
            return {ErrorKind::NoAnswer,
                    fmt::format("The reader did not answer on {}: check the cable and that the "
                                "reader is switched on and ready for the host.",
                                port_.name()),
                    std::nullopt};
        case protocol::ReplyVerdict::Refused:
            return refusal_or_garbled(reply, port_.name());
        case protocol::ReplyVerdict::Accepted:
            break;
    }
    return {};
}

}  // namespace kdr::engine
