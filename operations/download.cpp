#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>

#include "control/operation_scope.hpp"
#include "kdr/controller.hpp"
#include "kdr/protocol.hpp"
#include "engine/waits.hpp"
#include "protocol/record_decoding.hpp"

namespace kdr {

namespace {

// Far beyond any reader's memory, yet bounded: a line that never falls silent
// (a wrong device, a stuck transmitter) ends the download instead of filling
// the host's memory.
constexpr std::size_t kMaxAnswerBytes = std::size_t{64} << 20U;

// The decoding's hooks: the port closes once the header is taken, and the
// progress display steps as records are decoded.
class DownloadHooks : public protocol::DecodeHooks {
  public:
    DownloadHooks(std::function<void()> close_port, std::function<void()> reset_progress,
                  std::function<void()> step)
        : close_port_(std::move(close_port)),
          reset_progress_(std::move(reset_progress)),
          step_(std::move(step)) {}

    void header_taken() override { close_port_(); }
    void summary_written() override { reset_progress_(); }
    void step() override {
        if (first_record_taken()) {
            // Once the first record has been taken, a failing display step
            // costs nothing: the records decoded so far, and those to come,
            // are kept.
            try {
                step_();
            } catch (const std::exception&) {
            }
        } else {
            step_();
        }
        ++steps_;
    }
    // The first step follows the first time stamp, the second the first
    // record; from then on failures no longer end the download.
    [[nodiscard]] bool first_record_taken() const noexcept { return steps_ >= 2; }

  private:
    std::function<void()> close_port_;
    std::function<void()> reset_progress_;
    std::function<void()> step_;
    int steps_ = 0;
};

}  // namespace

std::string KDRController::DownloadData() {
    std::string result;
    const bool done =
        RunDownload([&](std::string_view answer, const protocol::DecodeOptions& options,
                        protocol::DecodeHooks& hooks) {
            const TextOptions text_options{options.show_machine_id, options.show_rtc};
            protocol::TextSink text(text_options, options.current_year);
            text.reserve(protocol::TextSink::size_bound(answer, text_options));
            protocol::TallySink tally(text);
            protocol::decode_answer(answer, tally, hooks);
            result = text.take();
            return tally.tally();
        });
    return done ? result : std::string();
}

std::optional<Download> KDRController::DownloadRecords() {
    std::optional<Download> result;
    const bool done =
        RunDownload([&](std::string_view answer, const protocol::DecodeOptions& options,
                        protocol::DecodeHooks& hooks) {
            protocol::DownloadSink records;
            protocol::TallySink tally(records);
            protocol::decode_answer(answer, tally, hooks);
            result = records.take();
            result->host_year = options.current_year;
            result->answer = answer;
            return tally.tally();
        });
    return done ? std::move(result) : std::nullopt;
}

bool KDRController::RunDownload(const DecodeInto& decode) {
    using namespace std::chrono_literals;
    const OperationScope scope(*this);
    if (scope.refused()) {
        return false;
    }
    DownloadHooks hooks([this] { ClosePort(); },
                        [this] {
                            ProgressBar1->put_Value(0.0F);
                            ProgressBar1->put_Max(100.0F);
                        },
                        [this] {
                            ProgressStep();
                            host_.DoEvents();
                        });
    protocol::DownloadTally tally;
    bool silent = false;
    try {
        if (!CheckConnection(kDownloadTitle, true)) {
            return false;
        }
        const std::string request =
            protocol::build_frame(protocol::command_body(ConnectionPassword, protocol::kDownload));
        // Characters left over from earlier exchanges are not part of the answer.
        static_cast<void>(MSComm1->get_Input());
        MSComm1->put_Output(request);
        WaitStart = clock_.now();
        engine::busy_wait(clock_, *WaitStart, 100ms);

        std::string ReceiveStr;
        ProgressBar1->put_Max(100.0F);
        ProgressBar1->put_Value(0.0F);
        // The answer is complete when a read has emptied the buffer and nothing
        // more has come by the end of the following 0.3 s.
        while (MSComm1->get_InBufferCount() != 0) {
            ReceiveStr += MSComm1->get_Input();
            if (ReceiveStr.size() > kMaxAnswerBytes) {
                throw Error(ErrorKind::AnswerTooLong,
                            fmt::format("The reader's answer passed {} MiB without a pause; the "
                                        "port seems to carry something other than a KDR reader.",
                                        kMaxAnswerBytes >> 20U));
            }
            if (MSComm1->get_InBufferCount() == 0) {
                WaitStart = clock_.now();
                engine::yielding_wait(clock_, host_, *WaitStart, 300ms);
            }
            ProgressStep();
            host_.DoEvents();
        }
        ProgressBar1->put_Value(ProgressBar1->get_Max());

        const protocol::DecodeOptions options{ShowMachineID != kVariantFalse, ShowRTC.to_bool(),
                                                host_.Now().year};
        silent = ReceiveStr.empty();
        tally = decode(ReceiveStr, options, hooks);
        ReceiveStr = {};  // the decoded records are all that is kept

        try {
            ProgressBar1->put_Value(ProgressBar1->get_Max());
            host_.DoEvents();
            ProgressBar1->put_Value(0.0F);
        } catch (const std::exception&) {
            if (!hooks.first_record_taken()) {
                throw;
            }
        }
    } catch (const std::exception& error) {
        fail(error);
        host_.MsgBox(last_failure_.description, kMessageBoxInformation, std::nullopt);
        ProgressBar1->put_Value(0.0F);
        return false;
    }
    ReportIncompleteDownload(tally, silent);
    return true;
}

void KDRController::ReportIncompleteDownload(const protocol::DownloadTally& tally, bool silent) {
    // The result is what arrived, as always; a host that would go on to erase
    // learns here that the reader's memory did not arrive whole.
    if (!tally.has_header) {
        // Nothing announced, nothing to count against: no message, as a reader
        // that answers nothing has always been shown as "0 record(s)".
        fail(silent ? ErrorKind::NoAnswer : ErrorKind::BadAnswer,
             silent ? "The reader sent nothing in answer to the download request."
                    : "The answer to the download request did not begin with the reader's "
                      "header: something other than a KDR reader may have answered.");
        return;
    }
    if (tally.complete) {
        return;
    }
    const RecordCounts& counts = tally.counts;
    const auto announced = static_cast<std::size_t>(std::max(counts.announced, 0));
    // More records than announced, or characters after the last one, mean a
    // record was split or cut on the line: which one cannot be told.
    const std::string count_line =
        counts.received < announced ? fmt::format("Only {} of {} record(s) arrived complete.",
                                                  counts.received, counts.announced)
        : counts.received > announced
            ? fmt::format("{} record(s) arrived where the reader announced {}.", counts.received,
                          counts.announced)
        : tally.left_over
            ? fmt::format("All {} record(s) arrived, but more followed the last one.",
                          counts.announced)
            : fmt::format("All {} record(s) arrived, but out of step with their time stamps.",
                          counts.announced);
    const std::string message = fmt::format(
        "{}\r\n"
        "The answer was cut short or damaged on the line.\r\n"
        "Download again before erasing the reader.",
        count_line);
    host_.MsgBox(message, kMessageBoxInformation, kDownloadTitle);
    last_failure_ = Failure{ErrorKind::Incomplete, one_line(message), counts};
}

}  // namespace kdr
