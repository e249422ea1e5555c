// A collect: a reader's download stored, then the reader erased. The reader
// is erased only after the store's transaction is durably committed and only
// when the whole memory arrived; whatever goes wrong before that point
// leaves the reader as it was, and what goes wrong after it costs nothing
// stored. `kdr collect` (once, and in station mode) and the Python module
// collect through these functions.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kdr/download.hpp"
#include "kdr/error.hpp"
#include "kdr/reader.hpp"
#include "store/store.hpp"

namespace kdr::collect {

/// What one collect came to.
struct CollectResult {
    enum class Outcome : std::uint8_t {
        Stored,          ///< the whole download is stored (erase says what became of the erase)
        Incomplete,      ///< what came before the first gap is stored; not erased
        NoDownload,      ///< the reader sent no download: nothing stored
        NoMachineId,     ///< a reader without an ID and no reader name: nothing stored
        ReaderMismatch,  ///< a reader name was given for a reader that has an ID: nothing stored
        StoreFailed,     ///< the store could not be written: nothing stored, nothing erased
        Unreachable,     ///< the port or its device server went away or cannot be reached:
                         ///< nothing stored, nothing erased
    };
    Outcome outcome = Outcome::NoDownload;
    std::string reader;      ///< the name it is stored under; empty when unknown
    std::string machine_id;  ///< as sent; empty when no download came
    std::int32_t announced = 0;
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
};

/// A download from the reader and when it was made.
struct Fetched {
    std::optional<Download> download;
    std::string failure;  ///< why there is none
    ErrorKind failure_kind = ErrorKind::None;
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
};

/// Downloads from a connected reader. A failure (any std::exception) is kept
/// in the result; only what is no std::exception passes through.
[[nodiscard]] Fetched fetch(Reader& reader);

/// Stores a fetched download from `reader` on `port` (the port as the user
/// named it) and, when asked and the download is whole, erases the reader and
/// reads it back. Store failures are kept in the result.
[[nodiscard]] CollectResult store_fetched(Reader& reader, const std::string& port,
                                          store::Store& store, const Request& request,
                                          const Fetched& fetched);

/// fetch, then store_fetched.
[[nodiscard]] CollectResult collect(Reader& reader, const std::string& port, store::Store& store,
                                    const Request& request);

}  // namespace kdr::collect
