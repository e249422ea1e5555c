// kdr.Simulator: the reader simulator on a pseudo-terminal, serving on a
// thread of its own, for tests of programs that use the module.
#include "kdr/simulator.hpp"

#include <fmt/format.h>

#include <memory>
#include <vector>

#include "binding.hpp"
#include "kdr/system.hpp"

namespace kdr::python {

namespace {

namespace sim = kdr::simulator;

class PySimulator {
  public:
    PySimulator(const py::handle& records, const py::handle& password, const py::iterable& faults,
                bool fast, const py::handle& machine_id) {
        sim::ReaderConfig config;
        config.password = to_bytes(password);
        // In the code page the Reader decodes, as the texts are.
        config.machine_id = to_bytes(machine_id);
        if (config.machine_id.size() > sim::kMachineIdLength) {
            raise_error(Error(ErrorKind::InvalidArgument,
                              fmt::format("machine_id: {} characters in Windows-1252; a reader's "
                                          "machine ID holds at most {}.",
                                          config.machine_id.size(), sim::kMachineIdLength)),
                        Phase::Exchange);
        }
        config.clock = local_now();
        config.pacing = fast ? sim::Pacing::Fast : sim::Pacing::LineRate;
        if (py::isinstance<py::int_>(records)) {
            // Compared as Python ints: a count past any C++ integer is refused
            // as a count, and none is refused after its records are made.
            const auto given = py::reinterpret_borrow<py::int_>(records);
            if (given < py::int_(0) || given > py::int_(sim::kMaxRecords)) {
                raise_error(
                    Error(ErrorKind::InvalidArgument,
                          fmt::format("records: {} records; give a count of 0 to {} (a "
                                      "reader holds no more), or a list of texts.",
                                      py::repr(given).cast<std::string>(), sim::kMaxRecords)),
                    Phase::Exchange);
            }
            config.records = sim::sample_records(given.cast<std::size_t>(),
                                                 sim::add_seconds(config.clock, -120));
        } else if (py::isinstance<py::str>(records) || py::isinstance<py::bytes>(records)) {
            raise_error(
                Error(ErrorKind::InvalidArgument, "records: give a list of texts, not one text."),
                Phase::Exchange);
        } else {
            // As `kdr simulate --record` takes them: one a minute up to a minute ago.
            std::vector<std::string> texts;
            for (const py::handle text : records.cast<py::iterable>()) {
                if (texts.size() == sim::kMaxRecords) {
                    raise_error(Error(ErrorKind::InvalidArgument,
                                      fmt::format("records: more than {} texts; a reader holds "
                                                  "no more.",
                                                  sim::kMaxRecords)),
                                Phase::Exchange);
                }
                texts.push_back(to_bytes(text));
            }
            const auto given = static_cast<std::int64_t>(texts.size());
            for (std::int64_t i = 0; i < given; ++i) {
                config.records.push_back(
                    sim::Record{sim::add_seconds(config.clock, (i - given) * 60),
                                std::move(texts[static_cast<std::size_t>(i)]), 'A'});
            }
        }
        for (const py::handle fault : faults) {
            config.faults.push_back(sim::parse_fault(fault.cast<std::string>()));
        }
        server_ = std::make_unique<sim::PtyServer>(std::move(config));
        server_->start();
        port_ = server_->device_path();
    }

    [[nodiscard]] const std::string& port() const { return port_; }

    [[nodiscard]] py::list records() const {
        py::list texts;
        for (const sim::Record& record : server().records()) {
            texts.append(py::bytes(record.text));
        }
        return texts;
    }

    void close() {
        if (server_) {
            const py::gil_scoped_release unlocked;
            server_->stop();
        }
        server_.reset();
    }

  private:
    [[nodiscard]] const sim::PtyServer& server() const {
        if (!server_) {
            raise_error(Error(ErrorKind::NotConnected, "This Simulator is closed."),
                        Phase::Exchange);
        }
        return *server_;
    }

    std::unique_ptr<sim::PtyServer> server_;
    std::string port_;
};

}  // namespace

void define_simulator(py::module_& module) {
    py::class_<PySimulator>(module, "Simulator",
                            R"(A KDR reader played on a pseudo-terminal, for tests.

    with kdr.Simulator(records=3, password="1234") as reader:
        with kdr.Reader(reader.port, "1234") as connection:
            assert len(connection.download().records) == 3

Simulator(records=25, password="", faults=[], *, fast=False,
machine_id="KDR00001") starts serving at once; closing it (or leaving the
with block) stops it. records is a count of sample records, 0 to 99,999 (a
reader holds no more), or a list of texts (str in Windows-1252, or bytes),
taken one a minute up to a minute ago. machine_id is up to 8 characters,
str in Windows-1252 or bytes. A count, text or ID no reader can hold raises
ValueError before anything is made. faults are the kdr simulate command's
words ("silent", "refuse:T", "drop", "short", ...). The reader sends at
19,200 baud, or every answer at once when fast is True.)")
        .def(py::init<const py::handle&, const py::handle&, const py::iterable&, bool,
                      const py::handle&>(),
             py::arg("records") = 25, py::arg("password") = "", py::arg("faults") = py::list(),
             py::kw_only(), py::arg("fast") = false, py::arg("machine_id") = "KDR00001")
        .def_property_readonly("port", &PySimulator::port,
                               "The pseudo-terminal's device path: the port to open.")
        .def_property_readonly("records", &PySimulator::records,
                               "The texts of the records the reader holds now (list of bytes).")
        .def("close", &PySimulator::close, "Stops serving. Closing twice does nothing.")
        .def(
            "__enter__", [](PySimulator& simulator) -> PySimulator& { return simulator; },
            py::return_value_policy::reference)
        .def("__exit__", [](PySimulator& simulator, const py::args&) { simulator.close(); });
}

}  // namespace kdr::python
