// A scripted serial component on a virtual clock. A test schedules what the
// "reader" sends and when, or installs a responder that answers each frame the
// controller writes; the fake records every call for assertions.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kdr/error.hpp"
#include "kdr/platform.hpp"
#include "virtual_clock.hpp"

namespace kdr::testing {

class FakeSerialPort : public SerialPort {
  public:
    /// Called with every text the controller outputs.
    using Responder = std::function<void(FakeSerialPort& port, std::string_view written)>;

    struct Shared {
        // What outlives the fake once the controller owns it.
        std::vector<std::string> outputs;
        std::vector<Clock::Instant> output_times;
        std::vector<std::string> calls;  ///< "open 3", "close", "discard", "output", "input"
        int opens = 0;
        int input_reads = 0;
    };

    explicit FakeSerialPort(VirtualClock& clock) : clock_(clock) {}

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

    [[nodiscard]] Shared& record() { return *shared_; }
    [[nodiscard]] std::shared_ptr<Shared> shared_record() const { return shared_; }
    [[nodiscard]] std::string settings() const { return settings_; }

    // SerialPort
    std::int16_t get_CommPort() const override { return port_; }
    void put_CommPort(std::int16_t port) override;
    std::string get_Settings() const override { return settings_; }
    void put_Settings(std::string_view settings) override { settings_ = settings; }
    bool get_PortOpen() const override { return open_; }
    void put_PortOpen(bool open) override;
    int get_InBufferCount() override;
    void put_InBufferCount(int count) override;
    std::string get_Input() override;
    void put_Output(std::string_view data) override;

  private:
    void require_open(const char* what);
    void collect_arrivals();

    VirtualClock& clock_;
    Responder responder_;
    std::deque<std::pair<Clock::Instant, std::string>> pending_;
    std::string buffer_;
    std::optional<Error> open_error_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::string settings_ = "9600,n,8,1";
    std::int16_t port_ = 1;
    bool open_ = false;
    bool dropped_ = false;
    bool quiet_hangup_ = false;
};

}  // namespace kdr::testing
