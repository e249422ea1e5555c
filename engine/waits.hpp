// Timed waits. A wait of d ends at the first clock reading more than d after
// its start. Time is measured on a monotonic clock, so a wait keeps its
// length across midnight or a change of the wall clock.
#pragma once

#include <chrono>

#include "kdr/platform.hpp"
#include "kdr/timing.hpp"

namespace kdr::engine {

using namespace std::chrono_literals;

/// Blocks the thread for the wait, without using the processor; the host's
/// message loop gets no turn.
void busy_wait(Clock& clock, Clock::Instant start, Clock::Duration length);

/// Gives the host's message loop one turn after every clock reading that did
/// not end the wait, and rests between turns until the end of the wait or the
/// next message for the host.
void yielding_wait(Clock& clock, HostRuntime& host, Clock::Instant start, Clock::Duration length);

/// Reads and drops what arrives until nothing has come for `quiet`; throws
/// Error(LineBusy) when characters still come after `limit`.
void await_quiet(Line& line, Clock::Duration quiet, Clock::Duration limit);

}  // namespace kdr::engine
