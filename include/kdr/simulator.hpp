// A KDR reader in software, for tests and for host developers without a
// reader.
//
// ReaderModel is the reader itself, without I/O: bytes from the host go in,
// and what the reader sends back comes out as a schedule of emissions (bytes
// due at given instants, and the line going away). It checks frames and
// passwords, answers "P", "D", "T", "R" and "E", keeps its own clock and
// records, forgets the records on "E", and can be told to misbehave in the
// ways a real line and reader do (faults).
//
// PtyServer puts a ReaderModel on a pseudo-terminal: a host opens the device
// path it prints as if it were the reader's serial port. It serves either on a
// background thread of its own (start/stop) or on the caller's thread (run,
// ended by request_stop, which is safe to call from a signal handler).
//
// Linux and other POSIX systems only.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kdr/platform.hpp"

namespace kdr::simulator {

/// The most records a reader holds: its record count has five digits.
inline constexpr std::size_t kMaxRecords = 99'999;
/// The bytes of a reader's machine ID.
inline constexpr std::size_t kMachineIdLength = 8;

/// One record stored in the reader.
struct Record {
    LocalDateTime stamp;  ///< when it was taken; years 2000 to 2099
    std::string text;     ///< any characters except "?" followed by CR
    char lead = '0';      ///< the leading character the reader puts before the text
    /// The reader holds an empty record: it sends its stamp and "?" CR with no
    /// leading character and no text (text and lead are not sent, so the text
    /// is not checked either).
    bool empty = false;
    friend bool operator==(const Record&, const Record&) = default;
};

/// The ways the simulated reader and its line misbehave.
enum class FaultKind {
    Silent,      ///< the reader ignores the request entirely
    Refuse,      ///< the reader answers with its refusal frame and does nothing
    Garble,      ///< the reply is damaged on the line (characters altered)
    Bursts,      ///< the reply comes in bursts separated by pauses shorter than 0.3 s
    LongPause,   ///< the reply stops halfway for longer than a host's 0.3 s silence wait
    DropLine,    ///< half of the reply goes out, then the line goes away
    ShortReply,  ///< the reply is cut short: one character of a frame, nine of the
                 ///< clock reply, thirteen of the download answer
    Merge,       ///< one record separator of the download answer is damaged (see
                 ///< merge_records): the host sees two records as one
    Split,       ///< a character after a "?" inside a record's text is damaged into CR
                 ///< (see split_record): the host sees one record as two
    Mute,        ///< the reader carries out the request and sends nothing: "E" forgets
                 ///< the records without acknowledging, "D" and "R" send no answer
    Borrow,      ///< the clock reply shows the next minute with the second below zero
                 ///< (16:29:-16 for 16:28:44): the same moment, no valid clock
    Flip,        ///< one character of the reply has its lowest bit flipped, at another
                 ///< place each time (see flip_one): no two answers are alike
};

/// A fault and the command letters it hits.
struct Fault {
    FaultKind kind = FaultKind::Silent;
    /// Letters among "PDTRE"; empty means the kind's default_commands.
    std::string commands;
    /// Hits only the n-th request (from 1) that carries one of its letters;
    /// 0 for every one.
    unsigned only = 0;
    friend bool operator==(const Fault&, const Fault&) = default;
};

/// The letters a fault hits when none are named: every command for Silent,
/// Refuse and Garble; "D" for Bursts, LongPause, DropLine, Merge and Split;
/// "R" for ShortReply (the clock reply too short for the host's 10
/// characters); "E" for Mute; "R" for Borrow; "D" for Flip. Merge and Split damage only a
/// download answer, Borrow only a clock reply: on other letters they change
/// nothing.
[[nodiscard]] std::string_view default_commands(FaultKind kind) noexcept;
/// "silent", "refuse", "garble", "bursts", "pause", "drop", "short", "merge",
/// "split", "mute", "borrow".
[[nodiscard]] std::string_view to_string(FaultKind kind) noexcept;
/// "kind", "kind:LETTERS" ("silent", "refuse:T", "short:PR"), each with an
/// optional "@N" for the n-th such request only ("garble:D@1"). Throws
/// kdr::Error(InvalidArgument) naming what is wrong.
[[nodiscard]] Fault parse_fault(std::string_view text);
/// The text parse_fault reads back.
[[nodiscard]] std::string to_string(const Fault& fault);

/// How fast the reader sends.
enum class Pacing {
    LineRate,  ///< one character per character time of the line settings
    Fast,      ///< every reply at once
};

struct ReaderConfig {
    /// The password as a host types it; the reader pads it as hosts do (an
    /// empty one is eight spaces).
    std::string password;
    /// Up to eight characters (bytes, as the reader sends them), padded with
    /// spaces at the end (an unset reader sends eight spaces; a number may be
    /// right-aligned).
    std::string machine_id = "KDR00001";
    /// At most kMaxRecords.
    std::vector<Record> records;
    /// The reader's clock when the model is made.
    LocalDateTime clock{};
    std::vector<Fault> faults;
    Pacing pacing = Pacing::LineRate;
    /// The line the reader is set for; LineRate pacing follows its baud rate
    /// and character size ("19200,n,8,1": 10 bits, about 1,920 characters a
    /// second).
    std::string line_settings = "19200,n,8,1";
    /// Time from the end of a request to the first character of the reply.
    Clock::Duration response_delay = std::chrono::milliseconds{2};
    /// Bursts: characters per burst and the pause between bursts.
    std::size_t burst_size = 128;
    Clock::Duration burst_pause = std::chrono::milliseconds{150};
    /// LongPause: the pause halfway through the reply.
    Clock::Duration long_pause = std::chrono::milliseconds{600};
    /// DropLine: how long after the last character sent the line goes away.
    Clock::Duration drop_delay = std::chrono::milliseconds{50};
};

/// Throws kdr::Error(InvalidArgument) for a configuration no reader could
/// hold: a machine ID longer than eight characters, more than 99,999
/// records, a record text holding "?" CR (unless the record is empty), a
/// record stamp outside 2000 to 2099 or with an impossible field, an invalid
/// clock, line settings that do not parse, a burst size of 0.
void validate(const ReaderConfig& config);

/// What the reader sends: `bytes` from `start`, one character every
/// `char_time` (all at once when zero). An emission with `drop_line` set
/// carries no bytes: at `start` the line goes away.
struct Emission {
    Clock::Instant start;
    std::string bytes;
    Clock::Duration char_time{};
    bool drop_line = false;
    /// A new request came while an earlier reply was still going out: the
    /// reader gives that reply up, and what of it has not been sent is dropped.
    bool abandon_earlier = false;
    /// When the last character is due.
    [[nodiscard]] Clock::Instant end() const;
};

/// How the reader judged one frame it received.
enum class Verdict {
    Accepted,       ///< right password and a command it knows, with valid data
    WrongPassword,  ///< the body did not carry the reader's password
    BadChecksum,    ///< the checksum character does not match the body
    BadRequest,     ///< right password, but an unknown letter or bad data
    Refused,        ///< a fault made the reader refuse it
    Ignored,        ///< a fault made the reader ignore it
};
[[nodiscard]] std::string_view to_string(Verdict verdict) noexcept;

/// One frame received by the reader.
struct Request {
    char letter = '?';  ///< the command letter, '?' when it cannot be told
    Verdict verdict = Verdict::Accepted;
    std::string frame;  ///< the whole frame, STX to ETX
    Clock::Instant at;
};

/// The reader, without I/O.
class ReaderModel {
  public:
    /// Validates the configuration (see validate) and starts the reader's clock
    /// at config.clock as of `now`.
    ReaderModel(ReaderConfig config, Clock::Instant now);

