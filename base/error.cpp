#include "kdr/error.hpp"

namespace kdr {

std::string one_line(std::string_view message) {
    std::string line;
    line.reserve(message.size());
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (message.substr(i, 2) == "\r\n") {
            line += ' ';
            ++i;
        } else {
            line += message[i];
        }
    }
    return line;
}

std::string_view to_string(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::None:
            return "none";
        case ErrorKind::PortMissing:
            return "port missing";
        case ErrorKind::PortBusy:
            return "port busy";
        case ErrorKind::PortNotOpen:
            return "port not open";
        case ErrorKind::InvalidPortNumber:
            return "invalid port number";
        case ErrorKind::InvalidSettings:
            return "invalid settings";
        case ErrorKind::NoAnswer:
            return "no answer";
        case ErrorKind::Refused:
            return "refused";
        case ErrorKind::LineDropped:
            return "line dropped";
        case ErrorKind::IoError:
            return "I/O error";
        case ErrorKind::NotConnected:
            return "not connected";
        case ErrorKind::OperationInProgress:
            return "operation in progress";
        case ErrorKind::AnswerTooLong:
            return "answer too long";
        case ErrorKind::BadAnswer:
            return "bad answer";
        case ErrorKind::TypeMismatch:
            return "type mismatch";
        case ErrorKind::Overflow:
            return "overflow";
        case ErrorKind::InvalidUseOfNull:
            return "invalid use of null";
        case ErrorKind::InvalidArgument:
            return "invalid argument";
        case ErrorKind::Incomplete:
            return "incomplete";
        case ErrorKind::ClockMismatch:
            return "clock mismatch";
        case ErrorKind::LineBusy:
            return "line busy";
    }
    // Only a value cast from outside the enumeration gets here.
    return "unknown error";
}

ErrorClass error_class(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::None:
            return ErrorClass::None;
        case ErrorKind::PortMissing:
        case ErrorKind::PortBusy:
        case ErrorKind::PortNotOpen:
        case ErrorKind::InvalidPortNumber:
        case ErrorKind::InvalidSettings:
        case ErrorKind::IoError:
            return ErrorClass::Port;
        // A reply that is neither the acknowledgement nor the refusal was
        // damaged on its way: the line's fault, not the reader's word.
        case ErrorKind::LineDropped:
        case ErrorKind::LineBusy:
        case ErrorKind::BadAnswer:
        case ErrorKind::AnswerTooLong:
            return ErrorClass::Line;
        case ErrorKind::NoAnswer:
        case ErrorKind::Incomplete:
        case ErrorKind::ClockMismatch:
            return ErrorClass::Reader;
        case ErrorKind::Refused:
            return ErrorClass::Password;
        case ErrorKind::NotConnected:
        case ErrorKind::OperationInProgress:
        case ErrorKind::TypeMismatch:
        case ErrorKind::Overflow:
        case ErrorKind::InvalidUseOfNull:
        case ErrorKind::InvalidArgument:
            return ErrorClass::Usage;
    }
    return ErrorClass::None;
}

std::string_view to_string(ErrorClass error_class) noexcept {
    switch (error_class) {
        case ErrorClass::None:
            return "none";
        case ErrorClass::Port:
            return "port";
        case ErrorClass::Line:
            return "line";
        case ErrorClass::Reader:
            return "reader";
        case ErrorClass::Password:
            return "password";
        case ErrorClass::Store:
            return "store";
        case ErrorClass::Usage:
            return "usage";
    }
    return "none";
}

}  // namespace kdr
