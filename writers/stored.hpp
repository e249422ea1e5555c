// What the store holds, written out: its records in the formats of a
// download, its downloads as JSON. The command line's export and history
// and the web view write them alike.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.hpp"

namespace kdr::writers {

class RecordWriter;

/// Stored records in a format that can write them ("csv", "json", ...), one
/// reader after another in one document, written as they are given: page
/// after page of a store's records, in the store's order. A reader's records
/// are held until the next reader's come (its header says how many it has),
/// nothing else.
class StoredWriter {
  public:
    /// Throws UnknownName for no such format, before writing anything.
    StoredWriter(std::ostream& out, std::string_view format);
    ~StoredWriter();
    StoredWriter(const StoredWriter&) = delete;
    StoredWriter& operator=(const StoredWriter&) = delete;

    void add(store::StoredRecord row);
    /// Writes the last reader and the document's end.
    void finish();

  private:
    void write_reader();

    std::unique_ptr<RecordWriter> writer_;
    std::string machine_id_;
    std::vector<DownloadedRecord> records_;
};

/// Stored records in a format that can write them ("csv", "json", ...), one
/// reader after another, in one document. Throws UnknownName for no such
/// format.
[[nodiscard]] std::string render_stored(std::string_view format,
                                        const std::vector<store::StoredRecord>& rows);
/// The same, written to `out` as it goes (as StoredWriter writes). Throws
/// UnknownName before writing anything.
void render_stored(std::ostream& out, std::string_view format,
                   const std::vector<store::StoredRecord>& rows);

/// A record's time stamp as a person should see it: the date line for a
/// real date and time; for a damaged one, that it is damaged and the six
/// characters as they were sent, as codes ("damaged, sent as 1C 1D 4B 18 10
/// 10"), never a date it is not.
[[nodiscard]] std::string shown_stamp(const Stamp& stamp);

/// A stored download as one JSON object: id, started, ended, machine_id
/// (UTF-8), port, announced, received, complete, new, already_stored, erase,
/// reads, sure.
[[nodiscard]] nlohmann::ordered_json download_json(const store::StoredDownload& download);

}  // namespace kdr::writers
