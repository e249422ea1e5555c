#include "web/web_view.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <kainjow/mustache.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "collect/outcome.hpp"
#include "kdr/text_encoding.hpp"
#include "writers/formats.hpp"
#include "writers/stored.hpp"

namespace kdr::web {
namespace {

using Json = nlohmann::ordered_json;
using kainjow::mustache::data;
using kainjow::mustache::mustache;
using store::Store;
using writers::csv_field;
using writers::default_decoder;
using writers::download_json;
using writers::render_stored;

// --- Parameters -------------------------------------------------------------

/// Refuses a parameter the URL does not take, and one given twice.
void take_only(const Parameters& parameters, std::span<const std::string_view> names) {
    for (auto it = parameters.begin(); it != parameters.end(); ++it) {
        if (std::find(names.begin(), names.end(), it->first) == names.end()) {
            std::string known;
            for (const std::string_view name : names) {
                known += fmt::format("{}{}", known.empty() ? "" : ", ", name);
            }
            throw BadRequest(
                fmt::format("this address takes no parameter \"{}\"{}", it->first,
                            known.empty() ? std::string() : fmt::format(" (it takes {})", known)));
        }
        if (parameters.count(it->first) > 1) {
            throw BadRequest(
                fmt::format("the parameter \"{}\" is given more than once", it->first));
        }
    }
}

/// The parameter's value; none when absent or empty (a form's empty field).
std::optional<std::string> value_of(const Parameters& parameters, std::string_view name) {
    const auto found = parameters.find(std::string(name));
    if (found == parameters.end() || found->second.empty()) {
        return std::nullopt;
    }
    return found->second;
}

std::size_t number_of(const Parameters& parameters, std::string_view name, std::size_t fallback,
                      std::size_t lowest, std::size_t highest) {
    const std::optional<std::string> text = value_of(parameters, name);
    if (!text) {
        return fallback;
    }
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc{} || end != text->data() + text->size() || value < lowest ||
        value > highest) {
        throw BadRequest(fmt::format("\"{}\" must be a whole number from {} to {}, not \"{}\"",
                                     name, lowest, highest, *text));
    }
    return value;
}

std::optional<std::chrono::year_month_day> day_of(const Parameters& parameters,
                                                  std::string_view name) {
    const std::optional<std::string> text = value_of(parameters, name);
    if (!text) {
        return std::nullopt;
    }
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    const auto digits = [&](std::size_t from, std::size_t count) {
        return std::all_of(text->begin() + static_cast<std::ptrdiff_t>(from),
                           text->begin() + static_cast<std::ptrdiff_t>(from + count),
                           [](char c) { return c >= '0' && c <= '9'; });
    };
    const bool shaped = text->size() == 10 && (*text)[4] == '-' && (*text)[7] == '-' &&
                        digits(0, 4) && digits(5, 2) && digits(8, 2);
    if (shaped) {
        year = std::stoi(text->substr(0, 4));
        month = static_cast<unsigned>(std::stoi(text->substr(5, 2)));
        day = static_cast<unsigned>(std::stoi(text->substr(8, 2)));
    }
    const std::chrono::year_month_day result{std::chrono::year{year}, std::chrono::month{month},
                                             std::chrono::day{day}};
    if (!shaped || !result.ok()) {
        throw BadRequest(fmt::format(
            "\"{}\" must be a day as YYYY-MM-DD, such as 2024-05-01, not \"{}\"", name, *text));
    }
    return result;
}

/// The filter of a reader's records from reader, since, until and q.
store::RecordFilter record_filter(const Parameters& parameters,
                                  std::optional<std::string> reader = std::nullopt) {
    store::RecordFilter filter;
    filter.machine_id = reader ? std::move(reader) : value_of(parameters, "reader");
    filter.since = day_of(parameters, "since");
    filter.until = day_of(parameters, "until");
    filter.text = value_of(parameters, "q");
    if (filter.text && filter.text->size() > kMaxSearch) {
        throw BadRequest(fmt::format("the search text is longer than {} bytes", kMaxSearch));
    }
    // Searched as UTF-8: other bytes would match nothing on SQLite and be
    // refused by PostgreSQL.
    if (filter.text && checked_utf8(*filter.text) != *filter.text) {
        throw BadRequest("the search text is no valid UTF-8");
    }
    return filter;
}

// --- Words and links --------------------------------------------------------

std::string shown_id(std::string_view machine_id) {
    return cp1252_to_utf8(machine_id);
}

/// The reader's ID as a URL takes it: spaces around it left out (readers pad
/// their IDs), and every byte but letters, digits and "-._~" escaped.
std::string url_component(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
            (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += fmt::format("%{:02X}", byte);
        }
    }
    return out;
}

