#include <string>

#include "control/operation_scope.hpp"
#include "kdr/controller.hpp"
#include "kdr/protocol.hpp"
#include "engine/waits.hpp"

namespace kdr {

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

Variant KDRController::EraseData() {
    static_cast<void>(EraseRecords());
    return {};
}

EraseReply KDRController::EraseRecords() {
    using namespace std::chrono_literals;
    const OperationScope scope(*this);
    if (scope.refused()) {
        return EraseReply::NotSent;
    }
    try {
        if (!CheckConnection(kEraseTitle, true)) {
            return EraseReply::NotSent;
        }
        MSComm1->put_Output(
            protocol::build_frame(protocol::command_body(ConnectionPassword, protocol::kErase)));
        // The bar runs once as a short animation while the reader erases;
        // whatever the reader sends meanwhile tells whether it took the
        // request. The port stays open afterwards.
        std::string reply;
        constexpr int kLastStep = 100;
        for (int step = 0; step <= kLastStep; ++step) {
            ProgressBar1->put_Value(static_cast<float>(step));
            engine::yielding_wait(clock_, host_, clock_.now(), 3ms);
            // A read on a line that hung up can return nothing and no error
            // (so does a serial driver under Wine, and some USB adapters'
            // once unplugged): asking the port's state fails there, as the
            // download's count of waiting characters does.
            static_cast<void>(MSComm1->get_InBufferCount());
            reply += MSComm1->get_Input();
        }
        const EraseReply verdict = judge_erase_reply(reply);
        if (verdict == EraseReply::Refused) {
            constexpr std::string_view kRefused =
                "The reader refused to erase its records.\r\n"
                "They are still in the reader.";
            host_.MsgBox(kRefused, kMessageBoxInformation, kEraseTitle);
            fail(ErrorKind::Refused, one_line(kRefused));
        } else if (verdict == EraseReply::Unrecognised) {
            fail(ErrorKind::BadAnswer,
                 "The reader answered the erase request with something other than its "
                 "acknowledgement: download again to see whether its records are still there.");
        }
        return verdict;
    } catch (const std::exception& error) {
        fail(error);
        throw;
    }
}

}  // namespace kdr
