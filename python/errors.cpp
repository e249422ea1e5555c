#include <Python.h>

#include <array>
#include <utility>

#include "binding.hpp"

namespace kdr::python {

namespace {

// The exception types, made once at import and kept for the process's life
// (the module holds them too).
struct Types {
    PyObject* error = nullptr;
    PyObject* port_error = nullptr;
    PyObject* port_missing = nullptr;
    PyObject* port_busy = nullptr;
    PyObject* line_dropped = nullptr;
    PyObject* line_busy = nullptr;
    PyObject* no_answer = nullptr;
    PyObject* refused = nullptr;
    PyObject* password_refused = nullptr;
    PyObject* bad_answer = nullptr;
    PyObject* incomplete = nullptr;
    PyObject* clock_mismatch = nullptr;
    PyObject* invalid_argument = nullptr;
    PyObject* store_error = nullptr;
};
Types g_types;

PyObject* make_type(py::module_& module, const char* name, PyObject* bases, const char* doc) {
    const std::string qualified = std::string("kdr.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, nullptr);
    if (type == nullptr) {
        throw py::error_already_set();
    }
    module.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;
}

// A kind with a type of its own, else its class's type (the one
// classification of errors, error_class()).
PyObject* type_for(ErrorKind kind, Phase phase) {
    switch (kind) {
        case ErrorKind::PortMissing:
            return g_types.port_missing;
        case ErrorKind::PortBusy:
            return g_types.port_busy;
        case ErrorKind::LineDropped:
            return g_types.line_dropped;
        case ErrorKind::LineBusy:
            return g_types.line_busy;
        case ErrorKind::NoAnswer:
            return g_types.no_answer;
        case ErrorKind::Refused:
            return phase == Phase::Connect ? g_types.password_refused : g_types.refused;
        case ErrorKind::AnswerTooLong:
        case ErrorKind::BadAnswer:
            return g_types.bad_answer;
        case ErrorKind::Incomplete:
            return g_types.incomplete;
        case ErrorKind::ClockMismatch:
            return g_types.clock_mismatch;
        default:
            break;
    }
    switch (error_class(kind)) {
        case ErrorClass::Port:
            return g_types.port_error;
        case ErrorClass::Usage:
            // A call out of order is the caller's too, but no bad argument.
            return kind == ErrorKind::NotConnected || kind == ErrorKind::OperationInProgress
                       ? g_types.error
                       : g_types.invalid_argument;
        default:
            return g_types.error;
    }
}

[[noreturn]] void raise(PyObject* type, const std::string& message, std::string_view kind,
                        py::object download = py::none()) {
    py::object error = py::reinterpret_borrow<py::object>(type)(message);
    error.attr("kind") = kind;
    error.attr("download") = std::move(download);
    PyErr_SetObject(type, error.ptr());
    throw py::error_already_set();
}

std::string_view store_kind(store::StoreErrorKind kind) {
    switch (kind) {
        case store::StoreErrorKind::CannotOpen:
            return "cannot open";
        case store::StoreErrorKind::NotFound:
            return "not found";
        case store::StoreErrorKind::ReadOnly:
            return "read only";
        case store::StoreErrorKind::Locked:
            return "locked";
        case store::StoreErrorKind::ConnectionLost:
            return "connection lost";
        case store::StoreErrorKind::NewerSchema:
            return "newer schema";
        case store::StoreErrorKind::ReaderConflict:
            return "reader conflict";
        case store::StoreErrorKind::Corrupt:
            return "corrupt";
        case store::StoreErrorKind::Interrupted:
            return "interrupted";
        case store::StoreErrorKind::Other:
            break;
    }
    return "other";
}

}  // namespace

void raise_error(const Error& error, Phase phase) {
    raise(type_for(error.kind(), phase), error.what(), to_string(error.kind()));
}

void raise_store_error(const store::StoreError& error, std::string_view more) {
    raise(g_types.store_error, std::string(error.what()) + std::string(more),
          store_kind(error.kind()));
}

void raise_incomplete(const std::string& message, py::object download) {
    raise(g_types.incomplete, message, to_string(ErrorKind::Incomplete), std::move(download));
}

void define_errors(py::module_& module) {
    Types& t = g_types;
    t.error = make_type(module, "Error", PyExc_Exception,
                        "A failure of the reader, its line or the store.\n\n"
                        "str(error) is the sentence the kdr command prints for it; error.kind\n"
                        "is a short, stable name of the kind of failure (\"no answer\",\n"
                        "\"port busy\", ...).");
    t.port_error =
        make_type(module, "PortError", t.error, "The serial port cannot be opened or used.");
    t.port_missing = make_type(module, "PortMissing", t.port_error,
                               "The serial device does not exist (a wrong name, an adapter "
                               "unplugged).");
    t.port_busy = make_type(module, "PortBusy", t.port_error,
                            "Another program, or another Reader, holds the serial device.");
    t.line_dropped = make_type(module, "LineDropped", t.port_error,
                               "The line went away while in use (hang-up, adapter unplugged).");
    t.line_busy = make_type(module, "LineBusy", t.error,
                            "Characters kept arriving for 5 s before a request could be sent.");
    t.no_answer = make_type(module, "NoAnswer", t.error, "The reader sent nothing back in time.");
    t.refused = make_type(module, "Refused", t.error,
                          "The reader answered with its refusal (of the clock, of the erase).");
    t.password_refused = make_type(module, "PasswordRefused", t.refused,
                                   "The reader refused the password while connecting.");
    t.bad_answer = make_type(module, "BadAnswer", t.error,
                             "The reader's answer does not have the expected layout.");
    t.incomplete =
        make_type(module, "Incomplete", t.error,
                  "The reader's whole memory did not arrive.\n\n"
                  "error.download holds what did arrive (a kdr.Download whose complete is False).");
    t.clock_mismatch = make_type(module, "ClockMismatch", t.error,
                                 "The reader's clock, read back, is not the time it was set to.");
    const py::tuple value_error =
        py::make_tuple(py::reinterpret_borrow<py::object>(t.error),
                       py::reinterpret_borrow<py::object>(PyExc_ValueError));
    t.invalid_argument = make_type(module, "InvalidArgument", value_error.ptr(),
                                   "An argument the call does not accept.");
    t.store_error =
        make_type(module, "StoreError", t.error,
                  "The store cannot be opened, read or written; nothing of the call was stored.");

    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            std::rethrow_exception(std::move(thrown));
        } catch (const Error& error) {
            try {
                raise_error(error, Phase::Exchange);
            } catch (py::error_already_set& raised) {
                raised.restore();  // the translator leaves the error set
            }
        } catch (const store::StoreError& error) {
            try {
                raise_store_error(error, {});
            } catch (py::error_already_set& raised) {
                raised.restore();
            }
        }
    });
}

}  // namespace kdr::python
