// What a collect came to, as one value, and the one place that words it.
// The command's line, `kdr history` (its table and JSON), the web view, the
// Python result and the station's journal line all render this type; none
// of them decides again from columns or from an error's text what happened.
// A stored download gives the same value back (outcome_of), so that what a
// collect said and what the history says later are the same words.
//
// This part knows the store's types only: the web view uses it without the
// reader, the engine or a port.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kdr/error.hpp"
#include "store/store.hpp"

namespace kdr::collect {

/// What one read of the reader's memory got.
struct Read {
    enum class Got : std::uint8_t {
        Whole,     ///< the reader's whole memory: its header and every announced record
        Cut,       ///< an answer with a header that is not whole (ended early, or damaged)
        NoAnswer,  ///< nothing came
        Dropped,   ///< the line dropped during the read
        Garbled,   ///< something came, but no reader's header
        Failed,    ///< the port failed
    };
    Got got = Got::NoAnswer;
    /// For Cut: the records that arrived whole, of the announced.
    std::size_t records = 0;
    std::int32_t announced = 0;
    /// The earlier read (from 1) whose answer this one repeats byte for byte;
    /// 0 for none.
    int same_as = 0;
    friend bool operator==(const Read&, const Read&) = default;
};

/// The reads as the store keeps them ("whole,cut 3/40,whole=1"), and back.
/// A text that is no such list gives no reads.
[[nodiscard]] std::string encode_reads(const std::vector<Read>& reads);
[[nodiscard]] std::vector<Read> decode_reads(std::string_view text);

/// What one collect came to.
struct CollectResult {
    enum class Outcome : std::uint8_t {
        Stored,          ///< the whole download is stored (erase says what became of the erase)
        Incomplete,      ///< what came before the first gap is stored; not erased
        NoDownload,      ///< the reader sent no download: nothing stored
        NoMachineId,     ///< a reader without an ID and no reader name: nothing stored
        ReaderMismatch,  ///< a reader name was given for a reader that has an ID: nothing stored
        ReaderConflict,  ///< the reader name is another reader's ID in the store, or this
                         ///< reader's ID is a name there: nothing stored
        Unsure,          ///< no two reads agreed: the answers are kept, no record is
                         ///< stored, the reader is not erased
        StoreFailed,     ///< the store could not be written: nothing stored, nothing erased
        Unreachable,     ///< the port or its device server went away or cannot be reached:
                         ///< nothing stored, nothing erased
        Stopped,         ///< stopped (Ctrl-C, a service stop) before anything was stored:
                         ///< nothing stored, nothing erased
    };
    Outcome outcome = Outcome::NoDownload;
    std::string port;        ///< as the user named it
    std::string reader;      ///< the name it is stored under; empty when unknown
    std::string machine_id;  ///< as sent; empty when no download came
    std::int32_t announced = 0;
    std::size_t received = 0;  ///< whole records of the download kept
    /// Each read, in order; empty for a download stored before reads were
    /// written down (then only `read_count` is known).
    std::vector<Read> reads;
    int read_count = 0;  ///< times the reader was read
    store::ReadCheck check = store::ReadCheck::NotChecked;
    bool complete = false;
    std::size_t new_records = 0;
    std::size_t already_stored = 0;
    bool new_memory = false;  ///< the store began a new memory for the reader
    /// What became of the erase; none when it was not asked for or not tried.
    std::optional<store::EraseResult> erase;
    std::string erase_detail;      ///< why the erase is not confirmed, for people
    std::string erase_unrecorded;  ///< why the store could not note the erase result
    /// For a failure before anything was stored: whose fault, and why.
    ErrorClass failure = ErrorClass::None;
    std::string detail;
    /// The port is reached over a network: a reader that does not answer may
    /// be a link slower than the wait.
    bool network = false;

