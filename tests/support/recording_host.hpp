// A host and a progress bar that record what the controller does with them.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kdr/platform.hpp"
#include "virtual_clock.hpp"

namespace kdr::testing {

struct ShownMessage {
    std::string text;
    int style = 0;
    std::optional<std::string> title;
    friend bool operator==(const ShownMessage&, const ShownMessage&) = default;
};

/// The host's services on a virtual clock: local time runs on with the clock
/// from a start the test chooses.
class RecordingHost : public HostServices {
  public:
    explicit RecordingHost(VirtualClock& clock, LocalDateTime start = {2007, 11, 16, 8, 5, 3})
        : clock_(clock), start_(start) {}

    void MsgBox(std::string_view text, int style, std::optional<std::string_view> title) override;
    void DoEvents() override;
    LocalDateTime Now() override;

    /// Runs during each message-loop turn (a test's nested call, say).
    void on_do_events(std::function<void()> handler) { on_do_events_ = std::move(handler); }
    void set_local_time(LocalDateTime start);

    std::vector<ShownMessage> messages;
    int do_events_calls = 0;

  private:
    VirtualClock& clock_;
    LocalDateTime start_;
    Clock::Duration start_offset_{};
    std::function<void()> on_do_events_;
};

/// A progress bar that keeps its values and the history of Value.
class RecordingProgressBar : public ProgressBar {
  public:
    struct State {
        float max = 100.0F, value = 0.0F, left = 0.0F, top = 0.0F, width = 0.0F, height = 0.0F;
        std::vector<float> value_history;
        /// Runs before each Value is stored; may throw to play a failing bar.
        std::function<void(float)> before_put_value;
    };

    float get_Max() const override { return state_->max; }
    void put_Max(float value) override { state_->max = value; }
    float get_Value() const override { return state_->value; }
    void put_Value(float value) override {
        if (state_->before_put_value) {
            state_->before_put_value(value);
        }
        state_->value = value;
        state_->value_history.push_back(value);
    }
    float get_Left() const override { return state_->left; }
    void put_Left(float value) override { state_->left = value; }
    float get_Top() const override { return state_->top; }
    void put_Top(float value) override { state_->top = value; }
    float get_Width() const override { return state_->width; }
    void put_Width(float value) override { state_->width = value; }
    float get_Height() const override { return state_->height; }
    void put_Height(float value) override { state_->height = value; }

    /// Outlives the bar once the controller owns it.
    [[nodiscard]] std::shared_ptr<State> state() const { return state_; }

  private:
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace kdr::testing
