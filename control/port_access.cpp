#include <string>

#include "kdr/controller.hpp"
#include "kdr/protocol.hpp"

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

}  // namespace kdr
