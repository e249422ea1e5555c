// The station mode's decisions, without I/O: what a poll of the cradle
// found, what a download's header showed and what a collect came to, each
// with the time it happened, give what the station does next, what it says
// and when it polls again. The station itself (kdr collect --watch) polls,
// downloads, stores and prints; it decides nothing of its own, so that these
// rules are tested on a virtual clock that never sleeps.
//
// The rules: a poll every 2 s; a reader that answers is collected at once,
// and while it stays its header is read again when due (2 s after an erase,
// else no sooner than five times as long as its last download took), so
// that a reader swapped in between two polls is seen by its machine ID or by
// a count that changed; the same reader with the same count (one erased and
// still empty) is left alone. A reader counts as taken out after two polls
// in a row without an answer. A failed collect is tried again while the
// reader stays, after 2, 4, 8, 16 and 32 s, then every 60 s. A port that
// fails is said once and again when it works; a reader that refuses the
// password is said once per docking.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kdr/error.hpp"

namespace kdr::collect {

/// What one poll (one password exchange) found at the port.
enum class PollFound : std::uint8_t {
    Reader,      ///< a reader answered and took the password
    Refused,     ///< a reader answered and refused the password
    NoAnswer,    ///< nothing answered: the cradle is empty
    PortFailed,  ///< the port could not be used: missing, busy, no serial port, unreachable
    Garbled,     ///< something answered, but the line garbled its reply: neither an
                 ///< acceptance nor a refusal; the next poll asks again
};

/// What a failed poll of this kind found. `network` is true for a port
/// behind a device server: there a dropped line is the server gone, while on
/// a local port it is a reader taken out of a cradle that powers the line.
[[nodiscard]] PollFound poll_failure(ErrorKind kind, bool network) noexcept;

/// What a download's header showed.
struct Header {
    std::string machine_id;  ///< as sent
    std::int32_t announced = 0;
};

/// What a collect came to, as far as the station's decisions go.
struct Collected {
    bool succeeded = false;  ///< stored whole, and erased when asked
    bool erased = false;     ///< read back empty, or confirmed by the reader
    std::string machine_id;  ///< as sent; empty when no download came
    std::int32_t announced = 0;
};

/// Something the station says besides a collect's line, at most once until
/// what it says changes.
enum class Notice : std::uint8_t {
    PortFailed,     ///< the port cannot be used; polls go on quietly
    PortBack,       ///< the port works again
    WrongPassword,  ///< the docked reader refuses the password
};

/// A failed collect's try and when the next one comes (while the reader stays).
struct Retry {
    int tries = 0;
    std::chrono::seconds again{};
    friend bool operator==(const Retry&, const Retry&) = default;
};

/// What the station does next.
struct Decision {
    enum class Do : std::uint8_t {
        Wait,      ///< sleep until `wake`, then poll
        Download,  ///< download the reader that answered, then call looked()
        Store,     ///< store the download (and erase), then call collected()
    };
    Do what = Do::Wait;
    std::vector<Notice> notices;  ///< to say, in this order
    /// After a failed collect: its try, said with the collect's line.
    std::optional<Retry> retry;
    std::chrono::steady_clock::time_point wake{};  ///< for Wait: the next poll
};

class StationPolicy {
  public:
    using Time = std::chrono::steady_clock::time_point;

    static constexpr std::chrono::seconds kPoll{2};
    static constexpr std::chrono::seconds kLongestBackOff{60};

    /// A poll made at `now` found this.
    [[nodiscard]] Decision polled(PollFound found, Time now);
    /// The download that began at `began` ended at `now` with this header,
    /// or none when no download came.
    [[nodiscard]] Decision looked(const std::optional<Header>& header, Time began, Time now);
    /// The collect of the download that began at `began` ended at `now`.
    [[nodiscard]] Decision collected(const Collected& collect, Time began, Time now);

  private:
    // The reader in the cradle, from its first answer until it is taken out.
    struct Docked {
        std::string machine_id;      // empty until a collect learnt it
        std::int32_t announced = 0;  // what its header counts after the collect
        bool done = false;           // collected (and erased, when asked)
        int failures = 0;
        Time next{};  // the next try, or the next look at its header
        bool refusal_said = false;
    };

    [[nodiscard]] Decision wait(Time now) const;

    std::optional<Docked> docked_;
    int unanswered_ = 0;
    bool port_failed_ = false;
    Time last_poll_{};
};

}  // namespace kdr::collect
