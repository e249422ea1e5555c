// The reader for C++ programs: plain types, one exception type.
//
//     kdr::Reader reader{"/dev/ttyUSB0", "1234"};
//     const kdr::Download download = reader.download();
//     for (const kdr::DownloadedRecord& record : download.records) { ... }
//     if (download.complete()) reader.erase();
//
// A Reader holds its port open, and to itself, for its whole life: a second
// Reader on the same device fails with PortBusy while the first lives. Every
// failure is thrown as kdr::Error with its kind (ErrorKind) and a description
// a person can act on. A Reader is used from one thread; every call returns
// when its exchange with the reader has ended. It can be moved; a Reader
// moved from may only be destroyed or assigned to.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "kdr/byte_port.hpp"
#include "kdr/download.hpp"
#include "kdr/engine.hpp"
#include "kdr/error.hpp"
#include "kdr/platform.hpp"

namespace kdr {

using engine::EraseReply;

/// The port a port word names, not yet opened: the platform's port factory
/// (see make_byte_port in kdr/port_factory.hpp). On Linux the word is a
/// device path ("/dev/ttyUSB0", "/dev/serial/by-id/...", a pseudo-terminal),
/// a port number or COM name ("3", "COM3": /dev/ttyS2) or a serial device
/// server ("tcp://HOST:PORT", "rfc2217://HOST:PORT", see
/// kdr/network_port.hpp), and messages name the port by it.
[[nodiscard]] std::unique_ptr<BytePort> open_port(std::string_view word);

struct ReaderOptions {
    /// Called whenever more of a download's answer has arrived.
    std::function<void(const DownloadProgress&)> on_progress;
    /// Called before every wait of a call on the line and at least every
    /// 50 ms while it waits, also while nothing arrives: an exception thrown
    /// from here ends the call (the constructor too) and reaches its caller,
    /// so that a program gives up on request (a signal, a cancel button).
    /// The reader may still be sending then; a new Reader lets that pass.
    std::function<void()> on_wait;
    /// The least round trip of the link, for a reader known to sit behind a
    /// slow network link: every limit of a wait grows by it from the start.
    /// Without it the first reply measures the round trip, and a network
    /// port is given a second for that reply.
    std::chrono::milliseconds latency{0};
};

class Reader {
  public:
    /// Opens `port` and a password-checked connection with the reader on it.
    /// First waits until the line has been quiet for 50 ms and the latency
    /// (the rest of an answer to an interrupted program is let pass), at most
    /// 5 s. Every wait ends as soon as what it waits for has come: a reply
    /// with its frame, a download with its last announced record (see
    /// engine::LineTiming). Throws
    /// kdr::Error when the port cannot be opened (PortMissing, PortBusy, ...),
    /// the line stays busy (LineBusy), the reader does not answer (NoAnswer)
    /// or refuses the password (Refused).
    Reader(std::unique_ptr<BytePort> port, std::string_view password, ReaderOptions options = {});
    /// The same on the port a port word names (see open_port).
    Reader(std::string_view port, std::string_view password, ReaderOptions options = {});
    /// Closes the port; never throws.
    ~Reader();
    Reader(Reader&& other) noexcept;
    Reader& operator=(Reader&& other) noexcept;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    /// Every record the reader holds; the reader keeps them. A download that
    /// arrived incomplete is returned all the same: `complete()` is false
    /// then, and why_incomplete() says why. Throws kdr::Error when the reader
    /// no longer takes the password, when nothing came (NoAnswer) or the
    /// answer has no header (BadAnswer), and when the line fails.
    [[nodiscard]] Download download();
    /// Sets the reader's clock to this computer's local time and returns the
    /// reader's clock as read back. Throws kdr::Error when the reader did not
    /// take it (ClockMismatch, Refused, NoAnswer, BadAnswer) or the line fails.
    LocalDateTime sync_clock();
    /// Tells the reader to erase its records. Returns Acknowledged, or Silent
    /// for a reader that does not confirm; throws kdr::Error when it refused
    /// (Refused), answered something else (BadAnswer) or the line failed.
    /// Neither result proves the records gone: download again to see.
    EraseReply erase();

    /// How messages name the port ("/dev/ttyUSB0").
    [[nodiscard]] std::string port_name() const;

  private:
    struct State;
    State& state();
    std::unique_ptr<State> state_;
};

}  // namespace kdr
