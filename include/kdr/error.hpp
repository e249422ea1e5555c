// Errors of the KDR controller and its platform components.
//
// Every failure carries a kind, which a caller can test, and a description
// meant for a person: what went wrong and, where possible, what to do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kdr {

/// Why an operation failed. The set is small and stable: callers may switch on it.
enum class ErrorKind {
    None,                 ///< no failure
    PortMissing,          ///< the serial device does not exist (wrong number, adapter unplugged)
    PortBusy,             ///< another program holds the serial device
    PortNotOpen,          ///< the serial component was used while its port is closed
    InvalidPortNumber,    ///< no serial port by that number or name (0, a file, own terminal)
    InvalidSettings,      ///< a line-settings text the serial component refuses
    NoAnswer,             ///< the reader sent nothing back in time
    Refused,              ///< the reader answered with something other than its acknowledgement
    LineDropped,          ///< the line went away while in use (hang-up, unplugged adapter)
    IoError,              ///< any other failure of the operating system's serial calls
    NotConnected,         ///< an operation needs a connection that OpenKDR has not opened
    OperationInProgress,  ///< a call arrived while another operation was still running
    AnswerTooLong,        ///< the reader's answer exceeded the bound the controller keeps
    BadAnswer,            ///< the reader's answer does not have the expected layout
    TypeMismatch,         ///< a value cannot be converted to the type needed
    Overflow,             ///< a number does not fit the type needed
    InvalidUseOfNull,     ///< a null value where a value is needed
    InvalidArgument,      ///< an argument outside what the call accepts
    Incomplete,           ///< fewer records arrived complete than the reader announced
    ClockMismatch,        ///< the reader's clock, read back, is not the time it was set to
    LineBusy,             ///< characters kept arriving before a request could be sent
};

/// Whose fault a failure is, for those that decide what to do next or what
/// to tell: the station (try again, say the port failed), a collect's words,
/// the command's hints and the Python exception types. Every part asks
/// error_class() instead of keeping a list of kinds of its own.
enum class ErrorClass : std::uint8_t {
    None,      ///< no failure
    Port,      ///< the port cannot be used: missing, busy, no serial port, its calls fail
    Line,      ///< the line failed between host and reader: dropped, busy, a garbled answer
    Reader,    ///< the reader did not do what was asked: no answer, a cut download, its clock
    Password,  ///< the reader refused a request with its refusal (at a connect: the password)
    Store,     ///< the record store (kdr::store::StoreError, whose kinds are its own)
    Usage,     ///< the caller's mistake: an argument, a call out of order
};

/// The class of a kind. Never Store: a store's failure is no kdr::Error.
[[nodiscard]] ErrorClass error_class(ErrorKind kind) noexcept;

/// A short, stable name of the class ("port", "line", ...).
[[nodiscard]] std::string_view to_string(ErrorClass error_class) noexcept;

/// A message text of several lines (CR LF between them) as one line: the
/// description a failure carries beside the message a user was shown.
[[nodiscard]] std::string one_line(std::string_view message);

/// A short, stable name of the kind ("port busy", "no answer", ...).
std::string_view to_string(ErrorKind kind) noexcept;

/// The exception raised by the controller, its conversions and its components.
class Error : public std::runtime_error {
  public:
    Error(ErrorKind kind, const std::string& description)
        : std::runtime_error(description), kind_(kind) {}

    [[nodiscard]] ErrorKind kind() const noexcept { return kind_; }

  private:
    ErrorKind kind_;
};

/// How many records of a download arrived complete, of how many the reader
/// announced.
struct RecordCounts {
    std::size_t received = 0;
    std::int32_t announced = 0;
    friend bool operator==(const RecordCounts&, const RecordCounts&) = default;
};

/// The reason a call ended without success, kept by the controller for callers
/// that want more than the specified result value.
struct Failure {
    ErrorKind kind = ErrorKind::None;
    std::string description;
    /// For Incomplete: the counts of the download.
    std::optional<RecordCounts> records;

    [[nodiscard]] explicit operator bool() const noexcept { return kind != ErrorKind::None; }
};

}  // namespace kdr
