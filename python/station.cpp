// kdr.Station: the station of `kdr collect --watch`, the same loop, with
// Python's I/O: lines and results go to callables, Ctrl-C (or stop() from
// another thread) ends it between steps, and the line runs without the GIL.
#include "collect/station.hpp"

#include <atomic>
#include <memory>
#include <thread>

#include "kdr/port_factory.hpp"
#include "reader.hpp"

namespace kdr::python {

namespace {

using namespace std::chrono_literals;

// A reader that took the password, held for the docking's collect.
class HeldReader final : public collect::ReaderLink {
  public:
    explicit HeldReader(Reader reader) : reader_(std::move(reader)) {}
    [[nodiscard]] Download download() override { return reader_.download(); }
    EraseReply erase() override { return reader_.erase(); }

  private:
    Reader reader_;
};

class PyStation final : public collect::StationIo {
  public:
    PyStation(const py::handle& port, const std::string& db, const py::handle& password,
              collect::Request request)
        : port_(port_word(port)),
          password_(to_bytes(password)),
          target_(db),
          request_(std::move(request)) {
        try {
            network_ = make_byte_port(port_)->link() == LinkKind::Network;
        } catch (const Error& error) {
            raise_error(error, Phase::Connect);  // a word that names no port
        }
    }
    PyStation(const PyStation&) = delete;
    PyStation& operator=(const PyStation&) = delete;
    ~PyStation() override = default;

    void run(py::object on_line, py::object on_result) {
        on_line_ = std::move(on_line);
        on_result_ = std::move(on_result);
        stop_.store(false);
        {
            const py::gil_scoped_release unlocked;
            collect::Station station(*this, {port_, network_, request_, !password_.empty()});
            station.run();
        }
        if (raised_) {
            py::error_already_set raised = std::move(*raised_);
            raised_.reset();
            if (!raised.matches(PyExc_KeyboardInterrupt)) {
                throw raised;
            }
        }
    }
    void stop() { stop_.store(true); }

    collect::Poll poll(const collect::StopSignal& stop) override {
        ReaderOptions options;
        options.on_wait = [this, &stop] {
            if (stop_requested()) {
                stop.throw_if_requested();
            }
        };
        collect::Poll poll;
        try {
            poll.reader = std::make_unique<HeldReader>(Reader(port_, password_, options));
        } catch (const Error& error) {
            poll.failure = error.kind();
            poll.why = error.what();
        }
        return poll;
    }
    store::Store& store() override {
        if (!store_) {
            store_ = collect::open_store_for(target_, request_);
        }
        return *store_;
    }
    void drop_store() override { store_.reset(); }
    Time now() override { return std::chrono::steady_clock::now(); }
    void sleep_until(Time wake) override {
        // Python looks at its signals on this thread only: a short sleep at
        // a time, then a look.
        while (!stop_requested() && now() < wake) {
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                wake - now(), std::chrono::milliseconds(100)));
        }
    }
    bool stop_requested() override {
        if (stop_.load()) {
            return true;
        }
        const py::gil_scoped_acquire locked;
        if (PyErr_CheckSignals() != 0) {
            raised_.emplace();
            stop_.store(true);
        }
        return stop_.load();
    }
    void say(std::string_view line, bool /*failure*/) override {
        call(on_line_, std::string(line));
    }
    void report(const collect::CollectResult& result,
                const std::optional<collect::Retry>& retry) override {
        call(on_line_, collect::station_line(result, retry));
        if (!on_result_.is_none()) {
            const py::gil_scoped_acquire locked;
            call_locked(on_result_, py::cast(result));
        }
    }

  private:
    void call(const py::object& callable, const std::string& line) {
        const py::gil_scoped_acquire locked;
        if (!callable.is_none()) {
            call_locked(callable, py::str(line));
        }
    }
    void call_locked(const py::object& callable, const py::object& argument) {
        try {
            callable(argument);
        } catch (py::error_already_set& error) {
            if (!raised_) {
                raised_ = std::move(error);
            }
            stop_.store(true);
        }
    }

    std::string port_;
    bool network_ = false;
    std::string password_;
    std::string target_;
    collect::Request request_;
    std::unique_ptr<store::Store> store_;
    py::object on_line_;
    py::object on_result_;
    std::atomic<bool> stop_{false};
    std::optional<py::error_already_set> raised_;
};

}  // namespace

void define_station(py::module_& module) {
    py::class_<PyStation>(module, "Station", R"(The station of `kdr collect --watch`.

Polls port every 2 s and collects each reader set into the cradle once,
into db, as kdr.collect does (erase=True erases each reader once its whole
download is stored). run() says each line (watching, each collect, notices,
stopped) to on_line and hands each collect's kdr.CollectResult to on_result;
it returns after Ctrl-C or stop(), erasing nothing that was not stored.)")
        .def(py::init([](const py::object& port, const std::string& db, const py::object& password,
                         bool erase, const std::string& reader, bool single_read) {
                 return std::make_unique<PyStation>(port, db, password,
                                                    collect::Request{erase, reader, single_read});
             }),
             py::arg("port"), py::arg("db"), py::kw_only(), py::arg("password") = "",
             py::arg("erase") = false, py::arg("reader") = "", py::arg("single_read") = false)
        .def("run", &PyStation::run,
             py::arg("on_line") = py::module_::import("builtins").attr("print"),
             py::arg("on_result") = py::none(),
             "Runs the station until Ctrl-C or stop(); a callable's exception ends it and is "
             "raised.")
        .def("stop", &PyStation::stop, "Ends run() at its next step (from another thread).");
}

}  // namespace kdr::python
