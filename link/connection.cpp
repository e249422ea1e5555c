#include <fmt/format.h>

#include <string>

#include "control/operation_scope.hpp"
#include "kdr/controller.hpp"
#include "kdr/protocol.hpp"

namespace kdr {

namespace {
std::string describe_refusal(std::string_view reply) {
    if (reply == protocol::nak_reply()) {
        return "The reader refused the password.";
    }
    return fmt::format(
        "The reader's reply ({} characters) is not its acknowledgement: a wrong password, "
        "a garbled line or another device on the port.",
        reply.size());
}
}  // namespace

void KDRController::PwdSum(std::string& NewPwd, std::int32_t& CheckSum) {
    CheckSum = protocol::pad_password(NewPwd);
}

VariantBool KDRController::OpenKDR(const Variant& vPassword, Variant& vPort) {
    const OperationScope scope(*this);
    if (scope.refused()) {
        return kVariantFalse;
    }
    try {
        return OpenKDRExchange(vPassword, vPort);
    } catch (const std::exception& error) {
        // Conversion errors reach the caller; remember them as well.
        fail(error);
        throw;
    }
}

VariantBool KDRController::OpenKDRExchange(const Variant& vPassword, Variant& vPort) {
    std::string password = vPassword.to_text();
    CommPort = vPort.to_i2();
    std::int32_t sum = 0;
    PwdSum(password, sum);
    std::string body(1, protocol::kConnect);
    body += password;
    std::string request;
    request.reserve(body.size() + 4);
    request += protocol::STX;
    request += body;
    request += protocol::CR;
    request += protocol::checksum_char_for_sum(std::int64_t{sum} + protocol::kConnect);
    request += protocol::ETX;

    if (!OpenPort()) {
        return kVariantFalse;
    }
    try {
        MSComm1->put_InBufferCount(0);
        MSComm1->put_Output(request);
        const std::string reply = CollectReplyWindow();
        ClosePort();
        switch (protocol::test_reply(reply)) {
            case protocol::ReplyVerdict::NoAnswer:
                fail(ErrorKind::NoAnswer,
                     fmt::format("The reader did not answer on {}: check the cable and that "
                                 "the reader is switched on and ready for the host.",
                                 MSComm1->port_name()));
                return kVariantFalse;
            case protocol::ReplyVerdict::Refused:
                Opened = Variant::boolean(false);
                fail(ErrorKind::Refused, describe_refusal(reply));
                return kVariantFalse;
            case protocol::ReplyVerdict::Accepted:
                ConnectionPassword = password;
                Opened = Variant::boolean(true);
                ProgressBar1->put_Value(0.0F);
                return kVariantTrue;
        }
        return kVariantFalse;
    } catch (const std::exception& error) {
        // Once the port is open every failure counts as a lost connection; the
        // port stays as the failure left it, for the next open or CloseKDR.
        Opened = Variant::boolean(false);
        fail(error);
        return kVariantFalse;
    }
}

Variant KDRController::CloseKDR() {
    const OperationScope scope(*this);
    if (scope.refused()) {
        return {};
    }
    try {
        ClosePort();
    } catch (const std::exception& error) {
        fail(error);
        throw;
    }
    ConnectionPassword.assign(protocol::kMinPasswordLength, ' ');
    Opened = Variant::boolean(false);
    return {};
}

bool KDRController::CheckConnection(std::string_view title, bool full_check) {
    if (!Opened.to_bool()) {
        host_.MsgBox(kDeviceDidNotOpen, kMessageBoxInformation, title);
        if (full_check) {
            ProgressBar1->put_Value(0.0F);
        }
        fail(ErrorKind::NotConnected, "No connection with the reader is open: call OpenKDR first.");
        return false;
    }
    if (!full_check) {
        return true;
    }
    // The reader sees a fresh password exchange ahead of every download and
    // erase request.
    const Variant password(ConnectionPassword);
    Variant port(CommPort);
    const bool accepted = OpenKDRExchange(password, port) != kVariantFalse;
    if (!accepted) {
        host_.MsgBox(kCommunicationsFailed, kMessageBoxInformation, title);
        ProgressBar1->put_Value(0.0F);
        return false;
    }
    OpenPort();  // a port that fails to open shows at its first use
    return true;
}

}  // namespace kdr