    /// The host sent `bytes`; returns what the reader sends in answer, in
    /// order, each emission starting no earlier than the previous one ends.
    /// Partial frames are kept until their end arrives; bytes outside a frame
    /// are ignored; an STX inside a frame starts a new one.
    [[nodiscard]] std::vector<Emission> receive(std::string_view bytes, Clock::Instant now);

    /// The line went away: the frame being received is lost and nothing is
    /// being sent any more.
    void line_dropped(Clock::Instant now);

    [[nodiscard]] const std::vector<Record>& records() const noexcept { return records_; }
    /// The reader's clock at `now`.
    [[nodiscard]] LocalDateTime clock_at(Clock::Instant now) const;
    [[nodiscard]] const std::vector<Request>& requests() const noexcept { return requests_; }
    [[nodiscard]] const ReaderConfig& config() const noexcept { return config_; }
    /// The time one character takes on the line with the configured pacing.
    [[nodiscard]] Clock::Duration char_time() const noexcept { return char_time_; }

  private:
    struct Reply;
    void handle_frame(const std::string& frame, Clock::Instant now, std::vector<Emission>& out);
    [[nodiscard]] bool hits(FaultKind kind, char letter) const;
    void emit(Reply reply, char letter, Clock::Instant now, std::vector<Emission>& out);

