// The engine's own behaviour, beneath both faces, on a virtual clock: the
// wait for a quiet line before a connection, and the line timing's decisions
// of when a reply or a download is over.
#include "kdr/engine.hpp"

#include <gtest/gtest.h>

#include "fake_byte_port.hpp"
#include "kdr/protocol.hpp"
#include "kdr/simulator.hpp"
#include "protocol/record_decoding.hpp"
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

// The line timing on a reader stub: when does each wait end, and what did it
// take in. Times are from the end of the request.
TEST(LineTiming, EndsEachWaitWhenWhatItWaitsForHasCome) {
    namespace sim = kdr::simulator;
    const std::string answer = sim::download_answer(
        "KDR00001", sim::sample_records(3, LocalDateTime{2026, 12, 8, 9, 0, 0}));
    const std::string cut = answer.substr(0, answer.size() - 1);
    const std::string half = answer.substr(0, answer.size() / 2);
    const std::string rest = answer.substr(answer.size() / 2);
    // The limits, for a round trip measured or given.
    const auto guard = [](Clock::Duration trip) { return 4 * 520833ns + 10ms + trip / 20; };
    const auto silence = [](Clock::Duration trip) { return 300ms + trip; };
    constexpr Clock::Duration kLocal = 2500us;  // the password reply's round trip
    const struct {
        const char* name;
        LinkKind link;
        Clock::Duration latency;  // given by the user
        std::vector<std::pair<Clock::Duration, std::string>> download;
        std::string taken;
        bool complete;
        Clock::Duration ends_at;
    } cases[] = {
        {"the announced records, then quiet: a short guard",
         LinkKind::Local,
         0ms,
         {{5ms, answer}},
         answer,
         true,
         5ms + guard(kLocal)},
        {"a byte inside the guard: the silence rule",
         LinkKind::Local,
         0ms,
         {{5ms, answer}, {7ms, "x"}},
         answer + "x",
         false,
         7ms + silence(kLocal)},
        {"a pause mid-answer shorter than the silence",
         LinkKind::Local,
         0ms,
         {{5ms, half}, {205ms, rest}},
         answer,
         true,
         205ms + guard(kLocal)},
        {"a pause mid-answer longer than the silence",
         LinkKind::Local,
         0ms,
         {{5ms, half}, {605ms, rest}},
         half,
         false,
         5ms + silence(kLocal)},
        {"an answer cut short: the silence rule",
         LinkKind::Local,
         0ms,
         {{5ms, cut}},
         cut,
         false,
         5ms + silence(kLocal)},
        {"nothing: the reply window", LinkKind::Local, 0ms, {}, "", false, 250ms + kLocal},
        {"a slow link, its round trip measured",
         LinkKind::Network,
         0ms,
         {{400ms, half}, {450ms, rest}},
         answer,
         true,
         450ms + guard(300ms)},
        {"a slower link, its latency given",
         LinkKind::Network,
         500ms,
         {{700ms, half}, {750ms, rest}},
         answer,
         true,
         750ms + guard(500ms)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualClock clock;
        RecordingHost host(clock);
        FakeBytePort port(clock);
        port.set_link(c.link);
        port.open(parse_line_settings(protocol::kLineSettings));
        NoProgress progress;
        KeptOpen hold;
        engine::LineTiming timing(c.latency);
        engine::Engine engine(port, clock, host, progress, hold, timing);
        Clock::Instant request_end{};
        const Clock::Duration reply_after = c.link == LinkKind::Network ? 300ms : 2500us;
        port.set_responder([&](FakeBytePort& p, std::string_view written) {
            request_end = clock.now();
            if (written.find(protocol::kDownload) == std::string_view::npos) {
                p.arrive(protocol::ack_reply(), reply_after);
                return;
            }
            for (const auto& [at, bytes] : c.download) {
                p.arrive(bytes, at);
            }
        });

        ASSERT_FALSE(engine.connect(std::string(8, ' '))) << "the acknowledgement is taken";
        EXPECT_EQ(clock.now() - request_end, reply_after) << "the password reply ends its wait";
        EXPECT_EQ(timing.round_trip(), std::max(reply_after, c.latency));

        protocol::DownloadSink sink;
        const engine::DownloadOutcome outcome =
            engine.download(std::string(8, ' '),
                            [&](int, std::string_view) -> protocol::AnswerSink& { return sink; });
        EXPECT_EQ(outcome.answer, c.taken);
        EXPECT_EQ(outcome.complete, c.complete);
        EXPECT_NEAR(std::chrono::duration<double>(clock.now() - request_end).count(),
                    std::chrono::duration<double>(c.ends_at).count(), 0.0005);
    }
}

}  // namespace
}  // namespace kdr::testing
