#include "kdr/memory_progress_bar.hpp"

namespace kdr {

// Exact comparison on purpose: the observer hears of every new value, and a
// value set again unchanged draws nothing new.
void MemoryProgressBar::put_Max(float value) {
    const bool changed = !(value == max_);
    max_ = value;
    if (changed) {
        notify();
    }
}

void MemoryProgressBar::put_Value(float value) {
    const bool changed = !(value == value_);
    value_ = value;
    if (changed) {
        notify();
    }
}

void MemoryProgressBar::notify() const {
    if (observer_) {
        observer_(value_, max_);
    }
}

}  // namespace kdr
