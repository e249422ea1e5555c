// A download end to end over a pseudo-terminal from the reader simulator,
// which sends at the line's rate (19,200 baud, 1,920 characters a second):
// the wall time against the physical limit, and the host's CPU time.
//
// The simulator runs in a child process, so that the CPU time measured is the
// host's alone.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "kdr/controller.hpp"
#include "kdr/memory_progress_bar.hpp"
#include "kdr/port_factory.hpp"
#include "kdr/posix_platform.hpp"
#include "kdr/protocol.hpp"
#include "kdr/simulator.hpp"

namespace {

namespace sim = kdr::simulator;
using namespace std::chrono_literals;

std::atomic<sim::PtyServer*> served{nullptr};

extern "C" void stop_serving(int /*signal*/) {
    if (sim::PtyServer* server = served.load()) {
        server->request_stop();
    }
}

// The reader in a child process, for the life of the object.
class ReaderProcess {
  public:
    explicit ReaderProcess(sim::ReaderConfig config) {
        std::array<int, 2> pipe_fds{};
        if (::pipe2(pipe_fds.data(), O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            ::close(pipe_fds[0]);
            serve(std::move(config), pipe_fds[1]);
        }
        ::close(pipe_fds[1]);
        std::array<char, 256> path{};
        const ssize_t n = ::read(pipe_fds[0], path.data(), path.size() - 1);
        ::close(pipe_fds[0]);
        if (n <= 0) {
            stop();
            throw std::runtime_error("the simulator did not start");
        }
        path_.assign(path.data(), static_cast<std::size_t>(n));
    }
    ~ReaderProcess() { stop(); }
    ReaderProcess(const ReaderProcess&) = delete;
    ReaderProcess& operator=(const ReaderProcess&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }

  private:
    [[noreturn]] static void serve(sim::ReaderConfig config, int report_fd) {
        try {
            sim::PtyServer server(std::move(config));
            served = &server;
            struct sigaction action {};
            action.sa_handler = stop_serving;
            ::sigaction(SIGTERM, &action, nullptr);
            const std::string path = server.device_path();
            if (::write(report_fd, path.data(), path.size()) < 0) {
                ::_exit(1);
            }
            ::close(report_fd);
            server.run();
            served = nullptr;
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }

    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    pid_t pid_ = -1;
    std::string path_;
};

double process_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// About 20,000 characters: ten seconds on the line, so that the up to 0.3 s
// by which the silence wait may overlap the answer's end stays under 3 %.
constexpr std::size_t kRecords = 740;

void paced_download(benchmark::State& state) {
    sim::ReaderConfig config;
    config.password = "bench";
    config.clock = kdr::ConsoleHost().Now();
    config.records = sim::sample_records(kRecords, sim::add_seconds(config.clock, -60));
    config.pacing = sim::Pacing::LineRate;
    const std::size_t answer_chars = sim::download_answer(config.machine_id, config.records).size();
    const auto response_delay = std::chrono::duration<double>(config.response_delay).count();
    const ReaderProcess reader(config);

    kdr::SteadyClock clock;
    std::ostringstream messages;
    kdr::ConsoleHost host(messages);
    kdr::KDRController controller(
        [path = reader.path()](std::int16_t) { return kdr::make_byte_port(path); },
        std::make_unique<kdr::MemoryProgressBar>(), host, clock);
    kdr::Variant port(std::int16_t{1});
    if (controller.OpenKDR(kdr::Variant(config.password), port) != kdr::kVariantTrue) {
        state.SkipWithError(("no connection: " + controller.LastFailure().description).c_str());
        return;
    }

    double wall = 0.0;
    double cpu = 0.0;
    for (auto _ : state) {
        const double cpu_start = process_cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        const std::string text = controller.DownloadData();
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu = process_cpu_seconds() - cpu_start;
        const std::string summary = std::to_string(kRecords) + " record(s) received";
        if (text.find(summary) == std::string::npos) {
            state.SkipWithError("the download did not return every record");
            return;
        }
    }
    // The password check's fixed window of five reads 50 ms apart, the
    // request and the answer at 1,920 characters a second, the reader's
    // turnaround, and the silence wait that ends the collection.
    const std::size_t request_chars =
        kdr::protocol::build_frame(
            kdr::protocol::command_body("bench   ", kdr::protocol::kDownload))
            .size();
    const double limit =
        0.25 + response_delay + static_cast<double>(request_chars + answer_chars) / 1920.0 + 0.3;
    state.counters["chars"] = static_cast<double>(answer_chars);
    state.counters["wall_s"] = wall;
    state.counters["limit_s"] = limit;
    state.counters["cpu_pct"] = 100.0 * cpu / wall;
}

}  // namespace

BENCHMARK(paced_download)
    ->Name("download/paced")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
