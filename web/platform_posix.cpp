#include <sys/resource.h>
#include <sys/stat.h>

#include "web/platform.hpp"

namespace kdr::web::detail {

std::optional<FileIdentity> file_identity(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    constexpr std::int64_t kNanoseconds = 1'000'000'000;
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev),
                        static_cast<std::uint64_t>(status.st_ino),
                        static_cast<std::uint64_t>(status.st_size),
                        static_cast<std::int64_t>(status.st_mtim.tv_sec) * kNanoseconds +
                            static_cast<std::int64_t>(status.st_mtim.tv_nsec)};
}

std::optional<std::size_t> raise_open_file_limit() noexcept {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return std::nullopt;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        const rlim_t before = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            limit.rlim_cur = before;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? std::nullopt
                                           : std::optional<std::size_t>(limit.rlim_cur);
}

}  // namespace kdr::web::detail
