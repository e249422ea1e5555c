#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace kdr::e2e {

std::string read_file_text(const std::string& path) {
    // Through a string stream: g++ 12 at -O3 reports a false
    // -Wnull-dereference inside std::istreambuf_iterator.
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace {

using Clock = std::chrono::steady_clock;

struct Child {
    pid_t pid;
    int out;
    int err;
};

constexpr const char* kSetpriv = "/usr/bin/setpriv";

Child spawn_kdr(const std::vector<std::string>& args, std::optional<int> stdin_fd) {
    std::array<int, 2> out{};
    std::array<int, 2> err{};
    if (::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make pipes");
    }
    const int null_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, stdin_fd.value_or(null_in), STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

    // A command the test started never outlives the test, even one that
    // crashed: the child gets SIGKILL when its parent dies (setpriv sets that
    // and becomes the command, keeping its process id).
    std::vector<std::string> words;
    if (::access(kSetpriv, X_OK) == 0) {
        words = {kSetpriv, "--pdeathsig", "KILL"};
    }
    words.push_back(kdr_binary());
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(null_in);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(out[0]);
        ::close(err[0]);
        throw std::runtime_error("cannot start " + kdr_binary());
    }
    return {pid, out[0], err[0]};
}

// Reads whatever the pipes hold, waiting at most `wait`; closes a pipe at its end.
void read_pipes(int& out, int& err, std::string& out_text, std::string& err_text,
                std::chrono::milliseconds wait) {
    std::array<pollfd, 2> watch{{{out, POLLIN, 0}, {err, POLLIN, 0}}};
    if (::poll(watch.data(), watch.size(), static_cast<int>(wait.count())) <= 0) {
        return;
    }
    std::array<int*, 2> fds{&out, &err};
    std::array<std::string*, 2> texts{&out_text, &err_text};
    for (std::size_t i = 0; i < watch.size(); ++i) {
        if (*fds[i] < 0 || (watch[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        std::array<char, 4096> chunk{};
        const ssize_t n = ::read(*fds[i], chunk.data(), chunk.size());
        if (n > 0) {
            texts[i]->append(chunk.data(), static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(*fds[i]);
            *fds[i] = -1;
        }
    }
}

int exit_code_of(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string kdr_binary() {
    return KDR_BINARY;
}

ProcessResult run_kdr(const std::vector<std::string>& args, Seconds deadline,
                      std::optional<int> stdin_fd) {
    const auto start = Clock::now();
    Child child = spawn_kdr(args, stdin_fd);
    ProcessResult result;
    const auto end = start + std::chrono::duration_cast<Clock::duration>(deadline);
    while ((child.out >= 0 || child.err >= 0) && Clock::now() < end) {
        read_pipes(child.out, child.err, result.out, result.err, std::chrono::milliseconds(20));
    }
    int status = 0;
    if (child.out >= 0 || child.err >= 0) {
        result.timed_out = true;
        ::kill(child.pid, SIGKILL);
    }
    ::waitpid(child.pid, &status, 0);
    for (int fd : {child.out, child.err}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    result.exit_code = exit_code_of(status);
    result.elapsed = Clock::now() - start;
    return result;
}

BackgroundKdr::BackgroundKdr(const std::vector<std::string>& args) {
    const Child child = spawn_kdr(args, std::nullopt);
    pid_ = child.pid;
    out_ = child.out;
    err_ = child.err;
}

BackgroundKdr::~BackgroundKdr() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {out_, err_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void BackgroundKdr::pump(Seconds wait) {
    read_pipes(out_, err_, out_text_, err_text_,
               std::chrono::duration_cast<std::chrono::milliseconds>(wait));
}

std::optional<std::string> BackgroundKdr::read_line(Seconds deadline) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(deadline);
    while (true) {
        const std::size_t newline = out_text_.find('\n', out_taken_);
        if (newline != std::string::npos) {
            std::string line = out_text_.substr(out_taken_, newline - out_taken_);
            out_taken_ = newline + 1;
            return line;
        }
        if (Clock::now() >= end || (out_ < 0 && err_ < 0)) {
            return std::nullopt;
        }
        pump(std::chrono::milliseconds(20));
    }
}

bool BackgroundKdr::wait_for_err(const std::string& text, Seconds deadline) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(deadline);
    while (err_text_.find(text) == std::string::npos) {
        if (Clock::now() >= end || (out_ < 0 && err_ < 0)) {
            return false;
        }
        pump(std::chrono::milliseconds(20));
    }
    return true;
}

ProcessResult BackgroundKdr::stop(int signal, Seconds deadline) {
    const auto start = Clock::now();
    ::kill(pid_, signal);
    const auto end = start + std::chrono::duration_cast<Clock::duration>(deadline);
    while ((out_ >= 0 || err_ >= 0) && Clock::now() < end) {
        pump(std::chrono::milliseconds(20));
    }
    ProcessResult result;
    if (out_ >= 0 || err_ >= 0) {
        result.timed_out = true;
        ::kill(pid_, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    result.exit_code = exit_code_of(status);
    result.elapsed = Clock::now() - start;
    result.out = out_text_.substr(out_taken_);
    result.err = err_text_;
    return result;
}

}  // namespace kdr::e2e
