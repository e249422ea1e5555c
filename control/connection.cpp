#include <string>

#include "control/operation_scope.hpp"
#include "kdr/controller.hpp"
#include "kdr/protocol.hpp"

namespace kdr {

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

    if (!OpenPort()) {
        return kVariantFalse;
    }
    try {
        Failure refusal = engine_.connect(password);
        if (!refusal) {
            ConnectionPassword = password;
            Opened = Variant::boolean(true);
            ProgressBar1->put_Value(0.0F);
            return kVariantTrue;
        }
        // A silent reader leaves the connection as it was; one that answers
        // otherwise than with its acknowledgement ends it.
        if (refusal.kind != ErrorKind::NoAnswer) {
            Opened = Variant::boolean(false);
        }
        last_failure_ = std::move(refusal);
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
    return true;
}

}  // namespace kdr
