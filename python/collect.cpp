// kdr.collect: a download stored, then the reader erased, by the same
// function as `kdr collect`.
#include <fmt/format.h>

#include <memory>

#include "reader.hpp"

namespace kdr::python {

namespace {

using collect::CollectResult;

py::object collect_into(const py::object& port, const std::string& db, const py::object& password,
                        bool erase, const std::string& reader_name, bool single_read) {
    // A name that cannot be one is refused before anything is opened.
    if (!reader_name.empty()) {
        if (const std::string problem = store::reader_name_problem(reader_name); !problem.empty()) {
            throw py::value_error(fmt::format("reader='{}': {}", reader_name, problem));
        }
    }
    // The store first: one that cannot be written, or a name that is another
    // reader's ID, is found before the reader is touched.
    std::unique_ptr<store::Store> store;
    try {
        const py::gil_scoped_release unlocked;
        store = store::open_store(db);
        if (!reader_name.empty()) {
            store->check_reader_name(reader_name);
        }
    } catch (const store::StoreError& error) {
        raise_store_error(error, "; nothing was downloaded or erased");
    }
    PyReader reader(port, password, py::none());
    return py::cast(reader.collect(*store, {erase, reader_name, single_read}));
}

}  // namespace

void define_collect(py::module_& module) {
    py::class_<CollectResult>(module, "CollectResult", "What one collect came to.")
        .def_property_readonly(
            "outcome", [](const CollectResult& r) { return std::string(to_string(r.outcome)); },
            "\"stored\", \"incomplete\" (what came before the first gap is stored; not\n"
            "erased), \"unsure\" (no two reads agreed: no record stored, not erased), \"no\n"
            "download\", \"no machine ID\", \"reader mismatch\", \"reader conflict\", \"store\n"
            "failed\", \"unreachable\" or \"stopped\" (nothing stored, nothing erased).")
        .def_property_readonly("succeeded", &CollectResult::succeeded,
                               "Stored whole, and erased when asked.")
        .def_property_readonly("erased", &CollectResult::erased,
                               "Read back empty after the erase, or confirmed by the reader.")
        .def_readonly("reader", &CollectResult::reader,
                      "The name the records are stored under; empty when unknown.")
        .def_property_readonly(
            "machine_id", [](const CollectResult& r) { return py::bytes(r.machine_id); },
            "The machine ID as sent (bytes); empty when no download came.")
        .def_readonly("announced", &CollectResult::announced)
        .def_readonly("reads", &CollectResult::read_count, "Times the reader was read.")
        .def_property_readonly(
            "each_read",
            [](const CollectResult& r) {
                py::list reads;
                const nlohmann::ordered_json json = collect::to_json(r);
                for (const nlohmann::ordered_json& read : json.at("each_read")) {
                    reads.append(py::str(read.at("got").get<std::string>()));
                }
                return reads;
            },
            "What each read got, in order: \"whole\", \"cut\", \"no answer\", \"dropped\",\n"
            "\"garbled\" or \"failed\".")
        .def_property_readonly(
            "check", [](const CollectResult& r) { return std::string(store::to_string(r.check)); },
            "\"sure\" (two reads agreed byte for byte), \"unsure\" (no two agreed: no record\n"
            "stored) or \"not checked\" (one read trusted, never compared).")
        .def_property_readonly("message", &collect::describe,
                               "The collect's line, as kdr collect prints it.")
        .def_readonly("new_records", &CollectResult::new_records, "Records this collect stored.")
        .def_readonly("already_stored", &CollectResult::already_stored,
                      "Records an earlier collect had stored.")
        .def_readonly("new_memory", &CollectResult::new_memory,
                      "The store began a new memory for the reader.")
        .def_property_readonly(
            "erase",
            [](const CollectResult& r) -> py::object {
                return r.erase ? py::str(std::string(store::to_string(*r.erase)))
                               : py::object(py::none());
            },
            "What became of the erase (\"verified\", \"acknowledged\", \"refused\", ...);\n"
            "None when it was not asked for or not tried.")
        .def_readonly("erase_unrecorded", &CollectResult::erase_unrecorded,
                      "Why the store could not note the erase result; empty when it did.")
        .def_readonly("detail", &CollectResult::detail, "Why, for people.")
        .def("__repr__", [](const CollectResult& r) {
            return py::str(
                       "kdr.CollectResult(outcome={!r}, reader={!r}, new_records={}, "
                       "already_stored={})")
                .format(std::string(to_string(r.outcome)), r.reader, r.new_records,
                        r.already_stored);
        });

    module.def(
        "collect", &collect_into, py::arg("port"), py::arg("db"), py::kw_only(),
        py::arg("password") = "", py::arg("erase") = false, py::arg("reader") = "",
        py::arg("single_read") = false,
        R"(Stores the reader's download as `kdr collect` does, and returns a kdr.CollectResult.

db is a SQLite file (made when missing) or a PostgreSQL URI
("postgresql://..."). The store is opened first, then the reader on port;
the download is stored in one transaction, records a store already holds
are not stored twice, and with erase=True the reader is erased only once its
whole download is durably stored, then read back. The reader is read twice
and the download stored only when both answers are the same byte for byte
(a third read decides; when no two agree, outcome is "unsure": no record is
stored and the reader is not erased); single_read=True trusts one read, and
then a byte the line damaged is stored as if the reader had sent it.
reader names a reader that has no machine ID of its own (printable ASCII,
at most 32 characters, no other reader's ID: ValueError, or
kdr.StoreError of kind "reader conflict"). Raises kdr.StoreError when the
store cannot be opened, and the Reader's exceptions when the reader cannot
be reached; what became of the download and the erase is in the result.)");
}

}  // namespace kdr::python
