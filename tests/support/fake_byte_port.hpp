// A scripted byte port on a virtual clock. A test schedules what the
// "reader" sends and when, or installs a responder that answers each frame
// written; the fake records every call for assertions. A read that waits
// moves the virtual clock to the next arrival or the deadline.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kdr/byte_port.hpp"
#include "kdr/error.hpp"
#include "kdr/serial_component.hpp"
#include "virtual_clock.hpp"

namespace kdr::testing {

class FakeBytePort : public BytePort {
  public:
    /// Called with every text written.
    using Responder = std::function<void(FakeBytePort& port, std::string_view written)>;

    struct Shared {
        std::vector<std::string> outputs;
        std::vector<Clock::Instant> output_times;
        std::vector<std::string> calls;  ///< "open 3", "close", "discard", "output", "input"
        int opens = 0;
        int input_reads = 0;
    };

    explicit FakeBytePort(VirtualClock& clock) : clock_(clock) {}

    // Script.
    void set_responder(Responder responder) { responder_ = std::move(responder); }
    /// Characters that arrive `after` from now.
    void arrive(std::string bytes, Clock::Duration after = Clock::Duration::zero());
    /// The next opens fail with this error, until cleared.
    void fail_opens(std::optional<Error> error) { open_error_ = std::move(error); }
    /// From now on every use of the open port throws LineDropped.
    void drop_line() { dropped_ = true; }
    /// From now on reads return nothing and no error, while asking the
    /// port's state throws LineDropped: a hung-up line as a serial driver
    /// under Wine shows it.
    void hang_up_quietly() { quiet_hangup_ = true; }
    void set_link(LinkKind link) noexcept { link_ = link; }

    /// An opener for the control: every port number opens this port, and the
    /// record says "open N".
    [[nodiscard]] PortOpener opener();

    [[nodiscard]] Shared& record() { return *shared_; }
    [[nodiscard]] std::string settings_text() const { return to_string(settings_); }

    // BytePort
    void open(const LineSettings& settings) override;
    void close() noexcept override;
    [[nodiscard]] LineState state() const noexcept override;
    [[nodiscard]] LineSettings settings() const override { return settings_; }
    void apply(const LineSettings& settings) override { settings_ = settings; }
    void write(std::string_view bytes) override;
    std::size_t read(std::string& into, Clock::Instant deadline) override;
    [[nodiscard]] std::size_t available() override;
    void discard_input() override;
    [[nodiscard]] std::string name() const override { return "port " + std::to_string(number_); }
    [[nodiscard]] LinkKind link() const noexcept override { return link_; }

  private:
    void require_open(const char* what);
    void collect_arrivals();

    VirtualClock& clock_;
    Responder responder_;
    std::deque<std::pair<Clock::Instant, std::string>> pending_;
    std::string buffer_;
    std::optional<Error> open_error_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    LineSettings settings_ = parse_line_settings("9600,n,8,1");
    std::int16_t number_ = 1;
    LinkKind link_ = LinkKind::Local;
    bool open_ = false;
    bool dropped_ = false;
    bool quiet_hangup_ = false;
};

}  // namespace kdr::testing
