#include "writers/stored.hpp"

#include <fmt/format.h>

#include <cstddef>
#include <memory>
#include <sstream>
#include <utility>

#include "collect/outcome.hpp"
#include "kdr/text_encoding.hpp"
#include "writers/formats.hpp"

namespace kdr::writers {

std::string render_stored(std::string_view format, const std::vector<store::StoredRecord>& rows) {
    std::ostringstream text;
    render_stored(text, format, rows);
    return std::move(text).str();
}

// Each reader's records in the formats of a download. No reader announced a
// count for them, and whether a reader's whole memory is among them is not
// known: those stay empty.
StoredWriter::StoredWriter(std::ostream& out, std::string_view format)
    : writer_(make_writer(format, out, WriterOptions{default_decoder(), {}, true})) {}

StoredWriter::~StoredWriter() = default;

void StoredWriter::add(store::StoredRecord row) {
    if (!records_.empty() && row.machine_id != machine_id_) {
        write_reader();
    }
    if (records_.empty()) {
        machine_id_ = std::move(row.machine_id);
    }
    records_.push_back(std::move(row.record));
}

void StoredWriter::write_reader() {
    ReaderHeader reader;
    reader.machine_id = machine_id_;
    reader.received = records_.size();
    writer_->begin(reader);
    for (const DownloadedRecord& record : records_) {
        writer_->record(record);
    }
    writer_->end();
    records_.clear();
}

void StoredWriter::finish() {
    if (!records_.empty()) {
        write_reader();
    }
    writer_->finish();
}

void render_stored(std::ostream& out, std::string_view format,
                   const std::vector<store::StoredRecord>& rows) {
    StoredWriter writer(out, format);
    for (const store::StoredRecord& row : rows) {
        writer.add(row);
    }
    writer.finish();
}

std::string shown_stamp(const Stamp& stamp) {
    if (stamp.state == StampState::Valid) {
        return stamp.line();
    }
    std::string codes;
    for (const std::uint8_t code : stamp.codes) {
        codes += fmt::format("{}{:02X}", codes.empty() ? "" : " ", code);
    }
    return fmt::format("damaged, sent as {}", codes);
}

nlohmann::ordered_json download_json(const store::StoredDownload& d) {
    nlohmann::ordered_json entry;
    entry["id"] = d.id;
    entry["started"] = d.started;
    entry["ended"] = d.ended;
    entry["machine_id"] = cp1252_to_utf8(d.machine_id);
    entry["port"] = d.port;
    entry["announced"] = d.announced;
    entry["received"] = d.received;
    entry["complete"] = d.complete;
    entry["new"] = d.new_records;
    entry["already_stored"] = d.already_stored;
    entry["erase"] = store::to_string(d.erase);
    entry["reads"] = d.reads;
    // What the collect came to, in the collect's own words.
    const nlohmann::ordered_json outcome = collect::to_json(collect::outcome_of(d));
    for (const char* key : {"outcome", "check", "sure", "each_read", "message"}) {
        entry[key] = outcome.at(key);
    }
    return entry;
}

}  // namespace kdr::writers
