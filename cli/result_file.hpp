// A file the command writes its result to. A regular file (or a new one) is
// written whole or not at all: a temporary file beside it is renamed over it.
// Devices, pipes and other files that are no regular file are written
// straight into, and "-" is standard output.
#pragma once

#include <string>
#include <string_view>

namespace kdr::cli {

class ResultFile {
  public:
    enum class Kind {
        Replaced,  ///< a regular file or a new path: temporary file, then rename
        Direct,    ///< a device, pipe or descriptor path: written into as it is
        Stdout,    ///< "-"
    };

    /// Checks that the result can be written where it is to go: the folder
    /// of a file to replace exists and is writable, a file to replace is one
    /// this user may write, a device is writable, the path is no folder. A
    /// symbolic link is followed: the file it points to is replaced and the
    /// link kept. Throws UsageError otherwise, naming `option` and what to
    /// change.
    explicit ResultFile(std::string path, std::string option = "-o");

    /// The path as given.
    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] Kind kind() const noexcept { return kind_; }

    /// Writes the text: a replaced file is seen with its old content or the
    /// new, never a part, and keeps its mode (and its owner and group as far
    /// as this user may set them). Throws kdr::Error(IoError).
    void commit(std::string_view text) const;
    /// Writes the text of a result that is not whole: a file that would be
    /// replaced is left as it was and the text goes to "<path>.partial"; a
    /// device, a pipe or standard output takes it as it is. Returns where it
    /// went.
    [[nodiscard]] std::string keep_partial(std::string_view text) const;

  private:
    std::string path_;
    std::string option_;
    std::string target_;  ///< the file a symbolic link leads to, or path_
    Kind kind_ = Kind::Replaced;
};

}  // namespace kdr::cli
