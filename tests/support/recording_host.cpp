#include "recording_host.hpp"

#include <chrono>

namespace kdr::testing {

void RecordingHost::MsgBox(std::string_view text, int style,
                           std::optional<std::string_view> title) {
    messages.push_back(ShownMessage{std::string(text), style,
                                    title ? std::optional<std::string>(*title) : std::nullopt});
}

void RecordingHost::DoEvents() {
    ++do_events_calls;
    if (on_do_events_) {
        on_do_events_();
    }
}

void RecordingHost::set_local_time(LocalDateTime start) {
    start_ = start;
    start_offset_ = clock_.elapsed();
}

LocalDateTime RecordingHost::Now() {
    using namespace std::chrono;
    const auto date = sys_days{year{start_.year} / month{static_cast<unsigned>(start_.month)} /
                               day{static_cast<unsigned>(start_.day)}};
    const auto at = date + hours{start_.hour} + minutes{start_.minute} + seconds{start_.second} +
                    duration_cast<seconds>(clock_.elapsed() - start_offset_);
    const auto day_start = floor<days>(at);
    const year_month_day ymd{day_start};
    const hh_mm_ss time{at - day_start};
    return LocalDateTime{static_cast<int>(ymd.year()),
                         static_cast<int>(static_cast<unsigned>(ymd.month())),
                         static_cast<int>(static_cast<unsigned>(ymd.day())),
                         static_cast<int>(time.hours().count()),
                         static_cast<int>(time.minutes().count()),
                         static_cast<int>(time.seconds().count())};
}

}  // namespace kdr::testing
