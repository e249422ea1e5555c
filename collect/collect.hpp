// A collect: a reader's download stored, then the reader erased. The reader
// sends no checksum, so a download is read twice and stored only when two
// reads agree byte for byte. The reader is erased only after the store's
// transaction is durably committed and only when the whole memory arrived;
// whatever goes wrong before that point leaves the reader as it was, and
// what goes wrong after it costs nothing stored. `kdr collect` (once, and in station mode) and the
// Python module collect through these functions.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collect/outcome.hpp"
#include "kdr/download.hpp"
#include "kdr/error.hpp"
#include "kdr/reader.hpp"
#include "store/store.hpp"

namespace kdr::collect {

/// What a collect needs of a reader: its download and its erase, as
/// kdr::Reader gives them (LineReader); tests give a model instead.
class ReaderLink {
  public:
    virtual ~ReaderLink() = default;
    ReaderLink() = default;
    ReaderLink(const ReaderLink&) = delete;
    ReaderLink& operator=(const ReaderLink&) = delete;
    /// As Reader::download: throws when no download with a header came.
    [[nodiscard]] virtual Download download() = 0;
    /// As Reader::erase.
    virtual EraseReply erase() = 0;
    /// Told before each download what it is for ("read 1", "read 2 (to
    /// compare)", "read-back"), so that its progress can be labelled and
    /// timed on its own.
    virtual void reading(std::string_view /*what*/) {}
};

/// A connected kdr::Reader as a collect's link; `on_reading` is told what
/// each download is for (ReaderLink::reading).
class LineReader final : public ReaderLink {
  public:
    explicit LineReader(Reader& reader, std::function<void(std::string_view)> on_reading = {})
        : reader_(reader), on_reading_(std::move(on_reading)) {}
    [[nodiscard]] Download download() override { return reader_.download(); }
    EraseReply erase() override { return reader_.erase(); }
    void reading(std::string_view what) override {
        if (on_reading_) {
            on_reading_(what);
        }
    }

  private:
    Reader& reader_;
    std::function<void(std::string_view)> on_reading_;
};

/// Thrown from within a read (by the reader's waits, as the caller wires
/// them) once a stop was asked for. It is no std::exception, so that no
/// failure handling on the way takes it for a failed exchange; a collect
/// turns it into Outcome::Stopped.
struct StopRequested {};

/// Whether a stop was asked for (Ctrl-C, a service stop), asked between a
/// collect's steps. A collect that has begun to store goes on to its end:
/// while it stores and erases, stop_allowed() is false, and a reader's wait
/// that asks must not throw then.
class StopSignal {
  public:
    StopSignal() = default;
    explicit StopSignal(std::function<bool()> requested) : requested_(std::move(requested)) {}
    /// A stop was asked for and may be taken now.
    [[nodiscard]] bool requested() const { return allowed_ && requested_ && requested_(); }
    /// For the reader's waits: throws StopRequested when requested().
    void throw_if_requested() const {
        if (requested()) {
            throw StopRequested{};
        }
    }
    /// Off while a collect stores and erases.
    void allow(bool allowed) { allowed_ = allowed; }

  private:
    std::function<bool()> requested_;
    bool allowed_ = true;
};

/// What a collect is asked to do.
struct Request {
    /// Erase the reader once its whole download is stored.
    bool erase = false;
    /// The name to store a reader under that has no machine ID of its own
    /// (one that sends eight spaces); empty for none.
    std::string reader_name;
    /// Trust one read: no second read confirms the download, and a byte the
    /// line damaged is stored (and the reader erased) as if the reader had
    /// sent it.
    bool single_read = false;
};

/// A download from the reader and when it was made.
struct Fetched {
    std::optional<Download> download;
    std::string failure;  ///< why there is none
    ErrorKind failure_kind = ErrorKind::None;
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
    /// What each read got; one entry until confirm() reads again.
    std::vector<Read> reads;
    /// Sure once two reads agreed on `download`, Unsure when three did not;
    /// NotChecked for one read.
    store::ReadCheck check = store::ReadCheck::NotChecked;
    /// The answers of other reads that differ from `download`'s, by read number.
    std::vector<std::pair<int, std::string>> other_answers;
};

/// Downloads from a connected reader, once. A failure (any std::exception)
/// is kept in the result; only what is no std::exception passes through.
[[nodiscard]] Fetched fetch(ReaderLink& reader, std::string_view what = "read 1");

/// What the reads so far say, each read's answer as received (none for a
/// read that brought no download).
struct ReadVerdict {
    enum class Kind : std::uint8_t {
        Sure,      ///< two reads agree byte for byte: `read` is one of them
        ReadMore,  ///< no two agree yet: read again
        Unsure,    ///< three reads and no two agree: the line damages the data
    };
    Kind kind = Kind::ReadMore;
    std::size_t read = 0;  ///< index of the agreed read, for Sure
};
[[nodiscard]] ReadVerdict judge_reads(const std::vector<std::optional<std::string>>& answers);

/// Reads the reader again until two reads agree on the whole answer or three
/// reads have not (then the check is Unsure and `download` is the read whose
/// machine ID another read shares, else the first). `first` must hold a
/// download with a header. Between reads a stop that was asked for ends it
/// (StopRequested passes through).
[[nodiscard]] Fetched confirm(ReaderLink& reader, Fetched first, const StopSignal& stop = {});

/// Why a fetched download cannot be stored under this request (no download,
/// a reader without an ID and no name, a name for a reader that has an ID);
/// none when it can.
[[nodiscard]] std::optional<CollectResult> refusal(const Request& request, const Fetched& first);

/// Stores a fetched download from `reader` on `port` (the port as the user
/// named it), first reading the reader again to confirm it unless one read
/// is trusted or it was confirmed already, and, when asked and the download is whole, erases the
/// reader and reads it back. Store failures are kept in the result.
/// A stop asked for before the store is written gives Outcome::Stopped;
/// once it is written, the collect (and its erase) goes on to its end.
[[nodiscard]] CollectResult store_fetched(ReaderLink& reader, const std::string& port,
                                          store::Store& store, const Request& request,
                                          const Fetched& first, StopSignal& stop);

/// fetch, then store_fetched; a stop during the first read gives
/// Outcome::Stopped too.
[[nodiscard]] CollectResult collect(ReaderLink& reader, const std::string& port,
                                    store::Store& store, const Request& request, StopSignal& stop);
[[nodiscard]] CollectResult collect(ReaderLink& reader, const std::string& port,
                                    store::Store& store, const Request& request);
[[nodiscard]] CollectResult collect(Reader& reader, const std::string& port, store::Store& store,
                                    const Request& request);

/// The set-up of a collect, before any reader is touched: the store opened
/// for writing (made when missing) and a reader name checked against it, so
/// that a store that cannot be written is found before a long transfer.
/// Throws store::StoreError.
[[nodiscard]] std::unique_ptr<store::Store> open_store_for(const std::string& target,
                                                           const Request& request);

}  // namespace kdr::collect