std::string trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

std::string reader_href(std::string_view machine_id) {
    const std::string id = trimmed(shown_id(machine_id));
    // A reader that sends eight spaces has no ID to name it by.
    return "/readers/" + url_component(id.empty() ? shown_id(machine_id) : id);
}

/// The query string of the filters, for links that keep them.
std::string query_of(const std::vector<std::pair<std::string, std::optional<std::string>>>& pairs) {
    std::string query;
    for (const auto& [name, value] : pairs) {
        if (value) {
            query += fmt::format("{}{}={}", query.empty() ? "?" : "&", name, url_component(*value));
        }
    }
    return query;
}

std::string day_text(const std::optional<std::chrono::year_month_day>& day) {
    if (!day) {
        return {};
    }
    return fmt::format("{:04}-{:02}-{:02}", static_cast<int>(day->year()),
                       static_cast<unsigned>(day->month()), static_cast<unsigned>(day->day()));
}

/// "2026-12-07T13:05:00.123Z" as "2026-12-07 13:05 UTC".
std::string shown_time(const std::string& utc) {
    if (utc.size() < 16) {
        return utc;
    }
    return fmt::format("{} {} UTC", utc.substr(0, 10), utc.substr(11, 5));
}

/// Whole days since a stored UTC time; none when it cannot be read.
std::optional<std::int64_t> days_since(const std::string& utc) {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    unsigned hour = 0;
    unsigned minute = 0;
    // NOLINTNEXTLINE(cert-err34-c): the store wrote the time; a mismatch is caught below
    if (std::sscanf(utc.c_str(), "%4d-%2u-%2uT%2u:%2u", &year, &month, &day, &hour, &minute) != 5) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{month},
                                           std::chrono::day{day}};
    if (!date.ok()) {
        return std::nullopt;
    }
    const auto then =
        std::chrono::sys_days{date} + std::chrono::hours{hour} + std::chrono::minutes{minute};
    return std::chrono::duration_cast<std::chrono::days>(std::chrono::system_clock::now() - then)
        .count();
}

data download_data(const store::StoredDownload& d) {
    data row;
    row.set("id", std::to_string(d.id));
    row.set("when", shown_time(d.ended));
    row.set("reader", shown_id(d.machine_id));
    row.set("reader_href", reader_href(d.machine_id));
    row.set("port", d.port);
    row.set("announced", std::to_string(d.announced));
    row.set("received", std::to_string(d.received));
    row.set("new", std::to_string(d.new_records));
    row.set("already", std::to_string(d.already_stored));
    row.set("complete", d.complete);
    // What the collect came to, in the collect's own words.
    const collect::CollectResult outcome = collect::outcome_of(d);
    row.set("reads", collect::reads_words(outcome));
    row.set("reads_worrying", collect::reads_worth_a_look(outcome));
    row.set("erase", collect::erase_words(outcome));
    row.set("erase_worrying", collect::erase_worth_a_look(outcome));
    row.set("has_answer", d.has_answer);
    row.set("answer_href", fmt::format("/downloads/{}/answer", d.id));
    return row;
}

// --- Rendering --------------------------------------------------------------

std::string render(std::string_view name, data values, const std::string& title,
                   std::int64_t last_download, bool chart) {
    values.set("title", title);
    // A page that watches for new downloads carries the last one it shows.
    values.set("live", last_download >= 0);
    values.set("last_download", std::to_string(last_download));
    values.set("chart", chart);
    values.set("head",
               kainjow::mustache::partial{[] { return std::string(asset("head.mustache")); }});
    values.set("foot",
               kainjow::mustache::partial{[] { return std::string(asset("foot.mustache")); }});
    mustache page{std::string(asset(name))};
    std::string text = page.render(values);
    if (!page.is_valid()) {
        throw std::logic_error(fmt::format("the template {}: {}", name, page.error_message()));
    }
    return text;
}

