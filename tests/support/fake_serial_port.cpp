#include "fake_serial_port.hpp"

#include <algorithm>
#include <utility>

namespace kdr::testing {

void FakeSerialPort::arrive(std::string bytes, Clock::Duration after) {
    const auto when = clock_.now() + after;
    // Keep arrivals in time order whatever order the script adds them in.
    auto at = std::upper_bound(pending_.begin(), pending_.end(), when,
                               [](Clock::Instant t, const auto& item) { return t < item.first; });
    pending_.insert(at, {when, std::move(bytes)});
}

void FakeSerialPort::collect_arrivals() {
    while (!pending_.empty() && pending_.front().first <= clock_.now()) {
        buffer_ += pending_.front().second;
        pending_.pop_front();
    }
}

void FakeSerialPort::require_open(const char* what) {
    if (!open_) {
        throw Error(ErrorKind::PortNotOpen, std::string("port not open for ") + what);
    }
    if (dropped_) {
        throw Error(ErrorKind::LineDropped, "the line dropped");
    }
}

void FakeSerialPort::put_CommPort(std::int16_t port) {
    if (open_) {
        throw Error(ErrorKind::InvalidArgument, "port change while open");
    }
    port_ = port;
}

void FakeSerialPort::put_PortOpen(bool open) {
    if (open == open_) {
        if (open) {
            throw Error(ErrorKind::InvalidArgument, "port already open");
        }
        return;
    }
    if (open) {
        if (open_error_) {
            throw *open_error_;
        }
        if (port_ <= 0) {
            throw Error(ErrorKind::InvalidPortNumber, "invalid port number");
        }
        ++shared_->opens;
        shared_->calls.push_back("open " + std::to_string(port_));
    } else {
        shared_->calls.emplace_back("close");
    }
    open_ = open;
}

int FakeSerialPort::get_InBufferCount() {
    require_open("InBufferCount");
    if (quiet_hangup_) {
        throw Error(ErrorKind::LineDropped, "cannot count the received characters: Not ready");
    }
    collect_arrivals();
    return static_cast<int>(buffer_.size());
}

void FakeSerialPort::put_InBufferCount(int count) {
    require_open("InBufferCount");
    if (count != 0) {
        throw Error(ErrorKind::InvalidArgument, "only 0 discards");
    }
    collect_arrivals();
    buffer_.clear();
    shared_->calls.emplace_back("discard");
}

std::string FakeSerialPort::get_Input() {
    require_open("Input");
    if (quiet_hangup_) {
        return {};
    }
    collect_arrivals();
    ++shared_->input_reads;
    shared_->calls.emplace_back("input");
    return std::exchange(buffer_, {});
}

void FakeSerialPort::put_Output(std::string_view data) {
    require_open("Output");
    shared_->outputs.emplace_back(data);
    shared_->output_times.push_back(clock_.now());
    shared_->calls.emplace_back("output");
    if (responder_) {
        responder_(*this, data);
    }
}

}  // namespace kdr::testing
