#include "fake_byte_port.hpp"

#include <algorithm>
#include <utility>

namespace kdr::testing {

PortOpener FakeBytePort::opener() {
    return [this](std::int16_t number) -> std::unique_ptr<BytePort> {
        number_ = number;
        // The control owns what an opener makes; the test keeps the fake.
        return std::make_unique<ForwardingPort>(*this);
    };
}

void FakeBytePort::arrive(std::string bytes, Clock::Duration after) {
    const auto when = clock_.now() + after;
    // Keep arrivals in time order whatever order the script adds them in.
    auto at = std::upper_bound(pending_.begin(), pending_.end(), when,
                               [](Clock::Instant t, const auto& item) { return t < item.first; });
    pending_.insert(at, {when, std::move(bytes)});
}

void FakeBytePort::collect_arrivals() {
    while (!pending_.empty() && pending_.front().first <= clock_.now()) {
        buffer_ += pending_.front().second;
        pending_.pop_front();
    }
}

void FakeBytePort::require_open(const char* what) {
    if (!open_) {
        throw Error(ErrorKind::PortNotOpen, std::string("port not open for ") + what);
    }
    if (dropped_) {
        throw Error(ErrorKind::LineDropped, "the line dropped");
    }
}

void FakeBytePort::open(const LineSettings& settings) {
    if (open_) {
        throw Error(ErrorKind::InvalidArgument, "port already open");
    }
    if (open_error_) {
        throw *open_error_;
    }
    if (number_ <= 0) {
        throw Error(ErrorKind::InvalidPortNumber, "invalid port number");
    }
    settings_ = settings;
    ++shared_->opens;
    shared_->calls.push_back("open " + std::to_string(number_));
    open_ = true;
}

void FakeBytePort::close() noexcept {
    if (open_) {
        shared_->calls.emplace_back("close");
        open_ = false;
    }
}

LineState FakeBytePort::state() const noexcept {
    if (!open_) {
        return LineState::Closed;
    }
    return dropped_ ? LineState::Dropped : LineState::Open;
}

std::size_t FakeBytePort::available() {
    require_open("available");
    if (quiet_hangup_) {
        throw Error(ErrorKind::LineDropped, "cannot count the received characters: Not ready");
    }
    collect_arrivals();
    return buffer_.size();
}

void FakeBytePort::discard_input() {
    require_open("discard");
    collect_arrivals();
    buffer_.clear();
    shared_->calls.emplace_back("discard");
}

std::size_t FakeBytePort::read(std::string& into, Clock::Instant deadline) {
    require_open("read");
    ++shared_->input_reads;
    shared_->calls.emplace_back("input");
    if (quiet_hangup_) {
        clock_.sleep_until(deadline);
        return 0;
    }
    collect_arrivals();
    if (buffer_.empty() && deadline > clock_.now()) {
        const auto next = pending_.empty() ? deadline : std::min(deadline, pending_.front().first);
        clock_.sleep_until(next);
        collect_arrivals();
    }
    const std::size_t got = buffer_.size();
    into += std::exchange(buffer_, {});
    return got;
}

void FakeBytePort::write(std::string_view bytes) {
    require_open("write");
    shared_->outputs.emplace_back(bytes);
    shared_->output_times.push_back(clock_.now());
    shared_->calls.emplace_back("output");
    if (responder_) {
        responder_(*this, bytes);
    }
}

}  // namespace kdr::testing
