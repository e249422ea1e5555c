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
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
};

/// A connected kdr::Reader as a collect's link.
class LineReader final : public ReaderLink {
  public:
    explicit LineReader(Reader& reader) : reader_(reader) {}
    [[nodiscard]] Download download() override { return reader_.download(); }
    EraseReply erase() override { return reader_.erase(); }

  private:
    Reader& reader_;
};

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
    };
    Outcome outcome = Outcome::NoDownload;
    std::string reader;      ///< the name it is stored under; empty when unknown
    std::string machine_id;  ///< as sent; empty when no download came
    std::int32_t announced = 0;
    int reads = 0;  ///< times the reader was read
    std::size_t new_records = 0;
    std::size_t already_stored = 0;
    bool new_memory = false;  ///< the store began a new memory for the reader
    /// What became of the erase; none when it was not asked for or not tried.
    std::optional<store::EraseResult> erase;
    std::string erase_unrecorded;  ///< why the store could not note the erase result
    std::string detail;            ///< why, for people

    /// Stored whole, and erased when asked.
    [[nodiscard]] bool succeeded() const;
    /// Read back empty, or confirmed by the reader.
    [[nodiscard]] bool erased() const;
    [[nodiscard]] bool nothing_new() const {
        return outcome == Outcome::Stored && new_records == 0;
    }
};

/// The outcome's word ("stored", "incomplete", ...).
[[nodiscard]] std::string_view to_string(CollectResult::Outcome outcome) noexcept;

/// Whether a failure of this kind means the port, or the device server in
/// front of it, is gone or cannot be reached: no reader could have answered,
/// whether one is docked or not.
[[nodiscard]] bool unreachable(ErrorKind kind) noexcept;

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
    int reads = 1;      ///< times the reader was read
    bool sure = false;  ///< two reads agreed on `download` (or one was trusted)
    /// The answers of other reads that differ from `download`'s, by read number.
    std::vector<std::pair<int, std::string>> other_answers;
};

/// Downloads from a connected reader, once. A failure (any std::exception)
/// is kept in the result; only what is no std::exception passes through.
[[nodiscard]] Fetched fetch(ReaderLink& reader);
[[nodiscard]] Fetched fetch(Reader& reader);

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
/// reads have not (then `sure` stays false and `download` is the read whose
/// machine ID another read shares, else the first). `first` must hold a
/// download with a header.
[[nodiscard]] Fetched confirm(ReaderLink& reader, Fetched first);

/// Why a fetched download cannot be stored under this request (no download,
/// a reader without an ID and no name, a name for a reader that has an ID);
/// none when it can.
[[nodiscard]] std::optional<CollectResult> refusal(const Request& request, const Fetched& first);

/// Stores a fetched download from `reader` on `port` (the port as the user
/// named it), first reading the reader again to confirm it unless one read
/// is trusted or it was confirmed already, and, when asked and the download is whole, erases the
/// reader and reads it back. Store failures are kept in the result.
[[nodiscard]] CollectResult store_fetched(ReaderLink& reader, const std::string& port,
                                          store::Store& store, const Request& request,
                                          const Fetched& first);
[[nodiscard]] CollectResult store_fetched(Reader& reader, const std::string& port,
                                          store::Store& store, const Request& request,
                                          const Fetched& fetched);

/// fetch, then store_fetched.
[[nodiscard]] CollectResult collect(ReaderLink& reader, const std::string& port,
                                    store::Store& store, const Request& request);
[[nodiscard]] CollectResult collect(Reader& reader, const std::string& port, store::Store& store,
                                    const Request& request);

}  // namespace kdr::collect
