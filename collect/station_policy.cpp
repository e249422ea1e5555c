#include "collect/station_policy.hpp"

#include <algorithm>
#include <utility>

namespace kdr::collect {

namespace {

using Duration = std::chrono::steady_clock::duration;

// A reader left in the cradle is read again no sooner than five times as long
// as its last download took: a full memory read back takes the line for a
// while, and the polls between keep swaps in sight.
Duration look_again(Duration took) {
    return std::max<Duration>(StationPolicy::kPoll, 5 * took);
}

}  // namespace

PollFound poll_failure(ErrorKind kind, bool network) noexcept {
    // A dropped line at a device server is the server gone; at a local port,
    // a reader taken out of a cradle that powers the line.
    if (kind == ErrorKind::LineDropped) {
        return network ? PollFound::PortFailed : PollFound::NoAnswer;
    }
    switch (error_class(kind)) {
        case ErrorClass::Password:
            return PollFound::Refused;
        case ErrorClass::Port:
            return PollFound::PortFailed;
        case ErrorClass::Line:
            return PollFound::Garbled;
        default:
            return PollFound::NoAnswer;
    }
}

Decision StationPolicy::wait(Time now) const {
    Decision decision;
    decision.wake = std::max(last_poll_ + kPoll, now);
    return decision;
}

Decision StationPolicy::polled(PollFound found, Time now) {
    last_poll_ = now;
    Decision decision = wait(now);
    if (found == PollFound::PortFailed) {
        if (!port_failed_) {
            decision.notices.push_back(Notice::PortFailed);
        }
        port_failed_ = true;
    } else if (port_failed_) {
        decision.notices.push_back(Notice::PortBack);
        port_failed_ = false;
    }
    if (found == PollFound::Garbled) {
        // Something is in the cradle; what it said was lost on the line.
        unanswered_ = 0;
        return decision;
    }
    // One poll that went unanswered is not yet a reader taken out: a busy
    // line or a slow reader miss one now and then. A port that failed shows
    // no reader either: one swapped in meanwhile is collected as new.
    if (found == PollFound::NoAnswer || found == PollFound::PortFailed) {
        if (++unanswered_ >= 2) {
            docked_.reset();
        }
        return decision;
    }
    unanswered_ = 0;
    if (!docked_) {
        docked_ = Docked{};
    }
    if (found == PollFound::Refused) {
        // A password that is wrong stays wrong until the station is started
        // with another: said once while the reader stays.
        if (!std::exchange(docked_->refusal_said, true)) {
            decision.notices.push_back(Notice::WrongPassword);
        }
        return decision;
    }
    // Due: a reader not yet tried, a try due again, a look at its header due.
    if (now < docked_->next) {
        return decision;
    }
    decision.what = Decision::Do::Download;
    return decision;
}

Decision StationPolicy::looked(const std::optional<Header>& header, Time began, Time now) {
    if (docked_ && docked_->done) {
        if (!header) {
            // No answer where a collected reader sat: most likely taken out
            // just now; the polls will tell.
            return wait(now);
        }
        if (header->machine_id == docked_->machine_id && header->announced == docked_->announced) {
            docked_->next = began + look_again(now - began);
            return wait(now);
        }
    }
    Decision decision;
    decision.what = Decision::Do::Store;
    return decision;
}

Decision StationPolicy::collected(const Collected& collect, Time began, Time now) {
    if (!docked_ || (!collect.machine_id.empty() && docked_->machine_id != collect.machine_id)) {
        // Another reader than the one the station knew: its own tries, and a
        // refusal of its own to say.
        docked_ = Docked{collect.machine_id};
    }
    Decision decision = wait(now);
    if (collect.succeeded) {
        docked_->done = true;
        docked_->failures = 0;
        docked_->announced = collect.erased ? 0 : collect.announced;
        docked_->next = now + (collect.erased ? Duration(kPoll) : look_again(now - began));
        return decision;
    }
    docked_->done = false;
    ++docked_->failures;
    const std::chrono::seconds back_off = std::min<std::chrono::seconds>(
        kPoll * (1 << std::min(docked_->failures - 1, 5)), kLongestBackOff);
    docked_->next = now + back_off;
    decision.retry = Retry{docked_->failures, back_off};
    return decision;
}

}  // namespace kdr::collect
