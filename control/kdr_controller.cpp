#include <fmt/format.h>

#include <string>
#include <utility>

#include "control/operation_scope.hpp"
#include "kdr/controller.hpp"
#include "kdr/protocol.hpp"

namespace kdr {

namespace {
template <typename Component>
Component& required(const std::unique_ptr<Component>& component) {
    if (!component) {
        throw Error(ErrorKind::InvalidArgument,
                    "KDRController needs a serial component and a progress bar");
    }
    return *component;
}
}  // namespace

KDRController::KDRController(PortOpener open_port, std::unique_ptr<ProgressBar> progress,
                             HostServices& host, Clock& clock)
    : MSComm1(std::make_unique<SerialComponent>(std::move(open_port))),
      ProgressBar1(std::move(progress)),
      host_(*this, host),
      clock_(clock),
      engine_(*MSComm1, clock, host_, bar_progress_, port_access_, timing_) {
    required(ProgressBar1);
    CommPort = 1;
    ConnectionPassword.assign(protocol::kMinPasswordLength, ' ');
    Opened = Variant::boolean(false);
    ShowMachineID = kVariantFalse;
    ShowRTC = Variant::boolean(false);
    AckReply = Variant(protocol::ack_reply());
    NakReply = protocol::nak_reply();
    // A new control shows a full bar until the first operation resets it.
    ProgressBar1->put_Max(100.0F);
    ProgressBar1->put_Value(100.0F);
}

KDRController::~KDRController() = default;

void KDRController::put_CommPort(const Variant& value) {
    CommPort = value.to_i2();
}

void KDRController::Resize(float inner_width, float inner_height) {
    ProgressBar1->put_Top(0.0F);
    ProgressBar1->put_Left(0.0F);
    ProgressBar1->put_Width(inner_width);
    ProgressBar1->put_Height(inner_height);
}

void KDRController::fail(ErrorKind kind, std::string description) {
    last_failure_ = Failure{kind, std::move(description), std::nullopt};
}

void KDRController::fail(const std::exception& error) {
    const auto* ours = dynamic_cast<const Error*>(&error);
    if (ours == nullptr) {
        fail(ErrorKind::IoError, error.what());
    } else if (ours->kind() == ErrorKind::PortNotOpen && port_open_failure_) {
        // The operation went on after its port failed to open; the open's
        // reason is the one that helps.
        last_failure_ = *port_open_failure_;
    } else {
        fail(ours->kind(), ours->what());
    }
}

void KDRController::ProgressStep() {
    const float value = ProgressBar1->get_Value();
    ProgressBar1->put_Value(value == 100.0F ? 0.0F : value + 1.0F);
}

void KDRController::BarProgress::on_progress(const engine::ProgressEvent& event) {
    ProgressBar& bar = *owner_.ProgressBar1;
    switch (event.stage) {
        case engine::Stage::Receiving:
            bar.put_Max(100.0F);
            bar.put_Value(0.0F);
            break;
        case engine::Stage::Arrived:
        case engine::Stage::RecordDecoded:
            owner_.ProgressStep();
            break;
        case engine::Stage::Received:
        case engine::Stage::Decoded:
            bar.put_Value(bar.get_Max());
            break;
        case engine::Stage::Decoding:
            bar.put_Value(0.0F);
            bar.put_Max(100.0F);
            break;
        case engine::Stage::Finished:
            bar.put_Value(0.0F);
            break;
        case engine::Stage::Erasing:
            bar.put_Value(static_cast<float>(event.step));
            break;
    }
}

void KDRController::GuardedHost::DoEvents() {
    Failure running_call = owner_.last_failure_;
    host_.DoEvents();
    owner_.last_failure_ = std::move(running_call);
}

}  // namespace kdr
