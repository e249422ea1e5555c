// Decoding of the reader's download answer into the text DownloadData returns.
//
// The answer: STX, an eight-character machine ID, five count digits, the
// first record's six-character time stamp, then records, each a leading
// character, its text and "?" CR, every record after the first preceded by its
// own time stamp. The decoding is a pure function over the bytes: the only
// outside effects are the hooks below, through which the download closes its
// port and drives the progress display.
#pragma once

#include <string>
#include <string_view>

namespace kdr::operations {

struct DecodeOptions {
    bool show_machine_id = false;
    bool show_rtc = false;
    int current_year = 2000;  ///< the host's year: a first stamp after it is out of range
};

/// Where the decoding hands control back to the download exchange.
class DecodeHooks {
  public:
    virtual ~DecodeHooks() = default;
    /// The header has been taken; the download closes its port here.
    virtual void header_taken() {}
    /// The summary is written (also when the answer ends there): the progress
    /// bar is reset (Value 0, Max 100).
    virtual void summary_written() {}
    /// After the first time stamp and after each record: one progress step
    /// and one turn of the host's message loop.
    virtual void step() {}
};

/// Decodes a whole answer: the summary ("Machine ID: " line when asked for, the
/// count, a line of one space), then for each record its date line (when
/// show_rtc) and its text followed by an empty line; every line ends in CR LF.
/// An answer that does not begin with STX has no header: the summary shows 0
/// records and an empty machine ID, and the rest is decoded all the same.
///
/// Throws kdr::Error(BadAnswer) for the failures that end a download before
/// its first record has been taken (a header shorter than 14 characters, a
/// machine ID that begins with a space, a space in the count, an answer of 17
/// to 19 characters, a first-stamp character below code 16, an empty first
/// record); no hook is called after the throw. Once the first record is taken
/// nothing throws: a later empty record is dropped. Records of any length are
/// decoded; the time taken is linear in the answer's length.
[[nodiscard]] std::string decode_download(std::string_view answer, const DecodeOptions& options,
                                          DecodeHooks& hooks);

/// The same without hooks.
[[nodiscard]] std::string decode_download(std::string_view answer, const DecodeOptions& options);

}  // namespace kdr::operations
