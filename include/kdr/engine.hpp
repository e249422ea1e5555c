// The reader's operations: connect, download, clock sync and erase, over a
// serial port, a monotonic clock and the program's run-time.
//
// The engine is the one implementation of the exchanges with the reader. It
// shows nothing and keeps no connection state: a face over it (KDRController
// for hosts of the automation control, kdr::Reader for C++ programs) decides
// what a person sees and how a port is held between exchanges. Each
// operation returns a typed result whose `failure` says what the reader
// answered when it was not what was asked for; a port or line that fails
// throws kdr::Error with the port's kind (PortMissing, LineDropped, ...).
//
// An engine is used from one thread; each call returns when its exchange has
// ended. Progress is reported from the receive loop as it runs.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "kdr/byte_port.hpp"
#include "kdr/download.hpp"
#include "kdr/error.hpp"
#include "kdr/platform.hpp"
#include "kdr/time.hpp"
#include "kdr/timing.hpp"

namespace kdr::protocol {
class AnswerSink;
struct DownloadTally;
}  // namespace kdr::protocol

namespace kdr::engine {

/// Where an operation has come to.
enum class Stage {
    Receiving,      ///< the download request is out; its answer is awaited
    Arrived,        ///< more of the answer arrived (ProgressEvent::download)
    Received,       ///< the line fell quiet: the answer is in
    Decoding,       ///< the header is read; the records follow
    RecordDecoded,  ///< the first stamp, and then each record, decoded
    Decoded,        ///< every record decoded
    Finished,       ///< the download is over
    Erasing,        ///< a step (0 to 100) of the wait while the reader erases
};

struct ProgressEvent {
    Stage stage = Stage::Receiving;
    /// The download's counts so far (for Arrived and the stages after it).
    DownloadProgress download;
    /// For Erasing: the step, 0 to 100.
    int step = 0;
};

/// Receives progress while an operation runs. Once a download's first
/// record is decoded, an exception from here no longer ends the download (the
/// records are kept); before that it does.
class ProgressObserver {
  public:
    virtual ~ProgressObserver() = default;
    virtual void on_progress(const ProgressEvent& event) = 0;
};

/// How a face holds its port between exchanges: the engine asks for it where
/// an exchange needs the port open, and lets it go where one has ended. A
/// face that keeps its port open for its whole life does nothing on either.
class PortHold {
  public:
    virtual ~PortHold() = default;
    /// The port is needed from here on.
    virtual void acquire() = 0;
    /// The port is not needed until the next acquire.
    virtual void release() = 0;
};

/// What the reader sent back while it was told to erase its records.
enum class EraseReply {
    NotSent,       ///< the request did not go out
    Acknowledged,  ///< its acknowledgement: it took the request
    Silent,        ///< nothing: a reader that does not confirm an erase
    Refused,       ///< its refusal frame: nothing was erased
    Unrecognised,  ///< something else: whether it erased cannot be told
};

/// The clock synchronisation as it went: what was sent, what came back.
struct ClockSync {
    /// True when the reader took the host's time and its clock, read back,
    /// shows that time plus no more than the time since sending and 2 s.
    bool synced = false;
    /// The host's local date and time sent to the reader (read once).
    LocalDateTime sent;
    /// The reader's clock as read back, when it answered.
    std::optional<LocalDateTime> read_back;
    /// Why it is not synced: NoAnswer, Refused, BadAnswer or ClockMismatch.
    Failure failure;
};

struct EraseOutcome {
    EraseReply reply = EraseReply::NotSent;
    /// Refused (description: the message lines, CR LF between them) or
    /// BadAnswer for an answer that is neither acknowledgement nor refusal.
    Failure failure;
};

struct DownloadOutcome {
    /// What the records added up to.
    bool has_header = false;
    bool complete = false;
    RecordCounts counts;
    /// The host's year when the answer was in (see Download::host_year).
    int host_year = 0;
    /// The answer as received, byte for byte.
    std::string answer;
    /// NoAnswer (nothing came), BadAnswer (no header) or Incomplete (the
    /// description being the message lines, CR LF between them).
    Failure failure;
};

/// The sink a download decodes into, made once the answer is in and the
/// host's year is known.
using SinkFor = std::function<protocol::AnswerSink&(int host_year, std::string_view answer)>;

class Engine {
  public:
    /// The engine waits as `timing` says: FixedTiming for the control,
    /// LineTiming for the faces that read the line as it runs.
    Engine(BytePort& port, Clock& clock, HostRuntime& host, ProgressObserver& progress,
           PortHold& hold, TimingPolicy& timing) noexcept
        : port_(port),
          clock_(clock),
          host_(host),
          progress_(progress),
          hold_(hold),
          timing_(timing) {}

    /// Waits until nothing has arrived for the policy's quiet time before a
    /// connection, discarding what comes:
    /// the rest of an answer to an earlier request, from a program that was
    /// interrupted, must not be taken for the next answer. Throws
    /// Error(LineBusy) when the line is still busy after `limit`.
    void settle(Clock::Duration limit);

    /// The password exchange on an open port: `padded_password` as
    /// protocol::pad_password leaves it. Releases the port after the reply
    /// window. failure is NoAnswer or Refused when it was not accepted.
    [[nodiscard]] Failure connect(std::string_view padded_password);

    /// Asks for every record and decodes the answer into the sink made by
    /// `sink_for`. Throws for a port that fails, an answer too long, or one
    /// damaged beyond reading.
    DownloadOutcome download(std::string_view padded_password, const SinkFor& sink_for);

    /// Sets the reader's clock to the host's local time and reads it back.
    ClockSync sync_clock(std::string_view padded_password);

    /// Tells the reader to erase its records and listens while it does.
    EraseOutcome erase(std::string_view padded_password);

    /// How messages name the port.
    [[nodiscard]] std::string port_name() const { return port_.name(); }

  private:
    void report(Stage stage, int step = 0);
    [[nodiscard]] Line line() noexcept { return Line{port_, clock_, host_}; }

    BytePort& port_;
    Clock& clock_;
    HostRuntime& host_;
    ProgressObserver& progress_;
    PortHold& hold_;
    TimingPolicy& timing_;
    DownloadProgress download_progress_;
};

}  // namespace kdr::engine
