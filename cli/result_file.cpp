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

// Writes the whole text into an open descriptor.
int write_all(int fd, std::string_view text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno != EINTR) {
                return errno;
            }
        } else {
            written += static_cast<std::size_t>(n);
        }
    }
    return 0;
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
    // A new file gets the mode any new file gets; a replaced one keeps its
    // own, and its owner and group as far as this user may give them (root
    // may; others may keep a group of theirs).
    struct stat existing {};
    mode_t mode = 0;
    const bool replacing = ::stat(target.c_str(), &existing) == 0;
    if (replacing) {
        mode = existing.st_mode & 07777U;
        if (::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
            static_cast<void>(::fchown(fd, static_cast<uid_t>(-1), existing.st_gid));
        }
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666U & ~mask;
    }
    int error = write_all(fd, text);
    // The mode after the owner: a change of owner clears set-ID bits.
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

void write_into(const std::string& path, std::string_view text) {
    const int fd =
        path == "-" ? STDOUT_FILENO : ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        throw write_error(path, errno);
    }
    int error = write_all(fd, text);
    if (fd != STDOUT_FILENO && ::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        throw write_error(path == "-" ? std::string("standard output") : path, error);
    }
}

// Where a path leads, link by link: the last path, and whether a link on the
// way names a process's descriptor (/dev/stdout, /proc/self/fd/1), which is
// written into as it is rather than replaced.
struct Resolved {
    std::string path;
    bool descriptor = false;
};

// Whether this user may write the file at `path` (by the effective IDs, as
// opening it would be judged): the folder being writable lets a rename
// replace any file in it, which must not replace one the user could not
// write. A file that does not exist may be made.
int may_write(const std::string& path) {
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 || errno == ENOENT) {
        return 0;
    }
    return errno;
}

Resolved resolve(const std::string& given) {
    namespace fs = std::filesystem;
    Resolved resolved{given, false};
    for (int hop = 0; hop < 40; ++hop) {
        const std::string& path = resolved.path;
        if (path.starts_with("/proc/") || path.starts_with("/dev/fd/")) {
            // Opened as it is: a pipe's descriptor links to no path.
            resolved.descriptor = true;
            break;
        }
        std::error_code error;
        if (!fs::is_symlink(path, error)) {
            break;
        }
        const fs::path link = fs::read_symlink(path, error);
        if (error) {
            break;
        }
        resolved.path = link.is_absolute() ? link.string()
                                           : (folder_of(path) / link).lexically_normal().string();
    }
    return resolved;
}

}  // namespace

ResultFile::ResultFile(std::string path, std::string option)
    : path_(std::move(path)), option_(std::move(option)) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    if (path_.empty()) {
        throw UsageError(fmt::format("{}: give the name of the file to write", option_));
    }
    if (path_ == "-") {
        kind_ = Kind::Stdout;
        return;
    }
    const Resolved resolved = resolve(path_);
    target_ = resolved.path;
    if (fs::is_directory(target_, ignored)) {
        throw UsageError(fmt::format("{} {}: that is a folder; name a file in it", option_, path_));
    }
    const fs::file_status status = fs::status(target_, ignored);
    if (resolved.descriptor || (fs::exists(status) && !fs::is_regular_file(status))) {
        kind_ = Kind::Direct;
        if (::access(target_.c_str(), W_OK) != 0) {
            throw UsageError(fmt::format("{} {}: cannot be written ({}); choose another", option_,
                                         path_, why(errno)));
        }
        return;
    }
    const fs::path folder = folder_of(target_);
    if (!fs::is_directory(folder, ignored)) {
        throw UsageError(fmt::format("{} {}: the folder {} does not exist; create it first",
                                     option_, path_, folder.string()));
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        throw UsageError(fmt::format("{} {}: the folder {} is not writable ({}); choose another",
                                     option_, path_, folder.string(), why(errno)));
    }
    if (const int error = may_write(target_); error != 0) {
        throw UsageError(fmt::format(
            "{} {}: this user may not write that file ({}), so it is not replaced; choose "
            "another, or let this user write it",
            option_, path_, why(error)));
    }
}

void ResultFile::commit(std::string_view text) const {
    if (kind_ == Kind::Replaced) {
        replace_file(target_, text);
    } else {
        write_into(kind_ == Kind::Stdout ? path_ : target_, text);
    }
}

std::string ResultFile::keep_partial(std::string_view text) const {
    if (kind_ != Kind::Replaced) {
        commit(text);
        return kind_ == Kind::Stdout ? std::string("standard output") : path_;
    }
    std::string partial = target_ + ".partial";
    if (const int error = may_write(partial); error != 0) {
        throw write_error(partial, error);
    }
    replace_file(partial, text);
    return partial;
}

}  // namespace kdr::cli
