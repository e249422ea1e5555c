#include "reader.hpp"

#include <Python.h>
#include <datetime.h>
#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "kdr/protocol.hpp"
#include "kdr/system.hpp"
#include "kdr/text_encoding.hpp"

namespace kdr::python {

namespace {

// What download() returns: plain values, the records as a list built once.
struct PyDownload {
    std::string machine_id;
    std::int32_t announced = 0;
    bool complete = false;
    std::string why_incomplete;
    py::list records;
};

void import_datetime() {
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) {
            throw py::error_already_set();
        }
    }
}

py::object datetime_of(int year, int month, int day, int hour, int minute, int second) {
    import_datetime();
    PyObject* made = PyDateTime_FromDateAndTime(year, month, day, hour, minute, second, 0);
    if (made == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(made);
}

py::object time_of(const DownloadedRecord& record) {
    const std::optional<std::chrono::local_seconds> time = record.stamp.time();
    if (!time) {
        return py::none();
    }
    const auto day = std::chrono::floor<std::chrono::days>(*time);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss clock{*time - day};
    return datetime_of(
        int{date.year()}, static_cast<int>(unsigned{date.month()}),
        static_cast<int>(unsigned{date.day()}), static_cast<int>(clock.hours().count()),
        static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
}

py::bytes bytes_of(std::string_view text) {
    return {text.data(), text.size()};
}

std::string decode_cp1252(std::string_view text) {
    return cp1252_to_utf8(text);
}

py::object decoded(const DownloadedRecord& record, const std::string& encoding,
                   const std::string& errors) {
    if (encoding == "cp1252") {
        return py::str(decode_cp1252(record.text));
    }
    return bytes_of(record.text).attr("decode")(encoding, errors);
}

}  // namespace

// A port number is a word like any other: the port factory reads it.
std::string port_word(const py::handle& port) {
    if (py::isinstance<py::int_>(port) && !py::isinstance<py::bool_>(port)) {
        return std::to_string(port.cast<long long>());
    }
    return py::module_::import("os").attr("fspath")(port).cast<std::string>();
}

std::string to_bytes(const py::handle& text) {
    if (py::isinstance<py::bytes>(text)) {
        return text.cast<std::string>();
    }
    return py::str(text).attr("encode")("cp1252").cast<std::string>();
}

py::object to_datetime(const LocalDateTime& time) {
    return datetime_of(time.year, time.month, time.day, time.hour, time.minute, time.second);
}

PyReader::PyReader(const py::handle& port, const py::handle& password, py::object on_progress,
                   double latency_seconds)
    : port_(port_word(port)), on_progress_(std::move(on_progress)) {
    constexpr double kMinute = 60;
    if (!(latency_seconds >= 0 && latency_seconds <= kMinute)) {
        raise_error(Error(ErrorKind::InvalidArgument,
                          "latency is the link's round trip in seconds, from 0 to 60"),
                    Phase::Exchange);
    }
    latency_ = std::chrono::milliseconds(std::lround(latency_seconds * 1000));
    const std::string sent = to_bytes(password);
    for (const char c : sent) {
        if (c == protocol::STX || c == protocol::ETX || c == protocol::CR) {
            raise_error(Error(ErrorKind::InvalidArgument,
                              "The password holds a control character (STX, ETX or CR) that "
                              "cannot be sent inside a request: give it without."),
                        Phase::Exchange);
        }
    }
    try {
        py::gil_scoped_release unlocked;
        reader_.emplace(port_, sent, options());
    } catch (const Interrupted&) {
        raise_interruption();
    } catch (const Error& error) {
        raise_error(error, Phase::Connect);
    }
}

ReaderOptions PyReader::options() {
    ReaderOptions options;
    options.latency = latency_;
    if (!on_progress_.is_none()) {
        options.on_progress = [this](const DownloadProgress& progress) {
            in_python([&] { on_progress_(progress); });
        };
    }
    options.on_wait = [this] {
        in_python([] {
            if (PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
        });
    };
    return options;
}

template <typename Work>
void PyReader::in_python(Work&& work) {
    const py::gil_scoped_acquire locked;
    if (raised_) {
        throw Interrupted{};
    }
    try {
        work();
    } catch (py::error_already_set& error) {
        raised_ = std::move(error);
        throw Interrupted{};
    }
}

void PyReader::raise_interruption() {
    // The reader may still be sending the answer: this Reader is done with
    // the port, and a new one lets the rest pass before it connects.
    reader_.reset();
    py::error_already_set raised = std::move(*raised_);
    raised_.reset();
    throw raised;
}

PyReader& PyReader::check_open() {
    if (!reader_) {
        raise_error(Error(ErrorKind::NotConnected,
                          "This Reader is closed: open a new kdr.Reader on the port."),
                    Phase::Exchange);
    }
    if (busy_) {
        raise_error(Error(ErrorKind::OperationInProgress,
                          "This Reader is in use by another thread: a Reader takes one call at "
                          "a time."),
                    Phase::Exchange);
    }
    return *this;
}

void PyReader::close() {
    if (busy_) {
        check_open();  // raises: in use
    }
    reader_.reset();
}

template <typename Call>
auto PyReader::on_line(Phase phase, Call&& call) {
    check_open();
    busy_ = true;
    struct Idle {
        bool& busy;
        ~Idle() { busy = false; }
    } idle{busy_};
    try {
        const py::gil_scoped_release unlocked;
        return call(*reader_);
    } catch (const Interrupted&) {
        raise_interruption();
    } catch (const Error& error) {
        raise_error(error, phase);
    }
}

py::object PyReader::download(bool allow_incomplete) {
    Download got = on_line(Phase::Connect, [](Reader& reader) { return reader.download(); });
    auto result = std::make_unique<PyDownload>();
    result->machine_id = decode_cp1252(got.machine_id);
    result->announced = got.announced;
    result->complete = got.complete();
    result->why_incomplete = why_incomplete(got);
    const auto count = static_cast<py::ssize_t>(got.records.size());
    py::list records(count);
    for (py::ssize_t i = 0; i < count; ++i) {
        py::object record = py::cast(std::move(got.records[static_cast<std::size_t>(i)]),
                                     py::return_value_policy::move);
        PyList_SET_ITEM(records.ptr(), i, record.release().ptr());
    }
    result->records = std::move(records);
    const bool complete = result->complete;
    std::string why = result->why_incomplete;
    py::object download = py::cast(std::move(result));
    if (!complete && !allow_incomplete) {
        raise_incomplete(why, std::move(download));
    }
    return download;
}

py::object PyReader::sync_clock() {
    const LocalDateTime clock =
        on_line(Phase::Exchange, [](Reader& reader) { return reader.sync_clock(); });
    return to_datetime(clock);
}

bool PyReader::erase() {
    return on_line(Phase::Exchange, [](Reader& reader) { return reader.erase(); }) ==
           EraseReply::Acknowledged;
}

collect::CollectResult PyReader::collect(store::Store& store, const collect::Request& request) {
    return on_line(Phase::Exchange,
                   [&](Reader& reader) { return collect::collect(reader, port_, store, request); });
}

void define_reader(py::module_& module) {
    py::class_<DownloadProgress>(module, "Progress",
                                 "How far a download's answer has come while it arrives.")
        .def_readonly("records", &DownloadProgress::records, "Records received whole so far.")
        .def_readonly("characters", &DownloadProgress::characters,
                      "Characters of the answer received so far.")
        .def_property_readonly(
            "announced",
            [](const DownloadProgress& p) -> py::object {
                return p.announced ? py::object(py::int_(*p.announced)) : py::object(py::none());
            },
            "The records the reader announced, once its header is in; None before.")
        .def("__repr__", [](const DownloadProgress& p) {
            return py::str("kdr.Progress(records={}, characters={}, announced={})")
                .format(p.records, p.characters,
                        p.announced ? py::int_(*p.announced) : py::object(py::none()));
        });

    py::class_<DownloadedRecord>(module, "Record", "One record as the reader stored it.")
        .def_property_readonly("time", &time_of,
                               "When it was taken: a naive datetime.datetime in the reader's "
                               "local time, or None for a damaged stamp.")
        .def_property_readonly(
            "text", [](const DownloadedRecord& r) { return bytes_of(r.text); },
            "The text, byte for byte as stored (bytes).")
        .def("decoded", &decoded, py::arg("encoding") = "cp1252", py::arg("errors") = "strict",
             "The text as str. cp1252 (the default) decodes as the kdr command's JSON and\n"
             "CSV do, and never fails: the five codes Windows-1252 leaves free keep their\n"
             "Latin-1 meaning. Any other encoding goes through bytes.decode(encoding, errors).")
        .def_property_readonly(
            "lead",
            [](const DownloadedRecord& r) -> py::object {
                return r.has_lead ? py::object(bytes_of(std::string_view(&r.lead, 1)))
                                  : py::object(py::none());
            },
            "The character the reader sends before the text (bytes of one), or None for an "
            "empty record.")
        .def_property_readonly(
            "stamp", [](const DownloadedRecord& r) { return bytes_of(r.stamp.chars()); },
            "The time stamp's six characters as sent (each field's value plus 16).")
        .def(
            "__eq__",
            [](const DownloadedRecord& a, const py::object& b) -> py::object {
                if (!py::isinstance<DownloadedRecord>(b)) {
                    return py::reinterpret_borrow<py::object>(Py_NotImplemented);
                }
                return py::bool_(a == b.cast<const DownloadedRecord&>());
            },
            py::is_operator())
        .def("__repr__", [](const DownloadedRecord& r) {
            return py::str("kdr.Record(time={!r}, text={!r})").format(time_of(r), bytes_of(r.text));
        });
    // Records compare by value and may change in no way: not hashable.
    module.attr("Record").attr("__hash__") = py::none();

    py::class_<PyDownload>(module, "Download", "Every record a reader held, as it arrived.")
        .def_readonly("machine_id", &PyDownload::machine_id,
                      "The reader's eight-character machine ID as sent (an unset reader "
                      "sends eight spaces).")
        .def_readonly("announced", &PyDownload::announced,
                      "The number of records the reader announced.")
        .def_readonly("complete", &PyDownload::complete,
                      "True when the reader's whole memory arrived: exactly the announced "
                      "records, whole, and nothing after them.")
        .def_readonly("why_incomplete", &PyDownload::why_incomplete,
                      "Why it is not complete, in one sentence; empty when complete.")
        .def_readonly("records", &PyDownload::records,
                      "The records that arrived whole, in the reader's order (list of "
                      "kdr.Record).")
        .def("__repr__", [](const PyDownload& d) {
            return py::str(
                       "kdr.Download(machine_id={!r}, announced={}, complete={}, "
                       "records=[... {} records])")
                .format(d.machine_id, d.announced, d.complete, py::len(d.records));
        });

    py::class_<PyReader>(module, "Reader", R"(A KDR reader on a serial port.

    with kdr.Reader("/dev/ttyUSB0", "1234") as reader:
        download = reader.download()
        for record in download.records:
            print(record.time, record.decoded())
        reader.erase()

Reader(port, password="", *, on_progress=None, latency=0) opens the port and
a password-checked connection with the reader on it. port is a device path
("/dev/ttyUSB0", a pseudo-terminal), a serial device server
("tcp://HOST:PORT", "rfc2217://HOST:PORT") or a port number or name (1 and
"COM1" are /dev/ttyS0), as the kdr command takes them. latency is the round
trip of a slow link in seconds (a cradle behind a VPN): every wait for the
reader grows by it; without it the first reply measures the round trip. Before it connects it lets the
rest of an interrupted program's exchange pass (LineBusy when characters keep
arriving for 5 s). A Reader holds its port, and to itself, until it is
closed: a second one on the same device raises PortBusy.

on_progress(progress) is called with a kdr.Progress whenever more of a
download's answer has arrived. Calls on the line release the GIL; Ctrl-C
ends them within 0.1 s with KeyboardInterrupt. An exception raised by
on_progress, or a KeyboardInterrupt, ends the call and closes the Reader (the
reader may still be sending); open a new one to go on.

Failures raise kdr.Error subclasses (NoAnswer, PasswordRefused, PortBusy,
LineDropped, Incomplete, ...) carrying the kdr command's sentence.
A Reader takes one call at a time.)")
        .def(py::init([](const py::object& port, const py::object& password, py::object on_progress,
                         double latency) {
                 return std::make_unique<PyReader>(port, password, std::move(on_progress), latency);
             }),
             py::arg("port"), py::arg("password") = "", py::kw_only(),
             py::arg("on_progress") = py::none(), py::arg("latency") = 0.0)
        .def("__enter__", &PyReader::check_open, py::return_value_policy::reference)
        .def("__exit__", [](PyReader& reader, const py::args&) { reader.close(); })
        .def("close", &PyReader::close,
             "Closes the port; a closed Reader raises kdr.Error. Closing twice does nothing.")
        .def_property_readonly("closed", &PyReader::closed)
        .def_property_readonly("port", &PyReader::port,
                               "The device the Reader opened (a port number as its path).")
        .def("download", &PyReader::download, py::kw_only(), py::arg("allow_incomplete") = false,
             R"(Every record the reader holds, as a kdr.Download; the reader keeps them.

Raises kdr.Incomplete when the reader's whole memory did not arrive (fewer or
more records than it announced, damage after the last one): its .download
holds what arrived. With allow_incomplete=True that download is returned
instead, its complete False. Raises NoAnswer when nothing came, BadAnswer for
an answer without the reader's header, and the line's failures.)")
        .def("sync_clock", &PyReader::sync_clock,
             "Sets the reader's clock to this computer's local time and returns the\n"
             "reader's clock as read back (a naive datetime.datetime). Raises\n"
             "ClockMismatch, Refused, NoAnswer or BadAnswer when the reader did not take it.")
        .def("erase", &PyReader::erase,
             "Tells the reader to erase its records. True when it confirmed, False for a\n"
             "reader that does not confirm; raises Refused when it refused, BadAnswer for\n"
             "another answer. Neither result proves the records gone: download again to see.")
        .def("__repr__", [](const PyReader& r) {
            return py::str("kdr.Reader({!r}{})").format(r.port(), r.closed() ? ", closed" : "");
        });
}

}  // namespace kdr::python
