#include <string>

#include "kdr/controller.hpp"
#include "kdr/protocol.hpp"
#include "engine/waits.hpp"

namespace kdr {

bool KDRController::OpenPort() {
    try {
        if (MSComm1->get_PortOpen()) {
            MSComm1->put_PortOpen(false);
        }
        MSComm1->put_CommPort(CommPort);
        MSComm1->put_Settings(protocol::kLineSettings);
        MSComm1->put_PortOpen(true);
        port_open_failure_.reset();
        return true;
    } catch (const std::exception& error) {
        fail(error);
        port_open_failure_ = last_failure_;
        return false;
    }
}

void KDRController::ClosePort() {
    if (MSComm1->get_PortOpen()) {
        MSComm1->put_PortOpen(false);
    }
}

std::string KDRController::CollectReplyWindow() {
    // Five reads 0.05 s apart: the reply holds what the reader sent within
    // about 0.2 s of the request. The window is fixed; characters that come
    // later wait in the buffer until the next discard.
    using namespace std::chrono_literals;
    constexpr int kReads = 5;
    std::string reply;
    for (int read = 0; read < kReads; ++read) {
        reply += MSComm1->get_Input();
        WaitStart = clock_.now();
        engine::busy_wait(clock_, *WaitStart, 50ms);
    }
    return reply;
}

}  // namespace kdr
