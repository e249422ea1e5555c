#include "cli/result_file.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "cli/session.hpp"
#include "kdr/error.hpp"

namespace kdr::cli {

namespace {

[[nodiscard]] std::string why(int error) {
    return std::error_code(error, std::generic_category()).message();
}

[[nodiscard]] Error write_error(const std::string& path, int error) {
    return Error(ErrorKind::IoError, fmt::format("cannot write {}: {}", path, why(error)));
}

[[nodiscard]] std::filesystem::path folder_of(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::filesystem::path(".") : parent;
}

// Writes text to target through a temporary file in the same folder, renamed
// over the target once it is on disk.
void replace_file(const std::string& target, std::string_view text) {
    std::string temporary = (folder_of(target) / ".kdr-XXXXXX").string();
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        throw write_error(target, errno);
    }
    temporary.assign(name.data());
    // A new file gets the mode any new file gets; a replaced one keeps its own.
    struct stat existing {};
    mode_t mode = 0;
    if (::stat(target.c_str(), &existing) == 0) {
        mode = existing.st_mode & 07777U;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666U & ~mask;
    }
    int error = 0;
    std::size_t written = 0;
    while (error == 0 && written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno != EINTR) {
                error = errno;
            }
        } else {
            written += static_cast<std::size_t>(n);
        }
    }
    if (error == 0 && (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        throw write_error(target, error);
    }
}

}  // namespace

ResultFile::ResultFile(std::string path) : path_(std::move(path)) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    if (path_.empty()) {
        throw UsageError("-o: give the name of the file to write");
    }
    if (fs::is_directory(path_, ignored)) {
        throw UsageError(fmt::format("-o {}: that is a folder; name a file in it", path_));
    }
    const fs::path folder = folder_of(path_);
    if (!fs::is_directory(folder, ignored)) {
        throw UsageError(fmt::format("-o {}: the folder {} does not exist; create it first", path_,
                                     folder.string()));
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        throw UsageError(fmt::format("-o {}: the folder {} is not writable ({}); choose another",
                                     path_, folder.string(), why(errno)));
    }
}

void ResultFile::commit(std::string_view text) const {
    replace_file(path_, text);
}

std::string ResultFile::keep_partial(std::string_view text) const {
    std::string partial = path_ + ".partial";
    replace_file(partial, text);
    return partial;
}

}  // namespace kdr::cli
