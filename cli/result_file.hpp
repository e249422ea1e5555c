// A file the command writes its result to: whole or not at all.
#pragma once

#include <string>
#include <string_view>

namespace kdr::cli {

class ResultFile {
  public:
    /// Checks that the file can be written where it is to go: its folder
    /// exists and is writable, and the path is no folder itself. Throws
    /// UsageError otherwise, naming what to change.
    explicit ResultFile(std::string path);

    [[nodiscard]] const std::string& path() const noexcept { return path_; }

    /// Writes the text to a new file beside the target and renames it over
    /// the target once it is whole on disk: a reader of the path sees the
    /// old content or the new, never a part. Throws kdr::Error(IoError).
    void commit(std::string_view text) const;
    /// Writes the text, in the same way, to "<path>.partial" and returns that
    /// path; the target is left as it was.
    [[nodiscard]] std::string keep_partial(std::string_view text) const;

  private:
    std::string path_;
};

}  // namespace kdr::cli
