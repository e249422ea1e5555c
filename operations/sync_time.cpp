#include <fmt/format.h>

#include <algorithm>
#include <string>

#include "control/operation_scope.hpp"
#include "kdr/controller.hpp"
#include "kdr/protocol.hpp"
#include "link/waits.hpp"

namespace kdr {

VariantBool KDRController::SyncUpHostTime() {
    using namespace std::chrono_literals;
    const OperationScope scope(*this);
    if (scope.refused()) {
        return kVariantFalse;
    }
    try {
        if (!CheckConnection(kSyncTitle, false)) {
            return kVariantFalse;
        }
        // The host clock is read once for all six characters: fields read one by
        // one could mix two moments (23:59:59 and then the next day's date).
        const std::string clock_chars = protocol::encode_clock(host_.Now());
        const auto request = [&](char letter) {
            return protocol::build_frame(
                protocol::command_body(ConnectionPassword, letter, clock_chars));
        };

        OpenPort();  // a port that fails to open shows at its first use
        MSComm1->put_Output(request(protocol::kSetClock));
        link::yielding_wait(clock_, host_, clock_.now(), 300ms);
        const std::string reply = MSComm1->get_Input();
        switch (protocol::test_reply(reply)) {
            case protocol::ReplyVerdict::NoAnswer:
                host_.MsgBox(kCommunicationsFailed, kMessageBoxInformation, std::nullopt);
                fail(ErrorKind::NoAnswer,
                     fmt::format("The reader did not acknowledge the new time on port {}.",
                                 CommPort));
                return kVariantFalse;
            case protocol::ReplyVerdict::Refused:
                ClosePort();
                fail(ErrorKind::Refused, "The reader refused the new time.");
                return kVariantFalse;
            case protocol::ReplyVerdict::Accepted:
                break;
        }

        link::busy_wait(clock_, clock_.now(), 1s);
        MSComm1->put_Output(request(protocol::kReadClock));
        const auto start = clock_.now();
        constexpr int kClockReplyLength = 10;
        constexpr auto kPollInterval = 1ms;
        constexpr auto kClockReplyTimeout = 3s;
        while (MSComm1->get_InBufferCount() < kClockReplyLength) {
            const auto now = clock_.now();
            if (now - start > kClockReplyTimeout) {
                host_.MsgBox(kCommunicationsFailed, kMessageBoxInformation, std::nullopt);
                ClosePort();
                fail(ErrorKind::NoAnswer,
                     "The reader acknowledged the new time but did not send its clock back.");
                return kVariantFalse;
            }
            clock_.sleep_until(std::min(now + kPollInterval, start + kClockReplyTimeout + 1ns));
        }
        // Characters 2 to 7 of the reply carry the reader's clock.
        const std::string clock_reply = MSComm1->get_Input();
        const LocalDateTime reader =
            protocol::decode_clock(std::string_view(clock_reply).substr(1, 6));
        const LocalDateTime host = host_.Now();
        if (reader.year != host.year || reader.month != host.month || reader.day != host.day) {
            ClosePort();
            fail(ErrorKind::BadAnswer,
                 fmt::format("The reader's clock reads {:04}/{:02}/{:02} after setting, not the "
                             "host's date {:04}/{:02}/{:02}.",
                             reader.year, reader.month, reader.day, host.year, host.month,
                             host.day));
            return kVariantFalse;
        }
        // The reader's own limits: 24 for the hour, 60 for minutes and seconds.
        if (reader.second > 60 || reader.minute > 60 || reader.hour > 24) {
            ClosePort();
            fail(ErrorKind::BadAnswer,
                 fmt::format("The reader's clock reads an impossible time ({}:{}:{}).", reader.hour,
                             reader.minute, reader.second));
            return kVariantFalse;
        }
        ClosePort();
        return kVariantTrue;
    } catch (const std::exception& error) {
        fail(error);
        throw;
    }
}

}  // namespace kdr
