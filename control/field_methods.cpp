#include <string>

#include "kdr/controller.hpp"
#include "protocol/timestamp_fields.hpp"

namespace kdr {

void KDRController::SetDeaultYMDtime(std::int32_t& i, std::string& TempTimeStr,
                                     std::string& TimeStr, std::string& ReceiveStr) {
    protocol::set_default_ymd_time(i, TempTimeStr, TimeStr, ReceiveStr, host_.Now().year);
}

void KDRController::SetDeaultHMStime(std::int32_t& i, std::string& TempTimeStr,
                                     std::string& TimeStr, std::string& ReceiveStr) {
    protocol::set_default_hms_time(i, TempTimeStr, TimeStr, ReceiveStr);
}

}  // namespace kdr
