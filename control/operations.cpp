#include <optional>
#include <string>
#include <utility>

#include "control/operation_scope.hpp"
#include "kdr/controller.hpp"
#include "protocol/record_decoding.hpp"

namespace kdr {

std::string KDRController::DownloadData() {
    std::optional<protocol::TextSink> text;
    const bool done =
        RunDownload([&](int host_year, std::string_view answer) -> protocol::AnswerSink& {
            const TextOptions options{ShowMachineID != kVariantFalse, ShowRTC.to_bool()};
            text.emplace(options, host_year);
            text->reserve(protocol::TextSink::size_bound(answer, options));
            return *text;
        });
    return done && text ? text->take() : std::string();
}

bool KDRController::RunDownload(const engine::SinkFor& sink_for) {
    const OperationScope scope(*this);
    if (scope.refused()) {
        return false;
    }
    engine::DownloadOutcome outcome;
    try {
        if (!CheckConnection(kDownloadTitle, true)) {
            return false;
        }
        outcome = engine_.download(ConnectionPassword, sink_for);
    } catch (const std::exception& error) {
        fail(error);
        host_.MsgBox(last_failure_.description, kMessageBoxInformation, std::nullopt);
        ProgressBar1->put_Value(0.0F);
        return false;
    }
    // The result is what arrived, as always; a host that would go on to erase
    // learns here that the reader's memory did not arrive whole. Without a
    // header there is nothing to count against, and no message: a reader that
    // answers nothing has always been shown as "0 record(s)".
    if (outcome.failure.kind == ErrorKind::Incomplete) {
        host_.MsgBox(outcome.failure.description, kMessageBoxInformation, kDownloadTitle);
        outcome.failure.description = one_line(outcome.failure.description);
    }
    last_failure_ = std::move(outcome.failure);
    return true;
}

template <typename Result, typename Exchange>
Result KDRController::RunOperation(std::string_view title, bool full_check, Result failed,
                                   Exchange&& exchange) {
    const OperationScope scope(*this);
    if (scope.refused()) {
        return failed;
    }
    try {
        if (!CheckConnection(title, full_check)) {
            return failed;
        }
        return exchange();
    } catch (const std::exception& error) {
        // The serial component's failures reach the caller; remember them too.
        fail(error);
        throw;
    }
}

Variant KDRController::EraseData() {
    return RunOperation(kEraseTitle, true, Variant(), [this] {
        engine::EraseOutcome outcome = engine_.erase(ConnectionPassword);
        if (outcome.reply == engine::EraseReply::Refused) {
            host_.MsgBox(outcome.failure.description, kMessageBoxInformation, kEraseTitle);
            outcome.failure.description = one_line(outcome.failure.description);
        }
        last_failure_ = std::move(outcome.failure);
        return Variant();
    });
}

VariantBool KDRController::SyncUpHostTime() {
    return RunOperation(kSyncTitle, false, kVariantFalse, [this] {
        engine::ClockSync sync = engine_.sync_clock(ConnectionPassword);
        if (sync.failure.kind == ErrorKind::NoAnswer) {
            host_.MsgBox(kCommunicationsFailed, kMessageBoxInformation, std::nullopt);
        }
        last_failure_ = std::move(sync.failure);
        return to_variant_bool(sync.synced);
    });
}

}  // namespace kdr
