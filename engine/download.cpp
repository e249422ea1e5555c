#include <fmt/format.h>

#include <string>

#include "kdr/engine.hpp"
#include "kdr/protocol.hpp"
#include "protocol/record_decoding.hpp"

namespace kdr::engine {

namespace {

// Far beyond any reader's memory, yet bounded: a line that never falls silent
// (a wrong device, a stuck transmitter) ends the download instead of filling
// the host's memory.
constexpr std::size_t kMaxAnswerBytes = std::size_t{64} << 20U;

// The decoding's hooks: the port is let go once the header is taken, and
// progress is reported as records are decoded. Once the first record has been
// taken a failing observer costs nothing: the records decoded so far, and
// those to come, are kept.
class DownloadHooks final : public protocol::DecodeHooks {
  public:
    DownloadHooks(PortHold& hold, std::function<void(Stage)> report, HostRuntime& host)
        : hold_(hold), report_(std::move(report)), host_(host) {}

    void header_taken() override { hold_.release(); }
    void summary_written() override { report_(Stage::Decoding); }
    void step() override {
        guarded([this] {
            report_(Stage::RecordDecoded);
            host_.DoEvents();
        });
        ++steps_;
    }
    // After the records: the display shows them all, then rests.
    void finish() {
        guarded([this] {
            report_(Stage::Decoded);
            host_.DoEvents();
            report_(Stage::Finished);
        });
    }

  private:
    template <typename F>
    void guarded(F&& work) {
        if (!first_record_taken()) {
            work();
            return;
        }
        try {
            work();
        } catch (const std::exception&) {
        }
    }
    // The first step follows the first time stamp, the second the first
    // record.
    [[nodiscard]] bool first_record_taken() const noexcept { return steps_ >= 2; }

    PortHold& hold_;
    std::function<void(Stage)> report_;
    HostRuntime& host_;
    int steps_ = 0;
};

// Keeps the counts as the answer grows and shows them.
class Arrivals final : public AnswerWatch {
  public:
    Arrivals(DownloadProgress& progress, std::function<void(Stage)> report, HostRuntime& host)
        : progress_(progress), report_(std::move(report)), host_(host) {}

    void receiving() override { report_(Stage::Receiving); }
    const DownloadProgress& grew(std::string_view answer) override {
        if (answer.size() > kMaxAnswerBytes) {
            throw Error(ErrorKind::AnswerTooLong,
                        fmt::format("The reader's answer passed {} MiB without a pause; the port "
                                    "seems to carry something other than a KDR reader.",
                                    kMaxAnswerBytes >> 20U));
        }
        progress_ = counts_.update(answer);
        return progress_;
    }
    void show() override {
        report_(Stage::Arrived);
        host_.DoEvents();
    }

  private:
    DownloadProgress& progress_;
    protocol::AnswerProgress counts_;
    std::function<void(Stage)> report_;
    HostRuntime& host_;
};

}  // namespace

DownloadOutcome Engine::download(std::string_view padded_password, const SinkFor& sink_for) {
    download_progress_ = {};
    hold_.acquire();
    Line on = line();
    // Characters left over from earlier exchanges are not part of the answer.
    timing_.before_request(on, Request::Download);
    port_.write(
        protocol::build_frame(protocol::command_body(padded_password, protocol::kDownload)));

    DownloadOutcome outcome;
    Arrivals arrivals(
        download_progress_, [this](Stage stage) { report(stage); }, host_);
    outcome.answer = timing_.answer(on, arrivals);
    const std::string& answer = outcome.answer;
    report(Stage::Received);

    outcome.host_year = host_.Now().year;
    DownloadHooks hooks(
        hold_, [this](Stage stage) { report(stage); }, host_);
    protocol::TallySink tally(sink_for(outcome.host_year, answer));
    protocol::decode_answer(answer, tally, hooks);
    hooks.finish();

    const protocol::DownloadTally result = tally.tally();
    outcome.has_header = result.has_header;
    outcome.complete = result.complete;
    outcome.counts = result.counts;
    if (!result.has_header) {
        // Nothing announced, nothing to count against.
        outcome.failure =
            answer.empty()
                ? Failure{ErrorKind::NoAnswer,
                          "The reader sent nothing in answer to the download request.",
                          std::nullopt}
                : Failure{ErrorKind::BadAnswer,
                          "The answer to the download request did not begin with the reader's "
                          "header: something other than a KDR reader may have answered.",
                          std::nullopt};
    } else if (!result.complete) {
        outcome.failure =
            Failure{ErrorKind::Incomplete, protocol::incomplete_message(result), result.counts};
    }
    return outcome;
}

}  // namespace kdr::engine