Answer json_answer(const Json& json) {
    return {200, "application/json", json.dump(1) + "\n", {}};
}

Answer file_answer(std::string content_type, std::string body, const std::string& file_name) {
    Answer answer{200, std::move(content_type), std::move(body), {}};
    answer.headers["Content-Disposition"] = fmt::format("attachment; filename=\"{}\"", file_name);
    return answer;
}

/// The page links of a list of `total` rows shown `kPageRows` at a time.
data pages_data(std::size_t page, std::int64_t total, const std::string& base,
                const std::string& query) {
    const auto count = static_cast<std::size_t>(std::max<std::int64_t>(
        1,
        (total + static_cast<std::int64_t>(kPageRows) - 1) / static_cast<std::int64_t>(kPageRows)));
    data pages;
    pages.set("page", std::to_string(page));
    pages.set("pages", std::to_string(count));
    const std::string joiner = query.empty() ? "?" : "&";
    if (page > 1) {
        pages.set("previous", fmt::format("{}{}{}page={}", base, query, joiner, page - 1));
    }
    if (page < count) {
        pages.set("next", fmt::format("{}{}{}page={}", base, query, joiner, page + 1));
    }
    return pages;
}

constexpr std::array kRecordParameters{std::string_view("reader"), std::string_view("since"),
                                       std::string_view("until"),  std::string_view("q"),
                                       std::string_view("offset"), std::string_view("limit")};

}  // namespace

Answer WebView::readers_page(Store& store, const Parameters& parameters) const {
    constexpr std::array names{std::string_view("page"), std::string_view("stale")};
    take_only(parameters, names);
    const std::optional<std::string> stale_only = value_of(parameters, "stale");
    if (stale_only && *stale_only != "1") {
        throw BadRequest("\"stale\" is 1 (only the readers not seen lately) or not given");
    }
    const std::size_t page = number_of(parameters, "page", 1, 1, kMaxOffset / kPageRows);
    const std::vector<store::ReaderSummary> summaries = store.reader_summaries();
    // The totals are the store's; the rows, a page of those the filter keeps.
    data rows{data::type::list};
    std::int64_t records = 0;
    std::size_t stale = 0;
    std::int64_t listed = 0;
    const std::size_t first = (page - 1) * kPageRows;
    for (const store::ReaderSummary& summary : summaries) {
        records += summary.records;
        std::optional<std::int64_t> age;
        if (summary.last_download) {
            age = days_since(summary.last_download->ended);
        }
        const bool is_stale = !age || *age >= settings_.stale_days;
        stale += is_stale ? 1U : 0U;
        if (stale_only && !is_stale) {
            continue;
        }
        const auto index = static_cast<std::size_t>(listed++);
        if (index < first || index >= first + kPageRows) {
            continue;
        }
        data row;
        row.set("name", shown_id(summary.machine_id));
        row.set("href", reader_href(summary.machine_id));
        row.set("named", summary.named);
        row.set("records", std::to_string(summary.records));
        if (summary.last_download) {
            row.set("last", download_data(*summary.last_download));
        }
        row.set("stale", is_stale);
        row.set("age", !age        ? std::string("never collected")
                       : *age <= 0 ? std::string("today")
                       : *age == 1 ? std::string("yesterday")
                                   : fmt::format("{} days ago", *age));
        rows.push_back(row);
    }
    data values;
    values.set("readers", rows);
    values.set("reader_count", std::to_string(summaries.size()));
    values.set("record_count", std::to_string(records));
    values.set("stale_count", std::to_string(stale));
    values.set("has_stale", stale > 0);
    values.set("stale_only", stale_only.has_value());
    values.set("stale_days", std::to_string(settings_.stale_days));
    values.set("store", store.name());
    values.set("pages", pages_data(page, listed, "/", stale_only ? "?stale=1" : ""));
    return {200,
            "text/html; charset=utf-8",
            render("readers.mustache", std::move(values), "Readers", store.last_download_id(),
                   settings_.chart),
            {}};
}

