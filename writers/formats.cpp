#include "writers/formats.hpp"

#include <fmt/format.h>

#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <type_traits>

#include "kdr/text_encoding.hpp"

namespace kdr::writers {

UnknownName::UnknownName(Kind kind, std::string_view name)
    : std::invalid_argument(
          kind == Kind::Format
              ? fmt::format("no such format: {}", name)
              : fmt::format("no such encoding: {} (give cp1252, latin1 or utf8)", name)),
      kind_(kind),
      name_(name) {}

std::string csv_field(std::string_view field) {
    // A spreadsheet takes a cell that begins so for a formula (OWASP's CSV
    // injection): a leading quote makes it text again.
    const bool formula = !field.empty() &&
                         std::string_view("=+-@\t\r").find(field.front()) != std::string_view::npos;
    if (!formula && field.find_first_of(",\"\r\n") == std::string_view::npos) {
        return std::string(field);
    }
    std::string quoted = formula ? "\"'" : "\"";
    for (const char c : field) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

namespace {

// A record's moment, as one ISO 8601 local timestamp and as its two halves;
// none for a stamp that is no real date and time.
struct Moment {
    std::string timestamp;
    std::string date;
    std::string time;
};

std::optional<Moment> moment_of(const Stamp& stamp) {
    if (stamp.state != StampState::Valid) {
        return std::nullopt;
    }
    Moment moment;
    moment.date =
        fmt::format("{:04}-{:02}-{:02}", 2000 + stamp.value(0), stamp.value(1), stamp.value(2));
    moment.time = fmt::format("{:02}:{:02}:{:02}", stamp.value(3), stamp.value(4), stamp.value(5));
    moment.timestamp = moment.date + "T" + moment.time;
    return moment;
}

}  // namespace

TextDecoder text_decoder(std::string_view encoding) {
    if (encoding == "cp1252") {
        return cp1252_to_utf8;
    }
    if (encoding == "latin1") {
        return latin1_to_utf8;
    }
    if (encoding == "utf8") {
        return checked_utf8;
    }
    throw UnknownName(UnknownName::Kind::Encoding, encoding);
}

TextEncoder text_encoder(std::string_view encoding) {
    if (encoding == "cp1252") {
        return utf8_to_cp1252;
    }
    if (encoding == "latin1") {
        return utf8_to_latin1;
    }
    if (encoding == "utf8") {
        return [](std::string_view text) { return std::string(text); };
    }
    throw UnknownName(UnknownName::Kind::Encoding, encoding);
}

const TextDecoder& default_decoder() {
    static const TextDecoder decoder = text_decoder("cp1252");
    return decoder;
}

std::string with_platform_line_ends(std::string_view text) {
    std::string converted;
    converted.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        converted += text[i];
    }
    return converted;
}

namespace {

using Json = nlohmann::ordered_json;

Json json_record(const DownloadedRecord& record, const TextDecoder& decode) {
    const std::optional<Moment> moment = moment_of(record.stamp);
    Json entry;
    entry["timestamp"] = moment ? Json(moment->timestamp) : nullptr;
    entry["date"] = moment ? Json(moment->date) : nullptr;
    entry["time"] = moment ? Json(moment->time) : nullptr;
    entry["date_line"] = record.stamp.line();
    entry["text"] = decode(record.text);
    return entry;
}

template <class T>
std::string json_value(const std::optional<T>& value) {
    return value ? Json(*value).dump() : Json(nullptr).dump();
}

// The controller's result text: it needs the whole answer (the host's year,
// what followed the last record), so the records are gathered and rendered
// at the end.
class TextWriter final : public RecordWriter {
  public:
    TextWriter(std::ostream& out, const WriterOptions& options, bool raw)
        : out_(out), options_(options), raw_(raw) {}
    void begin(const ReaderHeader& reader) override {
        download_ = Download{};
        download_.has_header = reader.has_header;
        download_.machine_id = reader.machine_id;
        download_.announced = static_cast<std::int32_t>(reader.announced.value_or(0));
        download_.host_year = reader.host_year;
        download_.cut = reader.cut;
        download_.tail = reader.tail;
        download_.records.reserve(reader.received);
    }
    void record(const DownloadedRecord& record) override { download_.records.push_back(record); }
    void end() override {
        const std::string text = render_text(download_, options_.text);
        out_ << (raw_ ? text : options_.decode(with_platform_line_ends(text)));
    }

