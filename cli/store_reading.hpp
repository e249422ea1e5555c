// What the commands that read the store share: the day of --since, a
// --reader held against the readers the store holds, and their text written
// to standard output or to the file of --output.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "cli/app.hpp"
#include "cli/result_file.hpp"
#include "store/store.hpp"

namespace kdr::cli {

/// A day, YYYY-MM-DD, given to `option`. Throws UsageError for anything else
/// and for a day that does not exist.
[[nodiscard]] std::chrono::year_month_day parse_day(const std::string& text,
                                                    std::string_view option = "--since");

/// Whether --reader, when given, names a reader the store holds. A name of no
/// reader is a failure of its own (an empty result would look like a reader
/// without records): it is said on console.err, with the readers the store
/// holds when they are few, and false returned.
[[nodiscard]] bool reader_known(store::Store& store, const std::optional<std::string>& reader,
                                Console& console);

/// The text on standard output; the command's end checks that it got there.
void write_out(const std::string& text, Console& console);

/// The text into the file of --output (replacing it whole), or without one
/// on standard output.
void write_result(const std::optional<ResultFile>& file, const std::string& text, Console& console);

}  // namespace kdr::cli
