// What the web server needs of the operating system beyond Boost.Asio: a
// file's identity, and as many open sockets as the system allows. Each
// system's version is its own source file, chosen in CMake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kdr::web::detail {

/// What tells one file from another under the same name, and a file
/// rewritten in place from itself before.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;  ///< 0 where the system has none to give
    std::uint64_t size = 0;
    std::int64_t modified_ns = 0;
    bool operator==(const FileIdentity&) const = default;
};

/// The identity of the file the path names now; none when there is none.
[[nodiscard]] std::optional<FileIdentity> file_identity(const std::string& path);

/// Raises the soft limit on open files to the hard one, so that the bound on
/// connections, not the system, decides who is turned away. Returns the
/// limit then in force; none where the system has none to tell.
std::optional<std::size_t> raise_open_file_limit() noexcept;

}  // namespace kdr::web::detail
