// The far end of a pseudo-terminal, played by a test: the port under test
// opens the slave path while the test reads and writes the master.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "kdr/error.hpp"

namespace kdr::testing {

/// A pseudo-terminal in raw mode. The test keeps a slave descriptor of its
/// own, so that the master stays usable while a port closes and reopens the
/// slave, and so that it can read the slave's settings.
class Pty {
  public:
    Pty() {
        std::array<char, 128> name{};
        if (::openpty(&master_, &slave_, name.data(), nullptr, nullptr) != 0) {
            throw std::runtime_error("cannot make a pseudo-terminal");
        }
        termios raw{};
        ::tcgetattr(slave_, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave_, TCSANOW, &raw);
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
        path_ = name.data();
    }
    ~Pty() {
        close_master();
        ::close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] int slave() const { return slave_; }

    /// Hangs up the line: the slave side sees the other side gone.
    void close_master() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

    void send(std::string_view data) const {
        ASSERT_EQ(::write(master_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }

    /// Reads from the master until `count` bytes came or `within` passed.
    [[nodiscard]] std::string receive(
        std::size_t count, std::chrono::milliseconds within = std::chrono::seconds(5)) const {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd watch{master_, POLLIN, 0};
            if (::poll(&watch, 1, 50) == 1) {
                std::array<char, 4096> chunk{};
                const ssize_t n = ::read(master_, chunk.data(), chunk.size());
                if (n > 0) {
                    got.append(chunk.data(), static_cast<std::size_t>(n));
                }
            }
        }
        return got;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

/// Every byte value once, 0 to 255.
inline std::string all_byte_values() {
    std::string bytes;
    for (int code = 0; code < 256; ++code) {
        bytes += static_cast<char>(code);
    }
    return bytes;
}

/// The processor time this thread has used.
inline std::chrono::nanoseconds thread_cpu_time() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

/// Expects the call to throw kdr::Error of the kind, its message holding `part`.
inline void expect_error(const std::function<void()>& call, ErrorKind kind, std::string_view part) {
    try {
        call();
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), kind) << e.what();
        EXPECT_NE(std::string_view(e.what()).find(part), std::string_view::npos) << e.what();
    }
}

}  // namespace kdr::testing
