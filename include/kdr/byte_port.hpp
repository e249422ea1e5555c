// A serial line as a stream of bytes, with deadlines.
//
// The engine speaks to the reader through this one small interface: open,
// write, read what arrives until a deadline (waking as soon as bytes come),
// discard input, the line's state and its name. The POSIX serial port, the
// network port (raw TCP and RFC 2217) and the Win32 port implement it; the
// port factory (kdr/port_factory.hpp) makes one from the word a user typed.
//
// A port is used from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kdr/line_settings.hpp"
#include "kdr/platform.hpp"

namespace kdr {

/// What a port knows of the line it has.
enum class LineState : std::uint8_t {
    Closed,   ///< not open
    Open,     ///< open, and no call has found it gone
    Dropped,  ///< open, but the line went away (an adapter unplugged, a
              ///< server that closed the connection): close it
};

/// How the line is reached. Replies over a network link take the link's
/// round trip on top of the reader's own time.
enum class LinkKind : std::uint8_t { Local, Network };

class BytePort {
  public:
    virtual ~BytePort() = default;

    /// Opens the line with the settings, taking it for this port alone.
    /// Throws kdr::Error: PortMissing (no such device, no server listening),
    /// PortBusy (held by another program or port), InvalidPortNumber (the
    /// word names no serial port), InvalidSettings, IoError (no permission,
    /// ...); InvalidArgument when the port is open already.
    virtual void open(const LineSettings& settings) = 0;
    /// Closes the line and gives back what open took; nothing when closed.
    virtual void close() noexcept = 0;
    [[nodiscard]] virtual LineState state() const noexcept = 0;
    [[nodiscard]] bool is_open() const noexcept { return state() != LineState::Closed; }

    /// The settings of the open line, or those of the last open.
    [[nodiscard]] virtual LineSettings settings() const = 0;
    /// Sets the open line to new settings. Throws InvalidSettings for values
    /// the line cannot take, leaving it as it was.
    virtual void apply(const LineSettings& settings) = 0;

    /// Sends every byte, in order. Waits at most the port's write timeout for
    /// a line that accepts nothing, then throws IoError saying how many bytes
    /// went out.
    virtual void write(std::string_view bytes) = 0;
    /// Appends to `into` every byte that has arrived. When none has, waits
    /// until some arrive or the deadline passes, whichever comes first,
    /// without using the processor; a deadline in the past never waits.
    /// Returns how many bytes were appended. `deadline` is on the monotonic
    /// clock of SteadyClock. Throws PortNotOpen on a closed port, and
    /// LineDropped once the line went away and every byte that came before
    /// was handed over.
    virtual std::size_t read(std::string& into, Clock::Instant deadline) = 0;
    /// How many received bytes wait to be read, without taking them. Throws
    /// PortNotOpen on a closed port; LineDropped once the line went away (a
    /// serial device as soon as it is gone, a network port once every byte
    /// that came before was read).
    [[nodiscard]] virtual std::size_t available() = 0;
    /// Discards every received byte not yet read, and where the link can,
    /// what is still on its way to this computer.
    virtual void discard_input() = 0;

    /// How messages name the port: the word it was made from
    /// ("/dev/ttyUSB0", "COM3", "tcp://192.0.2.7:7001").
    [[nodiscard]] virtual std::string name() const = 0;
    [[nodiscard]] virtual LinkKind link() const noexcept = 0;
};

/// A port that passes every call on to another one: the base of ports that
/// watch or change a few calls of the port beneath them (a trace, a check
/// between the slices of a wait). The port beneath must outlive it.
class ForwardingPort : public BytePort {
  public:
    explicit ForwardingPort(BytePort& inner) noexcept : inner_(inner) {}

    void open(const LineSettings& settings) override { inner_.open(settings); }
    void close() noexcept override { inner_.close(); }
    [[nodiscard]] LineState state() const noexcept override { return inner_.state(); }
    [[nodiscard]] LineSettings settings() const override { return inner_.settings(); }
    void apply(const LineSettings& settings) override { inner_.apply(settings); }
    void write(std::string_view bytes) override { inner_.write(bytes); }
    std::size_t read(std::string& into, Clock::Instant deadline) override {
        return inner_.read(into, deadline);
    }
    [[nodiscard]] std::size_t available() override { return inner_.available(); }
    void discard_input() override { inner_.discard_input(); }
    [[nodiscard]] std::string name() const override { return inner_.name(); }
    [[nodiscard]] LinkKind link() const noexcept override { return inner_.link(); }

  protected:
    [[nodiscard]] BytePort& inner() const noexcept { return inner_; }

  private:
    BytePort& inner_;
};

}  // namespace kdr
