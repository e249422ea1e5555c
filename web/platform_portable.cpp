// Systems without inodes or an open-file limit to raise: a file is told
// from another by its size and time alone.
#include <filesystem>

#include "web/platform.hpp"

namespace kdr::web::detail {

std::optional<FileIdentity> file_identity(const std::string& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) {
        return std::nullopt;
    }
    const auto modified = std::filesystem::last_write_time(path, error);
    if (error) {
        return std::nullopt;
    }
    return FileIdentity{0, 0, static_cast<std::uint64_t>(size),
                        static_cast<std::int64_t>(modified.time_since_epoch().count())};
}

std::optional<std::size_t> raise_open_file_limit() noexcept {
    return std::nullopt;
}

}  // namespace kdr::web::detail
