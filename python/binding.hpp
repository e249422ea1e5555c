// The pieces of the Python module kdr: its exceptions, the Reader and its
// results, the simulator and the collect.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "kdr/error.hpp"
#include "kdr/time.hpp"
#include "store/store.hpp"

namespace kdr::python {

namespace py = pybind11;

/// A Python exception raised in a callback (the progress callback, or the
/// signal check between waits) ends the call on the line as this: it is no
/// std::exception, so that nothing on the way, which keeps what it can of a
/// failure, mistakes it for one. The Reader that threw it holds the Python
/// error and raises it again once the call has returned.
struct Interrupted {};

/// Where a failure happened: a refusal while connecting is the password's.
enum class Phase { Connect, Exchange };

void define_errors(py::module_& module);
/// Raises the failure as the module's exception for its kind.
[[noreturn]] void raise_error(const Error& error, Phase phase);
/// Raises kdr.StoreError with the failure's sentence and `more` after it.
[[noreturn]] void raise_store_error(const store::StoreError& error, std::string_view more);
/// Raises kdr.Incomplete carrying what arrived (`download`).
[[noreturn]] void raise_incomplete(const std::string& message, py::object download);

/// A naive datetime.datetime.
[[nodiscard]] py::object to_datetime(const LocalDateTime& time);
/// A str or bytes argument as the bytes sent: str in Windows-1252.
[[nodiscard]] std::string to_bytes(const py::handle& text);

void define_reader(py::module_& module);
void define_simulator(py::module_& module);
void define_collect(py::module_& module);
void define_station(py::module_& module);

}  // namespace kdr::python
