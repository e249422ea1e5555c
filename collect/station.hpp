// The station: a port watched until a stop, each reader set into the cradle
// collected once. StationPolicy decides; this loop does what it decides over
// the I/O it is given (a port to poll, the store, the clock, a stop, where
// lines go), so that the whole station runs in a test on a virtual clock and
// a fake port, and every face (`kdr collect --watch`, a service, Python)
// gets the same station by handing it its own I/O.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "collect/collect.hpp"
#include "collect/outcome.hpp"
#include "collect/station_policy.hpp"
#include "store/store.hpp"

namespace kdr::collect {

/// What one poll (one password exchange) came to.
struct Poll {
    /// The reader that took the password, connected; none when the poll failed.
    std::unique_ptr<ReaderLink> reader;
    ErrorKind failure = ErrorKind::None;
    std::string why;  ///< for a failure: why, for people
};

/// What the station needs of the world.
class StationIo {
  public:
    using Time = std::chrono::steady_clock::time_point;
    virtual ~StationIo() = default;
    StationIo() = default;
    StationIo(const StationIo&) = delete;
    StationIo& operator=(const StationIo&) = delete;

    /// One password exchange at the port. The reader's waits, here and in
    /// the collect that follows, call `stop.throw_if_requested()`.
    [[nodiscard]] virtual Poll poll(const StopSignal& stop) = 0;
    /// The store, opened for writing when it is not open. Throws
    /// store::StoreError.
    [[nodiscard]] virtual store::Store& store() = 0;
    /// Closes a store that failed: the next collect opens it anew.
    virtual void drop_store() = 0;
    /// The monotonic clock.
    [[nodiscard]] virtual Time now() = 0;
    /// Sleeps until `wake`, or less when a stop is asked for.
    virtual void sleep_until(Time wake) = 0;
    /// Whether a stop was asked for.
    [[nodiscard]] virtual bool stop_requested() = 0;
    /// A line of the station's own (watching, stopped, a notice), and
    /// whether it tells of a failure.
    virtual void say(std::string_view line, bool failure) = 0;
    /// A collect's outcome, and the retry that follows a failed one.
    virtual void report(const CollectResult& result, const std::optional<Retry>& retry) = 0;
};

/// What the station is started with.
struct StationSettings {
    std::string port;      ///< as messages name it
    bool network = false;  ///< the port is reached over a network
    Request request;
    bool password_given = false;
};

/// A collect's line as the station says it: the outcome, and for a failed
/// one its try and when the next comes.
[[nodiscard]] std::string station_line(const CollectResult& result,
                                       const std::optional<Retry>& retry);
/// A notice's line.
[[nodiscard]] std::string notice_line(Notice notice, const StationSettings& settings,
                                      std::string_view why);

class Station {
  public:
    Station(StationIo& io, StationSettings settings);

    /// Says that it watches, polls until a stop, says that it stopped.
    void run();
    /// One poll and what the policy asks for after it; throws StopRequested
    /// when a stop ended it (after saying what was stopped).
    Decision step();

  private:
    /// Records the port's state in the store when this poll changed it.
    void note_port(const Poll& poll);

    StationIo& io_;
    StationSettings settings_;
    StationPolicy policy_;
    StopSignal stop_;
    /// The port's state as last recorded (or tried); none before the first poll.
    std::optional<store::PortState> noted_;
    std::string last_reader_;  ///< the machine ID of the reader last collected here
};

}  // namespace kdr::collect
