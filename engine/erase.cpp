#include <string>

#include "engine/waits.hpp"
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
    port_.put_Output(
        protocol::build_frame(protocol::command_body(padded_password, protocol::kErase)));
    // The reader takes a moment to erase; whatever it sends meanwhile tells
    // whether it took the request. The port stays held afterwards.
    std::string reply;
    constexpr int kLastStep = 100;
    for (int step = 0; step <= kLastStep; ++step) {
        report(Stage::Erasing, step);
        yielding_wait(clock_, host_, clock_.now(), 3ms);
        // A read on a line that hung up can return nothing and no error (so
        // does a serial driver under Wine, and some USB adapters' once
        // unplugged): asking the port's state fails there.
        static_cast<void>(port_.get_InBufferCount());
        reply += port_.get_Input();
    }
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