    /// Stored whole, and erased when asked.
    [[nodiscard]] bool succeeded() const;
    /// Read back empty, or confirmed by the reader.
    [[nodiscard]] bool erased() const;
    [[nodiscard]] bool nothing_new() const {
        return outcome == Outcome::Stored && new_records == 0;
    }
};
using Outcome = CollectResult::Outcome;

/// The outcome's word ("stored", "incomplete", ...).
[[nodiscard]] std::string_view to_string(Outcome outcome) noexcept;

/// The one line for people: what was stored, the reads where they were more
/// than two that agreed, and the erase ("KDR00077 on /dev/ttyUSB0: 12 new, 0
/// already stored; erased (read back: the reader holds no record)").
[[nodiscard]] std::string describe(const CollectResult& result);
/// What the reads came to, in a few words ("2 reads agreed", "sure after a
/// third read: read 2 got no answer", "1 read, not checked", ...).
[[nodiscard]] std::string reads_words(const CollectResult& result);
/// What became of the erase, in a few words ("erased and verified", ...).
[[nodiscard]] std::string erase_words(const CollectResult& result);
/// Why no two reads agreed, from what each got (damage only when whole
/// answers differ), and what to do; `kept`: the answers are kept in the store.
[[nodiscard]] std::string why_unsure(const std::vector<Read>& reads, int read_count, bool kept);
/// Whether its reads deserve a look: not sure, or sure only after a third.
[[nodiscard]] bool reads_worth_a_look(const CollectResult& result);
/// Whether its erase deserves a look: not stored whole, or an erase that
/// was asked for and is not verified.
[[nodiscard]] bool erase_worth_a_look(const CollectResult& result);

/// The result as one JSON object: the outcome's fields and `message`, the
/// line describe() gives.
[[nodiscard]] nlohmann::ordered_json to_json(const CollectResult& result);

/// The outcome a stored download records.
[[nodiscard]] CollectResult outcome_of(const store::StoredDownload& download);

/// What about a reader needs its supervisor's attention.
enum class Attention : std::uint8_t {
    Unsure,           ///< its last collect: no two reads agreed
    Incomplete,       ///< its last collect stored what came before a gap
    NotErased,        ///< an erase was asked and the reader still holds its records (or refused)
    EraseUnverified,  ///< an erase that was not read back empty, or another reader answered
    PortUnreachable,  ///< the port of its last collect cannot be reached now
    Stale,            ///< not collected for the stale days, or never
};
/// Every kind, in the order they are listed.
inline constexpr std::array kAttentionKinds{Attention::Unsure,          Attention::Incomplete,
                                            Attention::NotErased,       Attention::EraseUnverified,
                                            Attention::PortUnreachable, Attention::Stale};
/// The kind's stable key, for scripts and labels ("unsure", "port_unreachable", ...).
[[nodiscard]] std::string_view attention_key(Attention kind) noexcept;
/// The kind in a few words, for a count of readers ("last collect unsure", ...).
[[nodiscard]] std::string_view attention_heading(Attention kind) noexcept;

/// One thing about a reader that needs attention, and its words for this
/// reader ("port /dev/ttyUSB0 unreachable (missing) since 2026-12-07 13:05 UTC").
struct Need {
    Attention kind = Attention::Stale;
    std::string words;
};

/// A time the store keeps ("2026-12-07T13:05:00.123Z"); none when it is no such time.
[[nodiscard]] std::optional<std::chrono::sys_seconds> stored_time(std::string_view utc);

/// What about `reader` needs attention at `now`, in the order of
/// kAttentionKinds: from its last download's outcome (outcome_of), the state
/// of that download's port among `ports`, and whether it was collected
/// within `stale_days`. Empty when nothing does. The web view, /metrics and
/// `kdr check` all ask this.
[[nodiscard]] std::vector<Need> needs_attention(const store::ReaderSummary& reader,
                                                const std::vector<store::PortState>& ports,
                                                std::chrono::system_clock::time_point now,
                                                int stale_days);

}  // namespace kdr::collect
