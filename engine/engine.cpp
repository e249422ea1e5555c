#include "kdr/engine.hpp"

#include <fmt/format.h>

#include <string>

#include "engine/waits.hpp"
#include "kdr/protocol.hpp"

namespace kdr::engine {

namespace {

std::string describe_refusal(std::string_view reply) {
    if (reply == protocol::nak_reply()) {
        return "The reader refused the password.";
    }
    return fmt::format(
        "The reader's reply ({} characters) is not its acknowledgement: a wrong password, "
        "a garbled line or another device on the port.",
        reply.size());
}

}  // namespace

void Engine::report(Stage stage, int step) {
    progress_.on_progress(ProgressEvent{stage, download_progress_, step});
}

void Engine::settle(Clock::Duration quiet, Clock::Duration limit) {
    const auto start = clock_.now();
    auto last_arrival = start;
    while (true) {
        if (!port_.get_Input().empty()) {
            last_arrival = clock_.now();
        }
        const auto now = clock_.now();
        if (now - last_arrival >= quiet) {
            return;
        }
        if (now - start >= limit) {
            throw Error(
                ErrorKind::LineBusy,
                fmt::format("The line on {} is still busy: characters kept arriving for "
                            "{} s before anything was sent (a reader still sending the "
                            "answer to an earlier, interrupted request, or another "
                            "device on the port). Wait until it ends, or take the "
                            "reader out of its cradle and put it back.",
                            port_.port_name(),
                            std::chrono::duration_cast<std::chrono::seconds>(limit).count()));
        }
        // Reads every 50 ms: an answer at the line's rate fills far less than
        // a port's buffer in that time.
        using namespace std::chrono_literals;
        clock_.sleep_until(std::min(now + 50ms, last_arrival + quiet));
    }
}

Failure Engine::connect(std::string_view padded_password) {
    using namespace std::chrono_literals;
    std::string body(1, protocol::kConnect);
    body += padded_password;
    port_.put_InBufferCount(0);
    port_.put_Output(protocol::build_frame(body));
    // Five reads 0.05 s apart: the reply holds what the reader sent within
    // about 0.2 s of the request. The window is fixed; characters that come
    // later wait in the buffer until the next discard.
    constexpr int kReads = 5;
    std::string reply;
    for (int read = 0; read < kReads; ++read) {
        reply += port_.get_Input();
        busy_wait(clock_, clock_.now(), 50ms);
    }
    hold_.release();
    switch (protocol::test_reply(reply)) {
        case protocol::ReplyVerdict::NoAnswer:
            return {ErrorKind::NoAnswer,
                    fmt::format("The reader did not answer on {}: check the cable and that the "
                                "reader is switched on and ready for the host.",
                                port_.port_name()),
                    std::nullopt};
        case protocol::ReplyVerdict::Refused:
            return {ErrorKind::Refused, describe_refusal(reply), std::nullopt};
        case protocol::ReplyVerdict::Accepted:
            break;
    }
    return {};
}

}  // namespace kdr::engine
