// The whole download collection: a controller on the unit tests' fakes, whose
// reader answers "D" with a fuzzed answer in fuzzed chunks after fuzzed
// pauses, while the line may drop or the host may call back in.
// The input layout is in download_script.hpp.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "download_script.hpp"
#include "fake_byte_port.hpp"
#include "fuzz_check.hpp"
#include "kdr/controller.hpp"
#include "kdr/error.hpp"
#include "kdr/protocol.hpp"
#include "protocol/record_decoding.hpp"
#include "recording_host.hpp"
#include "virtual_clock.hpp"

namespace {

using namespace std::chrono_literals;
using kdr::fuzz::check;
using kdr::testing::FakeBytePort;
using kdr::testing::VirtualClock;

// The fake port, keeping what the controller read after the download
// request.
class CapturingPort : public FakeBytePort {
  public:
    using FakeBytePort::FakeBytePort;
    std::size_t read(std::string& into, kdr::Clock::Instant deadline) override {
        const std::size_t before = into.size();
        const std::size_t got = FakeBytePort::read(into, deadline);
        if (capturing) {
            collected += std::string_view(into).substr(before);
        }
        return got;
    }
    bool capturing = false;
    std::string collected;
};

// Which part of the answer the collection must take, from the arrival times
// alone: every chunk up to the first pause that may end the collection, and
// none after a pause that must end it. A pause is measured between chunks
// that carry characters (an empty chunk is no arrival).
struct Expected {
    std::size_t at_least = 0;
    std::size_t at_most = 0;
};

Expected expected_collection(const kdr::fuzz::DownloadScript& script) {
    constexpr auto kSettling = 100ms;
    constexpr auto kSilence = 300ms;
    Expected expected;
    bool complete_so_far = true;
    std::optional<std::chrono::milliseconds> last_arrival;
    std::chrono::milliseconds at{};
    std::size_t size = 0;
    for (const auto& chunk : script.chunks) {
        at += chunk.pause;
        if (!chunk.bytes.empty()) {
            // The buffer is first looked at after the settling wait; after
            // each emptying read the collection waits for the silence, which
            // starts at most one silence after the previous arrival.
            const bool surely_taken =
                last_arrival ? at - *last_arrival <= kSilence : at <= kSettling;
            const bool surely_lost =
                last_arrival ? at - *last_arrival > 2 * kSilence : at > kSettling;
            if (surely_lost) {
                break;
            }
            complete_so_far = complete_so_far && surely_taken;
            last_arrival = at;
        }
        size += chunk.bytes.size();
        expected.at_most = size;
        if (complete_so_far) {
            expected.at_least = size;
        }
    }
    return expected;
}

std::chrono::nanoseconds schedule_length(const kdr::fuzz::DownloadScript& script) {
    std::chrono::nanoseconds total{};
    for (const auto& chunk : script.chunks) {
        total += chunk.pause;
    }
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kdr::fuzz::DownloadScript script =
        kdr::fuzz::parse_script(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string answer = script.answer();

    VirtualClock clock;
    kdr::testing::RecordingHost host(clock);
    CapturingPort port(clock);
    auto progress = std::make_unique<kdr::testing::RecordingProgressBar>();
    const auto bar = progress->state();
    kdr::KDRController controller(port.opener(), std::move(progress), host, clock);

    const std::string download_request = kdr::protocol::build_frame(
        kdr::protocol::command_body(std::string(8, ' '), kdr::protocol::kDownload));
    port.set_responder([&](FakeBytePort& p, std::string_view written) {
        if (written.substr(0, 2) == "\x02P") {
            p.arrive(kdr::protocol::ack_reply(), 10ms);
        } else if (written == download_request) {
            port.capturing = true;
            std::chrono::milliseconds at{};
            for (const auto& chunk : script.chunks) {
                at += chunk.pause;
                p.arrive(chunk.bytes, at);
            }
        }
    });
    kdr::Variant port_number(std::int16_t{1});
    check(controller.OpenKDR(kdr::Variant(), port_number) == kdr::kVariantTrue, "connection opens");
    controller.put_ShowMachineID(kdr::to_variant_bool(script.show_machine_id));
    controller.put_ShowRTC(kdr::to_variant_bool(script.show_rtc));

    int turns = 0;
    bool dropped_while_open = false;
    host.on_do_events([&] {
        if (!port.capturing || turns++ != script.event_turn) {
            return;
        }
        if (script.drop_line) {
            dropped_while_open = port.is_open();
            port.drop_line();
        }
        if (script.nested_call) {
            const std::size_t outputs = port.record().outputs.size();
            check(controller.DownloadData().empty(), "a nested call returns the empty text");
            check(controller.LastFailure().kind == kdr::ErrorKind::OperationInProgress,
                  "a nested call says why");
            check(port.record().outputs.size() == outputs, "a nested call sends nothing");
        }
    });

    const auto start = clock.now();
    const std::size_t messages_before = host.messages.size();
    const std::string result = controller.DownloadData();
    const auto elapsed = clock.now() - start;
    const kdr::Failure failure = controller.LastFailure();
    const bool message_shown = host.messages.size() == messages_before + 1;

    // The connection check (five reads 50 ms apart), the settling wait and
    // the schedule bound the call, with at most two silence waits after the
    // last arrival: the one it fell into, then the one after the emptying read.
    check(elapsed <= 250ms + 100ms + schedule_length(script) + 2 * 300ms + 1ms, "time bound");
    check(bar->value == 0.0F, "progress back to 0");
    check(controller.get_Opened() == kdr::kVariantTrue, "the download keeps the connection");

    if (dropped_while_open) {
        check(result.empty() && failure.kind == kdr::ErrorKind::LineDropped && message_shown,
              "a dropped line ends the download with its reason");
        return 0;
    }
    const std::string& collected = port.collected;
    const Expected expected = expected_collection(script);
    check(std::string_view(answer).substr(0, collected.size()) == collected,
          "collected in order, nothing lost or added");
    check(collected.size() >= expected.at_least, "every chunk before a short pause is taken");
    check(collected.size() <= expected.at_most, "nothing after a long silence is taken");

    kdr::protocol::DecodeOptions options{script.show_machine_id, script.show_rtc, host.Now().year};
    std::string decoded;
    std::optional<kdr::Error> decode_error;
    try {
        decoded = kdr::protocol::decode_download(collected, options);
    } catch (const kdr::Error& error) {
        decode_error = error;
    }
    if (decode_error) {
        check(result.empty(), "a bad answer gives the empty text");
        check(failure.kind == decode_error->kind() && failure.description == decode_error->what() &&
                  message_shown,
              "a bad answer is reported with its reason");
    } else {
        check(result == decoded, "the result is the collected answer decoded");
        // What arrived is returned; whether it is the reader's whole memory
        // is said: an incomplete one with a message, one without a header
        // without.
        const kdr::Download download =
            kdr::protocol::decode_records(collected, options.current_year);
        const kdr::ErrorKind said = download.complete()   ? kdr::ErrorKind::None
                                    : download.has_header ? kdr::ErrorKind::Incomplete
                                    : collected.empty()   ? kdr::ErrorKind::NoAnswer
                                                          : kdr::ErrorKind::BadAnswer;
        check(failure.kind == said && message_shown == (said == kdr::ErrorKind::Incomplete),
              "a download says whether the reader's whole memory arrived");
        check(!port.is_open(), "the port is closed after a download");
    }
    return 0;
}
