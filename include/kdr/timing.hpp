// How the engine waits for the reader: a timing policy per face.
//
// The control keeps the reader's fixed timing (FixedTiming): windows of a set
// length, whatever came by their end is the reply. The Linux faces read the
// line as it runs (LineTiming): a reply ends with its frame, a download with
// its last announced record, and every limit grows with the link's round trip
// so that a reader behind a slow network link is still heard.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "kdr/byte_port.hpp"
#include "kdr/download.hpp"
#include "kdr/platform.hpp"

namespace kdr::engine {

/// What a policy waits on.
struct Line {
    BytePort& port;
    Clock& clock;
    HostRuntime& host;
};

/// The short replies a request is answered with.
enum class Reply : std::uint8_t {
    Password,  ///< the acknowledgement (or refusal) of the password
    SetClock,  ///< the acknowledgement of the new time
    Erase,     ///< whatever the reader sends while it erases
};

/// Told of a download's answer as it arrives.
class AnswerWatch {
  public:
    virtual ~AnswerWatch() = default;
    /// The policy listens for the answer from here on.
    virtual void receiving() = 0;
    /// The answer has grown to `answer`: returns the counts so far. May throw
    /// to end the download (an answer far too long).
    virtual const DownloadProgress& grew(std::string_view answer) = 0;
    /// A moment to show the counts and give the host a turn.
    virtual void show() = 0;
};

/// The requests, as a policy readies the line for each.
enum class Request : std::uint8_t {
    Connect,    ///< the password
    Download,   ///< every record
    SetClock,   ///< the new time
    ReadClock,  ///< the reader's clock, once it has acknowledged the new time
    Erase,      ///< the erase of the records
};

/// Called with the steps (0 to 100) of a reply window that shows progress.
using StepReport = std::function<void(int step)>;

class TimingPolicy {
  public:
    virtual ~TimingPolicy() = default;

    /// Waits until the line has stayed quiet for the policy's quiet time,
    /// discarding what comes, so that the rest of an answer to an interrupted
    /// program is not taken for the next reply. Throws Error(LineBusy) when
    /// characters still arrive after `limit`.
    virtual void settle(Line& line, Clock::Duration limit) = 0;
    /// Called just before each request is written: clears what waits from
    /// earlier exchanges, as far as the policy does, and waits whatever the
    /// reader needs before this request (before the read-back, its pause).
    virtual void before_request(Line& line, Request which) = 0;
    /// What came in reply to a request just written.
    [[nodiscard]] virtual std::string reply(Line& line, Reply which, const StepReport& step) = 0;
    /// The answer to the download request just written.
    [[nodiscard]] virtual std::string answer(Line& line, AnswerWatch& watch) = 0;
    /// The reader's clock after the read-back request: at least `length`
    /// characters, or fewer when the reader's limit passed first.
    [[nodiscard]] virtual std::string clock_reply(Line& line, std::size_t length) = 0;
};

/// The control's timing, fixed as hosts of the control know it: input is
/// discarded before the password request and read once and dropped before
/// the download's; the password reply is what came in five reads 0.05 s
/// apart; the new time's, what came in 0.3 s; the clock is asked for 1 s
/// after the new time was acknowledged, and its reply awaited up to 3 s; a
/// download waits 0.1 s after its request, and is over when a read empties
/// the buffer and nothing more comes in the following 0.3 s; the erase
/// listens for 101 steps of 3 ms. The 0.3 s after the new time, the erase's
/// steps and the download's silences give the host's loop its turns; the
/// other waits block it. Reads never wait on the port: the clock's waits
/// decide. A settle waits for the answer's 0.3 s of silence.
class FixedTiming final : public TimingPolicy {
  public:
    void settle(Line& line, Clock::Duration limit) override;
    void before_request(Line& line, Request which) override;
    [[nodiscard]] std::string reply(Line& line, Reply which, const StepReport& step) override;
    [[nodiscard]] std::string answer(Line& line, AnswerWatch& watch) override;
    [[nodiscard]] std::string clock_reply(Line& line, std::size_t length) override;
};

/// The timing of the Linux faces: waits end when the bytes they wait for
/// have come, and wake as soon as any arrive.
///
/// - A reply ends with its first complete frame; a reader that sends none is
///   given its window (0.25 s) plus the link's round trip.
/// - A download ends once the header's count of whole records has arrived
///   and the line then stays quiet for a short guard (four characters, 10 ms
///   and a twentieth of the round trip: a link delays bytes alike, so the
///   gaps between them keep their length). When the count cannot be trusted (no
///   header yet, fewer records, more bytes inside the guard) it ends as the
///   reader's timing ends it: after 0.3 s of silence plus the round trip. So
///   a guard too short can neither make a whole download incomplete nor a
///   cut one whole: the decoding judges completeness from the bytes alone.
/// - The round trip is measured by the password replies (from the
///   request's end to the reply's first byte; the longest counts);
///   `latency` is the least round trip assumed, for a link known to be
///   slow. Before the first reply, a network link is given
///   `kFirstNetworkRoundTrip`.
/// - Input is discarded before each request but the download's (whose
///   left-overs are read once and dropped), the read-back's after the
///   reader's pause; a settle waits for 50 ms of quiet plus the latency
///   given, since an interrupted answer runs on without pauses.
class LineTiming final : public TimingPolicy {
  public:
    static constexpr Clock::Duration kFirstNetworkRoundTrip = std::chrono::seconds(1);

    explicit LineTiming(Clock::Duration latency = Clock::Duration::zero()) noexcept
        : latency_(latency) {}

    /// The round trip the limits follow: the measured one, at least the
    /// latency given; the latency alone until a reply has been measured.
    [[nodiscard]] Clock::Duration round_trip() const noexcept;

    void settle(Line& line, Clock::Duration limit) override;
    void before_request(Line& line, Request which) override;
    [[nodiscard]] std::string reply(Line& line, Reply which, const StepReport& step) override;
    [[nodiscard]] std::string answer(Line& line, AnswerWatch& watch) override;
    [[nodiscard]] std::string clock_reply(Line& line, std::size_t length) override;

  private:
    /// The round trip allowed before the first reply on this line.
    [[nodiscard]] Clock::Duration expected_round_trip(const Line& line) const noexcept;
    void measured(Clock::Duration first_byte) noexcept;

    Clock::Duration latency_;
    Clock::Duration measured_{};
    bool has_measurement_ = false;
};

}  // namespace kdr::engine
