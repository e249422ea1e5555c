#include "kdr/reader.hpp"

#include <algorithm>
#include <utility>

#include "kdr/port_factory.hpp"
#include "kdr/protocol.hpp"
#include "kdr/system.hpp"
#include "protocol/record_decoding.hpp"

namespace kdr {

std::unique_ptr<BytePort> open_port(std::string_view word) {
    return make_byte_port(word);
}

namespace {

// No user interface: local time from the system, no message loop to turn.
class ProgramRuntime final : public HostRuntime {
  public:
    [[nodiscard]] LocalDateTime Now() override { return local_now(); }
    void DoEvents() override {}
};

class ProgressCallback final : public engine::ProgressObserver {
  public:
    explicit ProgressCallback(std::function<void(const DownloadProgress&)> callback)
        : callback_(std::move(callback)) {}
    void on_progress(const engine::ProgressEvent& event) override {
        if (callback_ && event.stage == engine::Stage::Arrived) {
            callback_(event.download);
        }
    }

  private:
    std::function<void(const DownloadProgress&)> callback_;
};

// The monotonic clock of the engine's waits. With a check it sleeps in
// slices, giving the check a turn between them, so that a program can end a
// call while the line is silent.
class CheckedClock final : public Clock {
  public:
    explicit CheckedClock(std::function<void()> check) : check_(std::move(check)) {}
    [[nodiscard]] Instant now() override { return clock_->now(); }
    void sleep_until(Instant deadline) override {
        if (!check_) {
            clock_->sleep_until(deadline);
            return;
        }
        using namespace std::chrono_literals;
        constexpr Duration kSlice = 50ms;
        check_();
        for (Instant now = clock_->now(); now < deadline; now = clock_->now()) {
            clock_->sleep_until(std::min(deadline, now + kSlice));
            if (clock_->now() < deadline) {
                check_();
            }
        }
    }

  private:
    std::unique_ptr<Clock> clock_ = make_monotonic_clock();
    std::function<void()> check_;
};

// The port as the engine sees it: a read's wait is cut into slices with the
// check between them, so that a program can end a call while the line is
// silent.
class CheckedPort final : public ForwardingPort {
  public:
    CheckedPort(std::unique_ptr<BytePort> port, std::function<void()> check)
        : ForwardingPort(*port), port_(std::move(port)), check_(std::move(check)) {}

    std::size_t read(std::string& into, Clock::Instant deadline) override {
        if (!check_) {
            return port_->read(into, deadline);
        }
        using namespace std::chrono_literals;
        constexpr Clock::Duration kSlice = 50ms;
        check_();
        while (true) {
            const auto slice_end = std::min(deadline, clock_->now() + kSlice);
            const std::size_t got = port_->read(into, slice_end);
            if (got > 0 || slice_end == deadline) {
                return got;
            }
            check_();
        }
    }

  private:
    std::unique_ptr<BytePort> port_;
    std::function<void()> check_;
    std::unique_ptr<Clock> clock_ = make_monotonic_clock();
};

// The port stays open from the connection to the end.
class HeldOpen final : public engine::PortHold {
  public:
    void acquire() override {}
    void release() override {}
};

[[noreturn]] void raise(const Failure& failure) {
    throw Error(failure.kind, one_line(failure.description));
}

}  // namespace

struct Reader::State {
    State(std::unique_ptr<BytePort> line, std::string_view password_text, ReaderOptions options)
        : port(std::move(line), options.on_wait),
          clock(std::move(options.on_wait)),
          progress(std::move(options.on_progress)),
          timing(options.latency),
          password(password_text),
          empty_password(password_text.empty()),
          engine(port, clock, runtime, progress, hold, timing) {
        static_cast<void>(protocol::pad_password(password));
    }

    CheckedPort port;
    CheckedClock clock;
    ProgramRuntime runtime;
    ProgressCallback progress;
    HeldOpen hold;
    engine::LineTiming timing;
    std::string password;  // as sent: padded
    bool empty_password;
    engine::Engine engine;
    // The last exchange was an accepted password: the next download or
    // erase request follows it without another.
    bool just_connected = false;

    // The reader sees a password exchange right before every download and
    // erase request.
    void connect_unless_just_connected() {
        if (!just_connected) {
            connect();
        }
        just_connected = false;
    }

    void connect() {
        just_connected = false;
        Failure refusal = engine.connect(password);
        if (refusal.kind == ErrorKind::Refused && empty_password) {
            refusal.description +=
                " No password was given (eight spaces were sent): give the reader's password.";
        }
        if (refusal) {
            raise(refusal);
        }
        just_connected = true;
    }
};

namespace {
std::unique_ptr<BytePort> required(std::unique_ptr<BytePort> port) {
    if (!port) {
        throw Error(ErrorKind::InvalidArgument, "A Reader needs a port");
    }
    return port;
}
}  // namespace

Reader::Reader(std::unique_ptr<BytePort> port, std::string_view password, ReaderOptions options)
    : state_(std::make_unique<State>(required(std::move(port)), password, std::move(options))) {
    using namespace std::chrono_literals;
    BytePort& line = state_->port;
    if (!line.is_open()) {
        line.open(parse_line_settings(protocol::kLineSettings));
    }
    state_->engine.settle(5s);
    state_->connect();
}

Reader::Reader(std::string_view port, std::string_view password, ReaderOptions options)
    : Reader(open_port(port), password, std::move(options)) {}

Reader::~Reader() {
    if (!state_) {
        return;
    }
    state_->port.close();
}

Reader::Reader(Reader&& other) noexcept = default;

Reader& Reader::operator=(Reader&& other) noexcept {
    if (this != &other) {
        Reader gone(std::move(*this));
        state_ = std::move(other.state_);
    }
    return *this;
}

Reader::State& Reader::state() {
    if (!state_) {
        throw Error(ErrorKind::NotConnected, "This Reader was moved from: it has no port.");
    }
    return *state_;
}

std::string Reader::port_name() const {
    return state_ ? state_->port.name() : std::string();
}

Download Reader::download() {
    State& s = state();
    s.connect_unless_just_connected();
    protocol::DownloadSink records;
    engine::DownloadOutcome outcome = s.engine.download(
        s.password, [&](int, std::string_view) -> protocol::AnswerSink& { return records; });
    if (!outcome.has_header) {
        raise(outcome.failure);
    }
    Download download = records.take();
    download.host_year = outcome.host_year;
    download.answer = std::move(outcome.answer);
    return download;
}

LocalDateTime Reader::sync_clock() {
    state().just_connected = false;
    const engine::ClockSync sync = state().engine.sync_clock(state().password);
    if (!sync.synced || !sync.read_back) {
        raise(sync.failure);
    }
    return *sync.read_back;
}

EraseReply Reader::erase() {
    State& s = state();
    s.connect_unless_just_connected();
    const engine::EraseOutcome outcome = s.engine.erase(s.password);
    if (outcome.failure) {
        raise(outcome.failure);
    }
    return outcome.reply;
}

}  // namespace kdr
