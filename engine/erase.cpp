#include <string>

#include "kdr/engine.hpp"
#include "kdr/protocol.hpp"

namespace kdr::engine {

namespace {

[[nodiscard]] EraseReply judge_erase_reply(std::string_view reply) {
    if (reply.empty()) {
        return EraseReply::Silent;
    }
    if (reply.find(protocol::nak_reply()) != std::string_view::npos) {
        return EraseReply::Refused;
    }
    if (reply.find(protocol::ack_reply()) != std::string_view::npos) {
        return EraseReply::Acknowledged;
    }
    return EraseReply::Unrecognised;
}

}  // namespace

EraseOutcome Engine::erase(std::string_view padded_password) {
    using namespace std::chrono_literals;
    hold_.acquire();
    Line on = line();
    timing_.before_request(on, Request::Erase);
    port_.write(protocol::build_frame(protocol::command_body(padded_password, protocol::kErase)));
    // The reader takes a moment to erase; whatever it sends meanwhile tells
    // whether it took the request. The port stays held afterwards.
    const std::string reply =
        timing_.reply(on, Reply::Erase, [this](int step) { report(Stage::Erasing, step); });
    EraseOutcome outcome{judge_erase_reply(reply), {}};
    if (outcome.reply == EraseReply::Refused) {
        outcome.failure = {ErrorKind::Refused,
                           "The reader refused to erase its records.\r\n"
                           "They are still in the reader.",
                           std::nullopt};
    } else if (outcome.reply == EraseReply::Unrecognised) {
        outcome.failure = {ErrorKind::BadAnswer,
                           "The reader answered the erase request with something other than its "
                           "acknowledgement: download again to see whether its records are "
                           "still there.",
                           std::nullopt};
    }
    return outcome;
}

}  // namespace kdr::engine
