// The engine's own behaviour, beneath both faces: the wait for a quiet line
// before a connection, on a virtual clock.
#include "kdr/engine.hpp"

#include <gtest/gtest.h>

#include "fake_byte_port.hpp"
#include "kdr/protocol.hpp"
#include "recording_host.hpp"
#include "virtual_clock.hpp"

namespace kdr::testing {
namespace {

using namespace std::chrono_literals;

class NoProgress final : public engine::ProgressObserver {
  public:
    void on_progress(const engine::ProgressEvent& /*event*/) override {}
};
class KeptOpen final : public engine::PortHold {
  public:
    void acquire() override {}
    void release() override {}
};

TEST(EngineSettle, WaitsForAQuietLineAndSaysWhenItNeverIs) {
    const struct {
        const char* name;
        Clock::Duration busy_for;  // the rest of an earlier answer arrives until then
        bool settles;
        Clock::Duration returns_by;
    } cases[] = {
        {"quiet line", 0ms, true, 50ms},
        {"an answer ending after 1 s", 1s, true, 1s + 50ms},
        {"a line that stays busy", 60s, false, 5s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualClock clock;
        RecordingHost host(clock);
        FakeBytePort port(clock);
        NoProgress progress;
        KeptOpen hold;
        port.open(LineSettings{});
        for (auto at = 0ms; at < c.busy_for; at += 20ms) {
            port.arrive(std::string(40, 'x'), at);
        }
        engine::LineTiming timing;
        engine::Engine engine(port, clock, host, progress, hold, timing);
        const auto start = clock.now();
        if (c.settles) {
            EXPECT_NO_THROW(engine.settle(5s));
            EXPECT_EQ(port.available(), 0U) << "what came before is discarded";
        } else {
            try {
                engine.settle(5s);
                ADD_FAILURE() << "settled on a busy line";
            } catch (const Error& error) {
                EXPECT_EQ(error.kind(), ErrorKind::LineBusy);
                EXPECT_NE(std::string(error.what()).find("still busy"), std::string::npos);
            }
        }
        EXPECT_LE(clock.now() - start, c.returns_by);
        EXPECT_TRUE(port.record().outputs.empty()) << "nothing is sent while waiting";
    }
}

}  // namespace
}  // namespace kdr::testing
