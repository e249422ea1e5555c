#include "collect/station.hpp"

#include <fmt/format.h>

#include <utility>

namespace kdr::collect {

namespace {

// Why a port cannot be used, in the word the store keeps for it.
std::string port_failure_word(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::PortMissing:
            return "missing";
        case ErrorKind::PortBusy:
            return "busy";
        default:
            return "unusable";
    }
}

}  // namespace

std::string station_line(const CollectResult& result, const std::optional<Retry>& retry) {
    std::string line = describe(result);  // not const: returned by moving
    if (!retry) {
        return line;
    }
    return fmt::format("{} (try {}; again in {} s while it stays)", line, retry->tries,
                       retry->again.count());
}

std::string notice_line(Notice notice, const StationSettings& settings, std::string_view why) {
    switch (notice) {
        case Notice::PortFailed:
            return fmt::format("{}; retrying every {} s, said again when it works", why,
                               StationPolicy::kPoll.count());
        case Notice::PortBack:
            return fmt::format("{} works again", settings.port);
        case Notice::WrongPassword:
            return fmt::format(
                "the reader on {} refuses the password{}: nothing is collected from it; start "
                "the station with the readers' password (--password, --password-file or "
                "KDR_PASSWORD; a service's is in /etc/kdr/password)",
                settings.port, settings.password_given ? "" : " (none was given)");
    }
    return {};
}

Station::Station(StationIo& io, StationSettings settings)
    : io_(io), settings_(std::move(settings)), stop_([&io] { return io.stop_requested(); }) {}

void Station::run() {
    io_.say(fmt::format("watching {} every {} s; Ctrl-C ends", settings_.port,
                        StationPolicy::kPoll.count()),
            false);
    try {
        while (!io_.stop_requested()) {
            io_.sleep_until(step().wake);
        }
    } catch (const StopRequested&) {
        // Said where it was caught in the middle of something.
    }
    io_.say("stopped", false);
}

void Station::note_port(const Poll& poll) {
    // A reader that does not answer leaves the port reachable: only a port
    // that cannot be used is unreachable.
    const bool reachable = poll.reader || error_class(poll.failure) != ErrorClass::Port;
    store::PortState state{settings_.port,
                           reachable,
                           reachable ? std::string() : port_failure_word(poll.failure),
                           {},
                           last_reader_};
    if (noted_ && noted_->reachable == state.reachable && noted_->failure == state.failure) {
        return;
    }
    // Tried once a change: a store that cannot be written now is not tried
    // at every poll; the collect says so when a reader comes.
    noted_ = state;
    try {
        io_.store().record_port_state(state);
    } catch (const store::StoreError&) {
        io_.drop_store();
    }
}

Decision Station::step() {
    const StationIo::Time polled = io_.now();  // polls every 2 s, however long one takes
    Poll poll = io_.poll(stop_);
    note_port(poll);
    const PollFound found =
        poll.reader ? PollFound::Reader : poll_failure(poll.failure, settings_.network);
    Decision decision = policy_.polled(found, polled);
    for (const Notice notice : decision.notices) {
        io_.say(notice_line(notice, settings_, poll.why), notice != Notice::PortBack);
    }
    if (decision.what != Decision::Do::Download) {
        return decision;
    }
    store::Store* store = nullptr;
    try {
        store = &io_.store();
    } catch (const store::StoreError& error) {
        CollectResult result;
        result.outcome = Outcome::StoreFailed;
        result.port = settings_.port;
        result.failure = ErrorClass::Store;
        result.detail = error.what();
        const StationIo::Time now = io_.now();
        decision = policy_.collected({}, now, now);
        io_.report(result, decision.retry);
        return decision;
    }
    const StationIo::Time began = io_.now();
    const auto stopped = [this] {
        CollectResult result;
        result.outcome = Outcome::Stopped;
        result.port = settings_.port;
        io_.say(describe(result), false);
        return StopRequested{};
    };
    Fetched fetched;
    try {
        fetched = fetch(*poll.reader);
        stop_.throw_if_requested();
    } catch (const StopRequested&) {
        throw stopped();
    }
    std::optional<Header> header;
    if (fetched.download && fetched.download->has_header) {
        header = Header{fetched.download->machine_id, fetched.download->announced};
    }
    decision = policy_.looked(header, began, io_.now());
    if (decision.what != Decision::Do::Store) {
        return decision;
    }
    CollectResult result =
        store_fetched(*poll.reader, settings_.port, *store, settings_.request, fetched, stop_);
    if (result.outcome == Outcome::Stopped) {
        throw stopped();
    }
    result.network = settings_.network;
    if (!result.machine_id.empty()) {
        last_reader_ = result.machine_id;
    }
    if (result.outcome == Outcome::StoreFailed) {
        io_.drop_store();  // a store that failed is opened anew for the next try
    }
    decision = policy_.collected(
        {result.succeeded(), result.erased(), result.machine_id, result.announced}, began,
        io_.now());
    io_.report(result, decision.retry);
    return decision;
}

}  // namespace kdr::collect