  private:
    std::ostream& out_;
    WriterOptions options_;
    bool raw_;
    Download download_;
};

// The layout of nlohmann's dump(2), written a record at a time: one object
// per reader, in an array when there are several.
class JsonWriter final : public RecordWriter {
  public:
    JsonWriter(std::ostream& out, const WriterOptions& options) : out_(out), options_(options) {}
    void begin(const ReaderHeader& reader) override {
        if (options_.several) {
            out_ << (readers_ == 0 ? "[\n" : ",\n");
        }
        ++readers_;
        records_ = 0;
        out_ << "{\n  \"machine_id\": " << Json(options_.decode(reader.machine_id)).dump()
             << ",\n  \"record_count\": " << json_value(reader.announced)
             << ",\n  \"received\": " << reader.received
             << ",\n  \"complete\": " << json_value(reader.complete) << ",\n  \"records\": [";
    }
    void record(const DownloadedRecord& record) override {
        out_ << (records_++ == 0 ? "\n" : ",\n");
        const std::string object = json_record(record, options_.decode).dump(2);
        std::size_t line = 0;
        while (line < object.size()) {
            const std::size_t next = std::min(object.find('\n', line), object.size());
            out_ << "    " << std::string_view(object).substr(line, next - line)
                 << (next < object.size() ? "\n" : "");
            line = next + 1;
        }
    }
    void end() override {
        out_ << (records_ == 0 ? "]\n}" : "\n  ]\n}") << (options_.several ? "" : "\n");
    }
    void finish() override {
        if (options_.several) {
            out_ << (readers_ == 0 ? "[\n]\n" : "\n]\n");
        }
    }

  private:
    std::ostream& out_;
    WriterOptions options_;
    std::size_t readers_ = 0;
    std::size_t records_ = 0;
};

// One header row, then a row per record; a reader without records gets a row
// of its own with empty record fields.
class CsvWriter final : public RecordWriter {
  public:
    CsvWriter(std::ostream& out, const WriterOptions& options) : out_(out), options_(options) {}
    void begin(const ReaderHeader& reader) override {
        header();
        machine_id_ = csv_field(options_.decode(reader.machine_id));
        count_ = reader.announced ? std::to_string(*reader.announced) : std::string();
        number_ = 0;
    }
    void record(const DownloadedRecord& record) override {
        const Moment moment = moment_of(record.stamp).value_or(Moment{});
        out_ << fmt::format("{},{},{},{},{},{},{},{}\n", machine_id_, count_, ++number_,
                            moment.timestamp, moment.date, moment.time, record.stamp.line(),
                            csv_field(options_.decode(record.text)));
    }
    void end() override {
        if (number_ == 0) {
            out_ << fmt::format("{},{},,,,,,\n", machine_id_, count_);
        }
    }
    void finish() override { header(); }

  private:
    void header() {
        if (!header_written_) {
            out_ << "machine_id,record_count,record,timestamp,date,time,date_line,text\n";
            header_written_ = true;
        }
    }

    std::ostream& out_;
    WriterOptions options_;
    bool header_written_ = false;
    std::string machine_id_;
    std::string count_;
    std::int64_t number_ = 0;
};

template <class Writer, bool kRaw = false>
std::unique_ptr<RecordWriter> make(std::ostream& out, const WriterOptions& options) {
    if constexpr (std::is_same_v<Writer, TextWriter>) {
        return std::make_unique<TextWriter>(out, options, kRaw);
    } else {
        return std::make_unique<Writer>(out, options);
    }
}

constexpr std::array kFormats{
    RecordFormat{"text", true, true, make<TextWriter>},
    RecordFormat{"json", true, false, make<JsonWriter>},
    RecordFormat{"csv", true, false, make<CsvWriter>},
    RecordFormat{"raw", false, true, make<TextWriter, true>},
};

}  // namespace

ReaderHeader header_of(const Download& download) {
    return {download.has_header, download.machine_id, download.announced, download.records.size(),
            download.complete(), download.host_year,  download.cut,       download.tail};
}

std::span<const RecordFormat> record_formats() {
    return kFormats;
}

std::vector<std::string> format_names(bool stored_records) {
    std::vector<std::string> names;
    for (const RecordFormat& format : kFormats) {
        if (format.listed && !(stored_records && format.needs_answer)) {
            names.emplace_back(format.name);
        }
    }
    return names;
}

std::unique_ptr<RecordWriter> make_writer(std::string_view format, std::ostream& out,
                                          const WriterOptions& options) {
    for (const RecordFormat& known : kFormats) {
        if (known.name == format) {
            return known.make(out, options);
        }
    }
    throw UnknownName(UnknownName::Kind::Format, format);
}

void write_download(RecordWriter& writer, const Download& download) {
    writer.begin(header_of(download));
    for (const DownloadedRecord& record : download.records) {
        writer.record(record);
    }
    writer.end();
    writer.finish();
}

std::string render(std::string_view format, const Download& download,
                   const WriterOptions& options) {
    std::ostringstream out;
    write_download(*make_writer(format, out, options), download);
    return out.str();
}

std::string to_json(const Download& download, const TextDecoder& decode) {
    return render("json", download, {decode, {}, false});
}

std::string to_csv(const Download& download, const TextDecoder& decode) {
    return render("csv", download, {decode, {}, false});
}

}  // namespace kdr::writers