Answer WebView::reader_page(Store& store, const std::string& reader,
                            const Parameters& parameters) const {
    constexpr std::array names{std::string_view("since"), std::string_view("until"),
                               std::string_view("q"), std::string_view("page")};
    take_only(parameters, names);
    store::RecordFilter filter = record_filter(parameters, reader);
    const std::size_t page = number_of(parameters, "page", 1, 1, kMaxOffset / kPageRows);
    filter.offset = (page - 1) * kPageRows;
    filter.limit = kPageRows;
    const std::vector<store::StoredRecord> rows = store.records(filter);
    const std::int64_t total = store.count_records(filter);
    // The reader's ID as stored: from its records, or, on a page without
    // any, from the list of readers (which also tells a reader that is not).
    std::optional<std::string> stored_id;
    if (!rows.empty()) {
        stored_id = rows.front().machine_id;
    } else {
        for (const std::string& id : store.readers()) {
            if (store::same_reader(id, reader)) {
                stored_id = id;
            }
        }
    }
    if (!stored_id) {
        return error_page(404, "No such reader",
                          fmt::format("The store holds no reader \"{}\". The readers page lists "
                                      "those it holds.",
                                      reader));
    }

    data records{data::type::list};
    for (const store::StoredRecord& stored : rows) {
        data row;
        row.set("position", std::to_string(stored.position));
        row.set("stamp", writers::shown_stamp(stored.record.stamp));
        row.set("stamp_damaged", stored.record.stamp.state != StampState::Valid);
        row.set("text", default_decoder()(stored.record.text));
        row.set("download", std::to_string(stored.download_id));
        records.push_back(row);
    }
    const std::string base = reader_href(*stored_id);
    const std::string query = query_of({{"q", filter.text},
                                        {"since", value_of(parameters, "since")},
                                        {"until", value_of(parameters, "until")}});
    const std::string export_query = query_of({{"reader", trimmed(shown_id(*stored_id))},
                                               {"q", filter.text},
                                               {"since", value_of(parameters, "since")},
                                               {"until", value_of(parameters, "until")}});
    data values;
    values.set("reader", shown_id(*stored_id));
    values.set("href", base);
    values.set("records", records);
    values.set("empty", rows.empty());
    values.set("total", std::to_string(total));
    values.set("first", std::to_string(rows.empty() ? 0 : filter.offset + 1));
    values.set("last", std::to_string(filter.offset + rows.size()));
    values.set("q", filter.text.value_or(""));
    values.set("since", day_text(filter.since));
    values.set("until", day_text(filter.until));
    values.set("filtered", filter.text || filter.since || filter.until);
    values.set("pages", pages_data(page, total, base, query));
    values.set("csv", "/export/records.csv" + export_query);
    values.set("json", "/export/records.json" + export_query);
    values.set("days", "/api/days" + query_of({{"reader", trimmed(shown_id(*stored_id))},
                                               {"since", value_of(parameters, "since")},
                                               {"until", value_of(parameters, "until")}}));
    return {200,
            "text/html; charset=utf-8",
            render("reader.mustache", std::move(values), shown_id(*stored_id),
                   store.last_download_id(), settings_.chart),
            {}};
}

Answer WebView::downloads_page(Store& store, const Parameters& parameters) const {
    constexpr std::array names{std::string_view("reader"), std::string_view("page")};
    take_only(parameters, names);
    const std::size_t page = number_of(parameters, "page", 1, 1, kMaxOffset / kPageRows);
    store::DownloadFilter filter;
    filter.machine_id = value_of(parameters, "reader");
    const std::int64_t last = store.last_download_id();
    filter.limit = kPageRows;
    filter.offset = (page - 1) * kPageRows;
    std::vector<store::StoredDownload> rows = store.downloads(filter);
    std::reverse(rows.begin(), rows.end());  // the newest first
    data list{data::type::list};
    for (const store::StoredDownload& d : rows) {
        list.push_back(download_data(d));
    }
    // Without a count of downloads at hand, the ids bound the pages: a next
    // page is offered while this one is full.
    data pages;
    pages.set("page", std::to_string(page));
    const std::string query = query_of({{"reader", filter.machine_id}});
    const std::string joiner = query.empty() ? "?" : "&";
    if (page > 1) {
        pages.set("previous", fmt::format("/downloads{}{}page={}", query, joiner, page - 1));
    }
    if (rows.size() == kPageRows) {
        pages.set("next", fmt::format("/downloads{}{}page={}", query, joiner, page + 1));
    }
    data values;
    values.set("downloads", list);
    values.set("empty", rows.empty());
    values.set("pages", pages);
    values.set("reader", filter.machine_id.value_or(""));
    values.set("by_reader", filter.machine_id.has_value());
    values.set("csv", "/export/downloads.csv" + query);
    values.set("json", "/api/downloads" + query);
    return {200,
            "text/html; charset=utf-8",
            render("downloads.mustache", std::move(values), "Downloads", last, false),
            {}};
}

