#include <string>

#include "control/operation_scope.hpp"
#include "kdr/controller.hpp"
#include "kdr/protocol.hpp"
#include "link/waits.hpp"

namespace kdr {

Variant KDRController::EraseData() {
    using namespace std::chrono_literals;
    const OperationScope scope(*this);
    if (scope.refused()) {
        return {};
    }
    try {
        if (!CheckConnection(kEraseTitle, true)) {
            return {};
        }
        MSComm1->put_Output(
            protocol::build_frame(protocol::command_body(ConnectionPassword, protocol::kErase)));
        // The reader gives no sign of progress: the bar runs once as a short
        // animation while it erases. The port stays open afterwards.
        constexpr int kLastStep = 100;
        for (int step = 0; step <= kLastStep; ++step) {
            ProgressBar1->put_Value(static_cast<float>(step));
            link::yielding_wait(clock_, host_, clock_.now(), 3ms);
        }
        return {};
    } catch (const std::exception& error) {
        fail(error);
        throw;
    }
}

}  // namespace kdr
