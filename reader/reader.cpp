#include "kdr/reader.hpp"

#include <utility>

#include "kdr/memory_progress_bar.hpp"
#include "kdr/posix_platform.hpp"
#include "kdr/protocol.hpp"

namespace kdr {

std::unique_ptr<SerialPort> open_port(std::string path) {
    PortMap ports;
    ports.assign(1, std::move(path));
    ports.name_ports_by_device();
    return std::make_unique<PosixSerialPort>(std::move(ports));
}

// No user interface: messages go to the caller's callback, the message loop
// has nothing to turn.
class Reader::Host final : public HostServices {
  public:
    explicit Host(std::function<void(std::string_view, std::string_view)> on_message)
        : on_message_(std::move(on_message)) {}
    void MsgBox(std::string_view text, int /*style*/,
                std::optional<std::string_view> title) override {
        if (on_message_) {
            on_message_(title.value_or(std::string_view{}), text);
        }
    }
    void DoEvents() override {}
    [[nodiscard]] LocalDateTime Now() override { return local_time_.Now(); }

  private:
    std::function<void(std::string_view, std::string_view)> on_message_;
    ConsoleHost local_time_;
};

// The serial component with an eye on the download's answer as it arrives:
// its length, its header's count and the "?" CR ends of its records.
class Reader::ProgressPort final : public SerialPort {
  public:
    ProgressPort(std::unique_ptr<SerialPort> inner,
                 std::function<void(const DownloadProgress&)> on_progress)
        : inner_(std::move(inner)), on_progress_(std::move(on_progress)) {}

    [[nodiscard]] std::int16_t get_CommPort() const override { return inner_->get_CommPort(); }
    void put_CommPort(std::int16_t port) override { inner_->put_CommPort(port); }
    [[nodiscard]] std::string get_Settings() const override { return inner_->get_Settings(); }
    void put_Settings(std::string_view settings) override { inner_->put_Settings(settings); }
    [[nodiscard]] bool get_PortOpen() const override { return inner_->get_PortOpen(); }
    void put_PortOpen(bool open) override { inner_->put_PortOpen(open); }
    [[nodiscard]] int get_InBufferCount() override { return inner_->get_InBufferCount(); }
    void put_InBufferCount(int count) override { inner_->put_InBufferCount(count); }
    [[nodiscard]] std::string port_name() const override { return inner_->port_name(); }

    [[nodiscard]] std::string get_Input() override {
        std::string input = inner_->get_Input();
        if (counting_ && !input.empty()) {
            take(input);
            on_progress_(progress_);
        }
        return input;
    }
    void put_Output(std::string_view data) override {
        inner_->put_Output(data);
        // Everything after a download request, until the next request, is
        // its answer.
        counting_ = on_progress_ && is_download_request(data);
        if (counting_) {
            progress_ = {};
            header_.clear();
            last_ = '\0';
        }
    }

  private:
    static bool is_download_request(std::string_view frame) {
        return frame.size() >= 5 && frame.front() == protocol::STX &&
               frame[1] != protocol::kConnect &&
               frame.substr(frame.size() - 4, 2) == std::string_view("D\r");
    }

    void take(std::string_view input) {
        progress_.characters += input.size();
        constexpr std::size_t kHeaderLength = 14;
        if (header_.size() < kHeaderLength) {
            header_ += input.substr(0, kHeaderLength - header_.size());
            if (header_.size() == kHeaderLength && header_.front() == protocol::STX) {
                std::int32_t count = 0;
                bool digits = true;
                for (const char c : std::string_view(header_).substr(9)) {
                    digits = digits && c >= '0' && c <= '9';
                    count = count * 10 + (c - '0');
                }
                if (digits) {
                    progress_.announced = count;
                }
            }
        }
        for (const char c : input) {
            if (last_ == '?' && c == protocol::CR) {
                ++progress_.records;
            }
            last_ = c;
        }
    }

    std::unique_ptr<SerialPort> inner_;
    std::function<void(const DownloadProgress&)> on_progress_;
    bool counting_ = false;
    DownloadProgress progress_;
    std::string header_;
    char last_ = '\0';
};

Reader::Reader(std::unique_ptr<SerialPort> port, std::string_view password, ReaderOptions options)
    : clock_(std::make_unique<SteadyClock>()),
      host_(std::make_unique<Host>(std::move(options.on_message))) {
    if (!port) {
        throw Error(ErrorKind::InvalidArgument, "A Reader needs a serial port");
    }
    Variant port_number(port->get_CommPort());
    controller_ = std::make_unique<KDRController>(
        std::make_unique<ProgressPort>(std::move(port), std::move(options.on_progress)),
        std::make_unique<MemoryProgressBar>(), *host_, *clock_);
    if (controller_->OpenKDR(Variant(std::string(password)), port_number) == kVariantFalse) {
        throw_last_failure();
    }
}

Reader::~Reader() {
    try {
        static_cast<void>(controller_->CloseKDR());
    } catch (const std::exception&) {
        // A port that fails to close is gone already.
    }
}

void Reader::throw_last_failure() const {
    const Failure& failure = controller_->LastFailure();
    if (!failure) {
        throw Error(ErrorKind::IoError, "The reader operation failed for an unknown reason.");
    }
    throw Error(failure.kind, failure.description);
}

Download Reader::download() {
    std::optional<Download> download = controller_->DownloadRecords();
    if (!download) {
        throw_last_failure();
    }
    return std::move(*download);
}

LocalDateTime Reader::sync_clock() {
    const ClockSync sync = controller_->SyncClock();
    if (!sync.synced || !sync.read_back) {
        throw_last_failure();
    }
    return *sync.read_back;
}

EraseReply Reader::erase() {
    const EraseReply reply = controller_->EraseRecords();
    if (reply != EraseReply::Acknowledged && reply != EraseReply::Silent) {
        throw_last_failure();
    }
    return reply;
}

}  // namespace kdr
