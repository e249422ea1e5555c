#include <fmt/format.h>
#include <time.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "kdr/error.hpp"
#include "kdr/posix_platform.hpp"

namespace kdr {

ConsoleHost::ConsoleHost(std::ostream& out, std::function<void()> on_do_events)
    : out_(out), on_do_events_(std::move(on_do_events)) {}

void ConsoleHost::MsgBox(std::string_view text, int /*style*/,
                         std::optional<std::string_view> title) {
    std::string line;
    if (title && !title->empty()) {
        line.append(*title).append(": ");
    }
    // Message texts separate their lines with CR LF; a terminal wants LF
    // alone, and a bare CR would make the next line overwrite this one.
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            line += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else {
            line += text[i];
        }
    }
    line += '\n';
    out_ << line << std::flush;
}

void ConsoleHost::DoEvents() {
    if (on_do_events_) {
        on_do_events_();
    }
}

LocalDateTime ConsoleHost::Now() {
    const time_t now = ::time(nullptr);
    tm local{};
    if (now == static_cast<time_t>(-1) || ::localtime_r(&now, &local) == nullptr) {
        throw Error(ErrorKind::IoError,
                    fmt::format("cannot read the local date and time: {}",
                                std::error_code(errno, std::generic_category()).message()));
    }
    LocalDateTime result;
    result.year = local.tm_year + 1900;
    result.month = local.tm_mon + 1;
    result.day = local.tm_mday;
    result.hour = local.tm_hour;
    result.minute = local.tm_min;
    result.second = local.tm_sec > 59 ? 59 : local.tm_sec;
    return result;
}

}  // namespace kdr
