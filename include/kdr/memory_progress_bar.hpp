// A progress bar without a window: it keeps the values the controller sets
// and tells an observer when the shown progress changes. A console host draws
// a progress line from it; a test reads the values back.
#pragma once

#include <functional>
#include <utility>

#include "kdr/platform.hpp"

namespace kdr {

class MemoryProgressBar final : public ProgressBar {
  public:
    /// Called with (Value, Max) after either of them changed.
    using Observer = std::function<void(float value, float max)>;

    /// Starts as the hosted bar does: Max 100, Value 0, position and size 0.
    explicit MemoryProgressBar(Observer observer = {}) : observer_(std::move(observer)) {}

    [[nodiscard]] float get_Max() const override { return max_; }
    /// Stores the maximum; the observer hears of it when it differs.
    void put_Max(float value) override;
    [[nodiscard]] float get_Value() const override { return value_; }
    /// Stores the value; the observer hears of it when it differs.
    void put_Value(float value) override;

    [[nodiscard]] float get_Left() const override { return left_; }
    void put_Left(float value) override { left_ = value; }
    [[nodiscard]] float get_Top() const override { return top_; }
    void put_Top(float value) override { top_ = value; }
    [[nodiscard]] float get_Width() const override { return width_; }
    void put_Width(float value) override { width_ = value; }
    [[nodiscard]] float get_Height() const override { return height_; }
    void put_Height(float value) override { height_ = value; }

  private:
    void notify() const;

    Observer observer_;
    float max_ = 100.0F;
    float value_ = 0.0F;
    float left_ = 0.0F;
    float top_ = 0.0F;
    float width_ = 0.0F;
    float height_ = 0.0F;
};

}  // namespace kdr
