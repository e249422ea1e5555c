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

void render_stored(std::ostream& out, std::string_view format,
                   const std::vector<store::StoredRecord>& rows) {
    // Each reader's records in the formats of a download. No reader
    // announced a count for them, and whether a reader's whole memory is
    // among them is not known: those stay empty.
    const std::unique_ptr<RecordWriter> writer =
        make_writer(format, out, WriterOptions{default_decoder(), {}, true});
    for (std::size_t i = 0; i < rows.size();) {
        std::size_t next = i;
        while (next < rows.size() && rows[next].machine_id == rows[i].machine_id) {
            ++next;
        }
        ReaderHeader reader;
        reader.machine_id = rows[i].machine_id;
        reader.received = next - i;
        writer->begin(reader);
        for (; i < next; ++i) {
            writer->record(rows[i].record);
        }
        writer->end();
    }
    writer->finish();
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