Answer WebView::answer_file(Store& store, std::string_view id) {
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), number);
    if (error != std::errc{} || end != id.data() + id.size() || number < 1) {
        throw BadRequest(fmt::format("\"{}\" is no download number", id));
    }
    std::optional<std::string> bytes = store.answer(number);
    if (!bytes) {
        return error_page(404, "No answer kept",
                          fmt::format("The store keeps no answer for download {}: there is no "
                                      "such download, or it was stored before answers were kept.",
                                      number));
    }
    return file_answer("application/octet-stream", std::move(*bytes),
                       fmt::format("download-{}.bin", number));
}

Answer WebView::api_readers(Store& store, const Parameters& parameters) const {
    take_only(parameters, {});
    Json list = Json::array();
    for (const store::ReaderSummary& summary : store.reader_summaries()) {
        Json entry;
        entry["machine_id"] = shown_id(summary.machine_id);
        entry["named"] = summary.named;
        entry["records"] = summary.records;
        std::optional<std::int64_t> age;
        if (summary.last_download) {
            entry["last_download"] = download_json(*summary.last_download);
            age = days_since(summary.last_download->ended);
        } else {
            entry["last_download"] = nullptr;
        }
        entry["stale"] = !age || *age >= settings_.stale_days;
        list.push_back(std::move(entry));
    }
    return json_answer(list);
}

Answer WebView::api_records(Store& store, const Parameters& parameters) {
    take_only(parameters, kRecordParameters);
    store::RecordFilter filter = record_filter(parameters);
    filter.offset = number_of(parameters, "offset", 0, 0, kMaxOffset);
    filter.limit = number_of(parameters, "limit", kPageRows, 1, kMaxApiRows);
    Json records = Json::array();
    for (const store::StoredRecord& stored : store.records(filter)) {
        Json entry;
        entry["machine_id"] = shown_id(stored.machine_id);
        entry["download_id"] = stored.download_id;
        entry["position"] = stored.position;
        entry["time"] = stored.time ? Json(*stored.time) : Json(nullptr);
        entry["date_line"] = stored.date_line;
        entry["stamp_damaged"] = stored.record.stamp.state != StampState::Valid;
        entry["stamp"] = writers::shown_stamp(stored.record.stamp);
        entry["text"] = default_decoder()(stored.record.text);
        records.push_back(std::move(entry));
    }
    Json json;
    json["total"] = store.count_records(filter);
    json["offset"] = filter.offset;
    json["limit"] = *filter.limit;
    json["records"] = std::move(records);
    return json_answer(json);
}

Answer WebView::api_downloads(Store& store, const Parameters& parameters) {
    constexpr std::array names{std::string_view("reader"), std::string_view("since"),
                               std::string_view("limit"), std::string_view("offset")};
    take_only(parameters, names);
    store::DownloadFilter filter;
    filter.machine_id = value_of(parameters, "reader");
    if (const auto since = day_of(parameters, "since")) {
        filter.since = since;
    }
    filter.limit = number_of(parameters, "limit", kPageRows, 1, kMaxApiRows);
    filter.offset = number_of(parameters, "offset", 0, 0, kMaxOffset);
    Json list = Json::array();
    for (const store::StoredDownload& d : store.downloads(filter)) {
        list.push_back(download_json(d));
    }
    return json_answer(list);
}

Answer WebView::api_days(Store& store, const Parameters& parameters) {
    constexpr std::array names{std::string_view("reader"), std::string_view("since"),
                               std::string_view("until")};
    take_only(parameters, names);
    Json list = Json::array();
    for (const store::DayCount& day : store.records_per_day(record_filter(parameters))) {
        list.push_back(Json{{"day", day.day}, {"records", day.records}});
    }
    return json_answer(list);
}