    ReaderConfig config_;
    std::string padded_password_;
    std::vector<Record> records_;
    LocalDateTime clock_base_;
    Clock::Instant clock_set_at_;
    Clock::Duration char_time_{};
    std::vector<Request> requests_;
    /// Requests received so far, by command letter, the current one included.
    std::array<unsigned, 256> seen_{};
    std::string frame_;
    bool in_frame_ = false;
    Clock::Instant line_free_at_;
};

// ---- The reader's texts, as pure functions ------------------------------

/// The answer to "D": STX, the machine ID padded to eight bytes, the
/// record count as five digits (empty records count too), then per record its
/// six clock characters, its leading character, its text, "?" and CR (an
/// empty record: its six clock characters, "?" and CR).
[[nodiscard]] std::string download_answer(std::string_view machine_id,
                                          const std::vector<Record>& records);
/// The answer to "R": a frame whose body is the six clock characters, ten
/// characters in all, characters 2 to 7 the clock.
[[nodiscard]] std::string clock_reply(const LocalDateTime& clock);
/// Line damage as the Garble fault makes it to the `nth` reply it hits (from
/// 1): every seventh character, from the second one on for the first reply
/// (the third for the second, and so on, round seven), has bits 0 and 5
/// flipped. Like a real line, it damages no two replies in a row alike.
[[nodiscard]] std::string garble(std::string text, unsigned nth = 1);
/// Line damage as the Flip fault makes it to the `nth` reply it hits (from
/// 1): the lowest bit of one character flipped, at a place that differs for
/// every n below the text's length. Unchanged when shorter than two.
[[nodiscard]] std::string flip_one(std::string text, unsigned nth);
/// Line damage as the Merge fault makes it to `answer`, the download answer
/// for `records`: the CR of the "?" CR ending the record at index n/2 (n
/// records; index 0 when n is 2, so that a next record follows) becomes 'M'.
/// Unchanged with fewer than two records.
[[nodiscard]] std::string merge_records(std::string answer, const std::vector<Record>& records);
/// Line damage as the Split fault makes it to `answer`, the download answer
/// for `records`: in the first record whose text holds a "?" followed by at
/// least one more character, the character right after that "?" becomes CR.
/// Unchanged when no record's text has such a "?".
[[nodiscard]] std::string split_record(std::string answer, const std::vector<Record>& records);
/// `count` records of varied texts (some holding "?"), one every 97 minutes,
/// the last one taken at `newest`.
[[nodiscard]] std::vector<Record> sample_records(std::size_t count, const LocalDateTime& newest);
/// `when` moved by `seconds` (either sign), with the calendar's carries.
[[nodiscard]] LocalDateTime add_seconds(const LocalDateTime& when, std::int64_t seconds);
/// The time one character takes at these line settings: start bit, data bits,
/// parity bit, stop bits at the baud rate. Throws kdr::Error(InvalidSettings).
[[nodiscard]] Clock::Duration character_time(std::string_view line_settings);

// ---- On a pseudo-terminal -----------------------------------------------

/// A ReaderModel served on a pseudo-terminal.
///
/// The server keeps the terminal's device side open itself, so a host may
/// open and close the device as often as it likes. DropLine closes the
/// terminal; the server then makes a new one (device_path changes) and goes
/// on serving. Every descriptor is opened close-on-exec and closed by the
/// server.
class PtyServer {
  public:
    /// Receives one line of log text per event (a request and its verdict, a
    /// line drop and the new device path).
    using Log = std::function<void(std::string_view)>;
    /// Receives the device path of each new pseudo-terminal after a line drop,
    /// on the serving thread, once the reader answers there. What it throws
    /// ends serving as a failure of the terminal does.
    using NewDevice = std::function<void(const std::string& device_path)>;

    /// Makes the pseudo-terminal. Throws kdr::Error for an invalid
    /// configuration (InvalidArgument) or when the system has no
    /// pseudo-terminal to give (IoError).
    explicit PtyServer(ReaderConfig config, Log log = {}, NewDevice on_new_device = {});
    /// Stops and joins the serving thread, if any, and closes everything.
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    /// The device path a host opens, "/dev/pts/N".
    [[nodiscard]] std::string device_path() const;

    /// Serves on a thread of its own until stop(). Throws kdr::Error
    /// (InvalidArgument) when already serving or stopped.
    void start();
    /// Serves on the calling thread until request_stop(). Throws kdr::Error
    /// when the pseudo-terminal fails (IoError), or when already serving or
    /// stopped (InvalidArgument).
    void run();
    /// Asks the server to stop at once. Async-signal-safe; any thread.
    void request_stop() noexcept;
    /// request_stop(), then waits for the serving thread to end. Idempotent.
    /// A stopped server does not serve again.
    void stop() noexcept;

    /// Why serving ended early, when the background thread failed.
    [[nodiscard]] std::optional<std::string> failure() const;

    // A view of the reader's state, safe from any thread.
    [[nodiscard]] std::vector<Record> records() const;
    [[nodiscard]] std::vector<Request> requests() const;
    [[nodiscard]] LocalDateTime reader_clock() const;
    [[nodiscard]] int line_drops() const;

  private:
    void serve();
    void open_terminal();
    void close_terminal() noexcept;
    void read_requests(Clock::Instant now);
    [[nodiscard]] std::optional<Clock::Instant> send_due(Clock::Instant now, bool& blocked);
    void drop_line(Clock::Instant now);
    void log(std::string_view line) const;

    struct Pending {
        Emission emission;
        std::size_t sent = 0;
    };

    Log log_;
    NewDevice on_new_device_;
    mutable std::mutex mutex_;  // guards model_, path_, failure_, drops_
    std::unique_ptr<Clock> clock_;
    ReaderModel model_;
    std::string path_;
    std::optional<std::string> failure_;
    int drops_ = 0;
    std::deque<Pending> pending_;  // serving thread only
    std::size_t logged_requests_ = 0;
    int master_ = -1;
    int device_ = -1;  // the server's own descriptor of the device side
    int wake_read_ = -1;
    int wake_write_ = -1;
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> serving_{false};
    bool used_ = false;
    std::thread thread_;
};

}  // namespace kdr::simulator
