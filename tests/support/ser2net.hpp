// A real ser2net in front of a device, for the tests of network ports: once
// as a raw TCP port, once as a Telnet port with RFC 2217 control.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

namespace kdr::testing {

/// The installed ser2net, if any (scripts/ensure-deps.sh installs it).
inline std::optional<std::string> ser2net_binary() {
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
        if (::access(path, X_OK) == 0) {
            return path;
        }
    }
    return std::nullopt;
}

/// A loopback port nobody listens on, as the system hands them out.
inline int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
    ::close(fd);
    return ntohs(address.sin_port);
}

/// The inode of the socket listening on the loopback port, 0 when none
/// does; read from the kernel's table so that no connection disturbs the
/// server.
inline unsigned long listener_inode(int port) {
    std::ifstream table("/proc/net/tcp");
    const std::string wanted = fmt::format("0100007F:{:04X}", port);
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        std::string remote;
        std::string state;
        std::string skip;
        unsigned long inode = 0;
        fields >> slot >> local >> remote >> state >> skip >> skip >> skip >> skip >> skip >> inode;
        if (local == wanted && state == "0A") {
            return inode;
        }
    }
    return 0;
}

inline bool listening(int port) {
    return listener_inode(port) != 0;
}

/// Whether the process holds the socket: tells our server from another
/// test's that took the same free port first.
inline bool holds_socket(pid_t pid, unsigned long inode) {
    const std::string wanted = fmt::format("socket:[{}]", inode);
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(fmt::format("/proc/{}/fd", pid), error)) {
        if (std::filesystem::read_symlink(entry.path(), error).string() == wanted) {
            return true;
        }
    }
    return false;
}

/// ser2net in the foreground, for one test, in front of a device.
class Ser2net {
  public:
    /// Starts ser2net on `port`, or on a free port when 0, and waits until
    /// it listens.
    Ser2net(const std::string& binary, const std::string& device, bool rfc2217, int port = 0)
        : dir_(std::filesystem::temp_directory_path() /
               fmt::format("kdr-ser2net-{}-{}", ::getpid(), counter_++)),
          scheme_(rfc2217 ? "rfc2217" : "tcp") {
        std::filesystem::create_directories(dir_);
        // A free port may be taken by another test's server before ours
        // binds it: then try another.
        bool started = false;
        for (int attempt = 0; attempt < 5 && !started; ++attempt) {
            port_ = port != 0 ? port : free_port();
            started = start(binary, device, rfc2217);
            if (!started) {
                kill();
            }
            if (port != 0) {
                break;
            }
        }
        EXPECT_TRUE(started) << "ser2net did not start: " << log_text();
    }
    ~Ser2net() {
        kill();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    /// The port word for the server ("tcp://127.0.0.1:PORT").
    [[nodiscard]] std::string word() const {
        return fmt::format("{}://127.0.0.1:{}", scheme_, port_);
    }
    [[nodiscard]] int port() const { return port_; }
    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    [[nodiscard]] std::string log_text() const {
        std::ifstream in(dir_ / "ser2net.log", std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    bool start(const std::string& binary, const std::string& device, bool rfc2217) {
        using namespace std::chrono_literals;
        const std::filesystem::path config = dir_ / "ser2net.yaml";
        std::ofstream(config) << fmt::format(
            "%YAML 1.1\n---\n"
            "connection: &reader\n"
            "  accepter: {}tcp,127.0.0.1,{}\n"
            "  connector: serialdev,{},19200n81,local\n",
            rfc2217 ? std::string_view("telnet(rfc2217),") : std::string_view(), port_, device);
        const std::string log = (dir_ / "ser2net.log").string();
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            // -n: in the foreground; -u: no lock files, which need root.
            ::execl(binary.c_str(), binary.c_str(), "-n", "-u", "-c", config.c_str(), nullptr);
            ::_exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid_, nullptr, WNOHANG) != 0) {
                pid_ = -1;  // it ended, and was reaped
                return false;
            }
            const unsigned long inode = listener_inode(port_);
            if (inode != 0 && holds_socket(pid_, inode)) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    static inline int counter_ = 0;
    std::filesystem::path dir_;
    int port_ = 0;
    std::string scheme_;
    pid_t pid_ = -1;
};

}  // namespace kdr::testing