Answer WebView::export_file(Store& store, std::string_view what, std::string_view format,
                            const Parameters& parameters) const {
    if (what == "records" && (format == "csv" || format == "json")) {
        take_only(parameters, kRecordParameters);
        store::RecordFilter filter = record_filter(parameters);
        filter.offset = number_of(parameters, "offset", 0, 0, kMaxOffset);
        filter.limit = number_of(parameters, "limit", kMaxExportRows, 1, kMaxExportRows);
        return file_answer(format == "csv" ? "text/csv; charset=utf-8" : "application/json",
                           render_stored(format, store.records(filter)),
                           fmt::format("records.{}", format));
    }
    if (what == "readers" && format == "csv") {
        take_only(parameters, {});
        std::string csv =
            "machine_id,named,records,last_download,last_ended,last_port,complete,"
            "sure,erase,stale,check\n";
        for (const store::ReaderSummary& summary : store.reader_summaries()) {
            const std::optional<store::StoredDownload>& last = summary.last_download;
            const std::optional<std::int64_t> age = last ? days_since(last->ended) : std::nullopt;
            csv += fmt::format("{},{},{},{},{},{},{},{},{},{},{}\n",
                               csv_field(shown_id(summary.machine_id)), summary.named,
                               summary.records, last ? std::to_string(last->id) : "",
                               last ? last->ended : "", last ? csv_field(last->port) : "",
                               last ? fmt::format("{}", last->complete) : "",
                               last ? fmt::format("{}", last->check == store::ReadCheck::Sure) : "",
                               last ? std::string(store::to_string(last->erase)) : "",
                               !age || *age >= settings_.stale_days,
                               last ? std::string(store::to_string(last->check)) : "");
        }
        return file_answer("text/csv; charset=utf-8", std::move(csv), "readers.csv");
    }
    if (what == "downloads" && format == "csv") {
        constexpr std::array names{std::string_view("reader"), std::string_view("since"),
                                   std::string_view("limit"), std::string_view("offset")};
        take_only(parameters, names);
        store::DownloadFilter filter;
        filter.machine_id = value_of(parameters, "reader");
        filter.since = day_of(parameters, "since");
        filter.limit = number_of(parameters, "limit", kMaxExportRows, 1, kMaxExportRows);
        filter.offset = number_of(parameters, "offset", 0, 0, kMaxOffset);
        std::string csv =
            "id,started,ended,machine_id,port,announced,received,complete,new,"
            "already_stored,erase,reads,sure,check\n";
        for (const store::StoredDownload& d : store.downloads(filter)) {
            csv += fmt::format("{},{},{},{},{},{},{},{},{},{},{},{},{},{}\n", d.id, d.started,
                               d.ended, csv_field(shown_id(d.machine_id)), csv_field(d.port),
                               d.announced, d.received, d.complete, d.new_records, d.already_stored,
                               store::to_string(d.erase), d.reads,
                               d.check == store::ReadCheck::Sure, store::to_string(d.check));
        }
        return file_answer("text/csv; charset=utf-8", std::move(csv), "downloads.csv");
    }
    return error_page(404, "Not found", "There is no such export.");
}

Answer WebView::error_page(int status, std::string_view title, std::string_view message) {
    data values;
    values.set("message", std::string(message));
    return {status,
            "text/html; charset=utf-8",
            render("error.mustache", std::move(values), std::string(title), -1, false),
            {}};
}

Answer WebView::token_page(std::string_view path, bool wrong) {
    data values;
    values.set("message",
               wrong ? std::string("The access token given is not this station's: check it with "
                                   "the station's keeper and give it again.")
                     : std::string("This station's view needs its access token: give it here, or "
                                   "open the address the station's keeper gave you, which ends "
                                   "in ?token=.... Scripts send the header \"Authorization: "
                                   "Bearer TOKEN\"."));
    data form;
    form.set("action", std::string(path));
    values.set("token_form", form);
    return {401,
            "text/html; charset=utf-8",
            render("error.mustache", std::move(values),
                   wrong ? "Wrong access token" : "Access token needed", -1, false),
            {}};
}

}  // namespace kdr::web
