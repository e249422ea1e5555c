// Guards the controller against a call made from the host's message loop while
// another call is still exchanging frames with the reader: the nested call
// returns its failure value at once and sends nothing.
#pragma once

#include "kdr/controller.hpp"

namespace kdr {

class KDRController::OperationScope {
  public:
    explicit OperationScope(KDRController& owner)
        : owner_(owner), refused_(owner.operation_running_) {
        if (refused_) {
            owner_.fail(ErrorKind::OperationInProgress,
                        "Another call of this controller is still working with the reader; "
                        "call again when it has returned.");
        } else {
            owner_.operation_running_ = true;
            owner_.last_failure_ = {};
        }
    }
    ~OperationScope() {
        if (!refused_) {
            owner_.operation_running_ = false;
        }
    }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

    /// True when another call is running and this one must return at once.
    [[nodiscard]] bool refused() const noexcept { return refused_; }

  private:
    KDRController& owner_;
    bool refused_;
};

}  // namespace kdr
