// kdr.Reader: kdr::Reader for Python. Calls on the line run without the GIL;
// the progress callback and, between waits, the check for signals (Ctrl-C)
// take it back for a moment. A Python exception raised there ends the call and
// reaches the caller as it was raised.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "binding.hpp"
#include "collect/collect.hpp"
#include "kdr/reader.hpp"

namespace kdr::python {

/// The port word a Python value names: a number, or a path-like.
[[nodiscard]] std::string port_word(const py::handle& port);

class PyReader {
  public:
    PyReader(const py::handle& port, const py::handle& password, py::object on_progress,
             double latency_seconds = 0);
    PyReader(const PyReader&) = delete;
    PyReader& operator=(const PyReader&) = delete;
    ~PyReader() = default;

    /// The connected Reader; raises kdr.Error when closed.
    PyReader& check_open();
    void close();
    [[nodiscard]] bool closed() const noexcept { return !reader_; }
    [[nodiscard]] const std::string& port() const noexcept { return port_; }

    py::object download(bool allow_incomplete);
    py::object sync_clock();
    bool erase();
    collect::CollectResult collect(store::Store& store, const collect::Request& request);

  private:
    template <typename Call>
    auto on_line(Phase phase, Call&& call);
    // Runs `work` with the GIL; a Python exception from it becomes Interrupted.
    template <typename Work>
    void in_python(Work&& work);
    [[noreturn]] void raise_interruption();
    [[nodiscard]] ReaderOptions options();

    std::string port_;
    py::object on_progress_;
    std::chrono::milliseconds latency_{0};
    std::optional<py::error_already_set> raised_;
    std::optional<Reader> reader_;
    bool busy_ = false;
};

}  // namespace kdr::python
