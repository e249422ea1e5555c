// A controller wired to fakes on a virtual clock, and a stub reader that
// answers each request by its command letter.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "fake_byte_port.hpp"
#include "kdr/controller.hpp"
#include "kdr/protocol.hpp"
#include "recording_host.hpp"
#include "virtual_clock.hpp"

namespace kdr::testing {

using namespace std::chrono_literals;

/// Answers the controller's frames. Each handler gets the port (to schedule
/// arrivals) and the frame; a letter without a handler gets no answer.
class ReaderStub {
  public:
    using Handler = std::function<void(FakeBytePort&, std::string_view frame)>;

    /// The padded password the reader expects after the connection request.
    explicit ReaderStub(std::string padded_password = std::string(8, ' '))
        : password_(std::move(padded_password)) {}

    /// Installs the handler for a letter; an empty handler makes the reader
    /// ignore that letter.
    void on(char letter, Handler handler) {
        if (handler) {
            handlers_[letter] = std::move(handler);
        } else {
            handlers_.erase(letter);
        }
    }
    /// Answers `letter` with `reply` after `delay`.
    void reply(char letter, std::string reply, Clock::Duration delay = 10ms) {
        on(letter, [reply = std::move(reply), delay](FakeBytePort& port, std::string_view) {
            port.arrive(reply, delay);
        });
    }
    void attach(FakeBytePort& port) {
        port.set_responder([this](FakeBytePort& p, std::string_view frame) {
            const char letter = letter_of(frame);
            ++requests[letter];
            if (auto it = handlers_.find(letter); it != handlers_.end()) {
                it->second(p, frame);
            }
        });
    }

    std::map<char, int> requests;

  private:
    /// The command letter of a frame; '\0' for bytes that are no frame.
    [[nodiscard]] char letter_of(std::string_view frame) const {
        const auto request = protocol::parse_request(frame, password_);
        return request ? request->command : '\0';
    }

    std::string password_;
    std::map<char, Handler> handlers_;
};

class ControllerTest : public ::testing::Test {
  protected:
    ControllerTest() {
        auto progress = std::make_unique<RecordingProgressBar>();
        bar = progress->state();
        controller =
            std::make_unique<KDRController>(fake_port.opener(), std::move(progress), host, clock);
    }

    /// OpenKDR as a host calls it.
    bool open(const Variant& password = Variant(), std::int16_t port_number = 1) {
        Variant port_variant(port_number);
        return controller->OpenKDR(password, port_variant) == kVariantTrue;
    }
    /// A reader that accepts every password and is attached to the port.
    void accepting_reader() {
        reader.reply(protocol::kConnect, protocol::ack_reply());
        reader.attach(*port);
    }
    [[nodiscard]] const std::vector<std::string>& outputs() const { return port->record().outputs; }

    VirtualClock clock;
    RecordingHost host{clock};
    FakeBytePort fake_port{clock};
    FakeBytePort* port = &fake_port;
    std::shared_ptr<RecordingProgressBar::State> bar;
    std::unique_ptr<KDRController> controller;
    ReaderStub reader;
};

}  // namespace kdr::testing
