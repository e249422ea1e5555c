#include "web/web_view.hpp"

#include <fmt/format.h>
#include <fmt/ostream.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <functional>
#include <kainjow/mustache.hpp>
#include <map>
#include <memory>
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

// --- Page data --------------------------------------------------------------

// The mustache library's set() and push_back() copy what they are given, and
// a page of 100 rows is thousands of values: these move them in instead.
// What they change is held in a data that is not const.
void put(data& object, const std::string& name, data value) {
    object.set(name, data(false));
    *const_cast<data*>(object.get(name)) = std::move(value);  // NOLINT
}

void append(data& list, data value) {
    auto& items = const_cast<std::vector<data>&>(list.list_value());  // NOLINT
    if (items.size() == items.capacity()) {
        // The library's data may throw as it moves, so a vector that grows
        // copies every row it holds: they are moved over by hand instead.
        std::vector<data> grown;
        grown.reserve(std::max<std::size_t>(8, items.size() * 2));
        for (data& item : items) {
            grown.emplace_back(false);
            grown.back() = std::move(item);
        }
        items.swap(grown);
    }
    items.emplace_back(false);
    items.back() = std::move(value);
}

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
    if (filter.text && filter.text->find('\0') != std::string::npos) {
        throw BadRequest("the search text holds a NUL character, which no record holds");
    }
    return filter;
}

/// A record's key as a URL carries it: "<reader>.<memory>.<position>".
std::string key_text(const store::RecordKey& key) {
    return fmt::format("{}.{}.{}", key.reader_id, key.memory, key.position);
}

std::optional<store::RecordKey> key_of(const Parameters& parameters, std::string_view name) {
    const std::optional<std::string> text = value_of(parameters, name);
    if (!text) {
        return std::nullopt;
    }
    std::array<std::int64_t, 3> parts{};
    const char* at = text->data();
    const char* const end = text->data() + text->size();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0 && (at == end || *at++ != '.')) {
            at = nullptr;
            break;
        }
        const auto [next, error] = std::from_chars(at, end, parts.at(i));
        if (error != std::errc{} || parts.at(i) < 0) {
            at = nullptr;
            break;
        }
        at = next;
    }
    if (at != end) {
        throw BadRequest(fmt::format(
            "\"{}\" must be a record's place as a page's link gives it, such as 3.120.41, not "
            "\"{}\"",
            name, *text));
    }
    return store::RecordKey{parts[0], parts[1], parts[2]};
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
    const std::optional<std::chrono::sys_seconds> then = collect::stored_time(utc);
    if (!then) {
        return std::nullopt;
    }
    return std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now() - *then).count();
}

/// A collect as the readers page shows a reader's last one (a tenth of its
/// rows' cost is here): when, where, and what it came to, in the collect's
/// own words.
data last_collect_data(const store::StoredDownload& d) {
    data row;
    put(row, "when", shown_time(d.ended));
    put(row, "port", d.port);
    put(row, "announced", std::to_string(d.announced));
    put(row, "received", std::to_string(d.received));
    put(row, "complete", d.complete);
    const collect::CollectResult outcome = collect::outcome_of(d);
    put(row, "reads", collect::reads_words(outcome));
    put(row, "reads_worrying", collect::reads_worth_a_look(outcome));
    put(row, "erase", collect::erase_words(outcome));
    put(row, "erase_worrying", collect::erase_worth_a_look(outcome));
    return row;
}

/// A collect as the lists of collects show it.
data download_data(const store::StoredDownload& d) {
    data row = last_collect_data(d);
    put(row, "id", std::to_string(d.id));
    put(row, "reader", shown_id(d.machine_id));
    put(row, "reader_href", reader_href(d.machine_id));
    put(row, "new", std::to_string(d.new_records));
    put(row, "already", std::to_string(d.already_stored));
    put(row, "has_answer", d.has_answer);
    put(row, "answer_href", fmt::format("/downloads/{}/answer", d.id));
    put(row, "href", fmt::format("/downloads/{}", d.id));
    return row;
}

// --- Rendering --------------------------------------------------------------

/// The template `name`, its head and foot written in, parsed once for each
/// thread (a page's template is as costly to parse as to fill in, and
/// rendering changes the library's template object).
mustache& parsed(std::string_view name) {
    thread_local std::map<std::string, std::unique_ptr<mustache>, std::less<>> templates;
    auto found = templates.find(name);
    if (found == templates.end()) {
        found = templates.emplace(std::string(name), nullptr).first;
    }
    std::unique_ptr<mustache>& kept = found->second;
    if (!kept) {
        std::string text(asset(name));
        for (const std::string_view part : {std::string_view("head"), std::string_view("foot")}) {
            const std::string tag = fmt::format("{{{{> {}}}}}\n", part);
            if (const std::size_t at = text.find(tag); at != std::string::npos) {
                text.replace(at, tag.size(), asset(fmt::format("{}.mustache", part)));
            }
        }
        kept = std::make_unique<mustache>(text);
        if (!kept->is_valid()) {
            throw std::logic_error(fmt::format("the template {}: {}", name, kept->error_message()));
        }
    }
    return *kept;
}

std::string render(std::string_view name, data values, const std::string& title,
                   std::int64_t last_download, bool chart) {
    put(values, "title", title);
    // A page that watches for new downloads carries the last one it shows.
    put(values, "live", last_download >= 0);
    put(values, "last_download", std::to_string(last_download));
    put(values, "chart", chart);
    return parsed(name).render(values);
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
    put(pages, "page", std::to_string(page));
    put(pages, "pages", std::to_string(count));
    const std::string joiner = query.empty() ? "?" : "&";
    if (page > 1) {
        put(pages, "previous", fmt::format("{}{}{}page={}", base, query, joiner, page - 1));
    }
    if (page < count) {
        put(pages, "next", fmt::format("{}{}{}page={}", base, query, joiner, page + 1));
    }
    return pages;
}

constexpr std::array kRecordParameters{std::string_view("reader"), std::string_view("since"),
                                       std::string_view("until"),  std::string_view("q"),
                                       std::string_view("offset"), std::string_view("limit"),
                                       std::string_view("after"),  std::string_view("before")};

/// The records an export reads at a time.
constexpr std::size_t kExportPage = 1000;

/// A page of records by keys (after=, before=): as quick deep as on top.
struct RecordPage {
    std::vector<store::StoredRecord> rows;
    bool previous = false;      ///< records come before the page
    bool next = false;          ///< records come after it
    bool past_the_end = false;  ///< a key was given, and no record lies beyond it
};

RecordPage record_page(Store& store, store::RecordFilter filter, const Parameters& parameters) {
    filter.after = key_of(parameters, "after");
    filter.before = key_of(parameters, "before");
    if (filter.after && filter.before) {
        throw BadRequest("\"after\" and \"before\" are not given together");
    }
    // One more than a page tells whether another page follows.
    filter.limit = kPageRows + 1;
    RecordPage page;
    page.rows = store.records(filter);
    const bool more = page.rows.size() > kPageRows;
    if (more) {
        page.rows.erase(filter.before ? page.rows.begin() : std::prev(page.rows.end()));
    }
    page.past_the_end = page.rows.empty() && (filter.after || filter.before);
    page.previous = !page.rows.empty() && (filter.after || (filter.before && more));
    page.next = !page.rows.empty() && (filter.before || more);
    return page;
}

/// The links of a page of records at `base` with the filters' `query`.
data page_links(const RecordPage& page, const std::string& base, const std::string& query) {
    data links;
    const std::string joiner = query.empty() ? "?" : "&";
    if (page.previous) {
        put(links, "first", base + query);
        put(links, "previous",
            fmt::format("{}{}{}before={}", base, query, joiner, key_text(page.rows.front().key)));
    }
    if (page.next) {
        put(links, "next",
            fmt::format("{}{}{}after={}", base, query, joiner, key_text(page.rows.back().key)));
    }
    return links;
}

data record_rows(const std::vector<store::StoredRecord>& rows) {
    data list{data::type::list};
    for (const store::StoredRecord& stored : rows) {
        data row;
        put(row, "reader", shown_id(stored.machine_id));
        put(row, "reader_href", reader_href(stored.machine_id));
        put(row, "position", std::to_string(stored.position));
        put(row, "stamp", writers::shown_stamp(stored.record.stamp));
        put(row, "stamp_damaged", stored.record.stamp.state != StampState::Valid);
        put(row, "text", default_decoder()(stored.record.text));
        put(row, "download", std::to_string(stored.download_id));
        append(list, std::move(row));
    }
    return list;
}

/// "42 records", "more than 1,000 records": a search is counted no further.
constexpr std::int64_t kCountCap = 1000;
std::string count_words(std::int64_t count, bool capped) {
    if (capped && count > kCountCap) {
        return fmt::format("more than {},{:03} records", kCountCap / 1000, kCountCap % 1000);
    }
    return fmt::format("{} record{}", count, count == 1 ? "" : "s");
}

/// A page that says what went wrong; `back`, when given, links to where to go.
Answer error_answer(int status, std::string_view title, std::string_view message,
                    std::string_view back = {}) {
    data values;
    put(values, "message", std::string(message));
    if (!back.empty()) {
        put(values, "back", std::string(back));
    }
    return {status,
            "text/html; charset=utf-8",
            render("error.mustache", std::move(values), std::string(title), -1, false),
            {}};
}

/// The page past the last of a list, with a link to its first page.
Answer past_the_end(std::string_view first) {
    return error_answer(404, "No such page",
                        "This page lies past the end of the list (the list may have grown "
                        "shorter since the link was made).",
                        first);
}

/// A download number from a path.
std::int64_t download_number(std::string_view id) {
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), number);
    if (error != std::errc{} || end != id.data() + id.size() || number < 1) {
        throw BadRequest(fmt::format("\"{}\" is no download number", id));
    }
    return number;
}

/// The download's kept answers numbered by read, in order: the download's
/// own answer is the read the others repeat, or else the first with an
/// answer that is not kept apart.
std::vector<store::KeptAnswer> numbered_answers(std::vector<store::KeptAnswer> answers,
                                                const collect::CollectResult& outcome) {
    int kept = 0;
    for (const collect::Read& read : outcome.reads) {
        kept = kept == 0 ? read.same_as : kept;
    }
    const auto apart = [&](int number) {
        return std::any_of(answers.begin(), answers.end(),
                           [number](const store::KeptAnswer& a) { return a.read == number; });
    };
    for (std::size_t i = 0; kept == 0 && i < outcome.reads.size(); ++i) {
        const collect::Read::Got got = outcome.reads[i].got;
        if ((got == collect::Read::Got::Whole || got == collect::Read::Got::Cut) &&
            !apart(static_cast<int>(i + 1))) {
            kept = static_cast<int>(i + 1);
        }
    }
    for (int number = 1; kept == 0; ++number) {
        kept = apart(number) ? 0 : number;
    }
    for (store::KeptAnswer& answer : answers) {
        answer.read = answer.read == 0 ? kept : answer.read;
    }
    std::sort(
        answers.begin(), answers.end(),
        [](const store::KeptAnswer& a, const store::KeptAnswer& b) { return a.read < b.read; });
    return answers;
}

/// Bytes as the page shows them: control characters as their pictures
/// (U+2400 on), the rest decoded as the outputs decode it.
std::string shown_bytes(std::string_view bytes) {
    std::string out;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() || static_cast<unsigned char>(bytes[i]) < 0x20) {
            out += default_decoder()(std::string(bytes.substr(from, i - from)));
            if (i < bytes.size()) {
                const auto picture =
                    static_cast<unsigned>(0x2400U + static_cast<unsigned char>(bytes[i]));
                out += static_cast<char>(0xE0U | (picture >> 12U));
                out += static_cast<char>(0x80U | ((picture >> 6U) & 0x3FU));
                out += static_cast<char>(0x80U | (picture & 0x3FU));
            }
            from = i + 1;
        }
    }
    return out;
}

/// The bytes in hex, 16 to a line after their offset; the byte at `mark`
/// (if any) in <mark>. Only hex digits and spaces: safe as HTML.
std::string hex_lines(std::string_view bytes, std::optional<std::size_t> mark) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0) {
            out += fmt::format("{}{:06x} ", i == 0 ? "" : "\n", i);
        }
        const std::string byte = fmt::format("{:02x}", static_cast<unsigned char>(bytes[i]));
        out += " " + (mark == i ? "<mark>" + byte + "</mark>" : byte);
    }
    return out;
}

/// Where `bytes` first differs from `first`; none when they are the same.
std::optional<std::size_t> first_difference(std::string_view first, std::string_view bytes) {
    const auto [a, b] = std::mismatch(first.begin(), first.end(), bytes.begin(), bytes.end());
    if (a == first.end() && b == bytes.end()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(b - bytes.begin());
}

/// A label value as the Prometheus text format takes it.
std::string label_value(std::string_view text) {
    std::string out;
    for (const char c : text) {
        out += c == '\\'   ? std::string("\\\\")
               : c == '"'  ? std::string("\\\"")
               : c == '\n' ? std::string("\\n")
                           : std::string(1, c);
    }
    return out;
}

}  // namespace

Answer WebView::readers_page(Store& store, const Parameters& parameters) const {
    constexpr std::array names{std::string_view("page"),      std::string_view("stale"),
                               std::string_view("attention"), std::string_view("sort"),
                               std::string_view("order"),     std::string_view("q"),
                               std::string_view("since"),     std::string_view("until"),
                               std::string_view("after"),     std::string_view("before")};
    take_only(parameters, names);
    if (value_of(parameters, "q") || value_of(parameters, "since") ||
        value_of(parameters, "until")) {
        return search_page(store, parameters);
    }
    if (value_of(parameters, "after") || value_of(parameters, "before")) {
        throw BadRequest("\"after\" and \"before\" page through a search (q, since, until)");
    }
    const std::optional<std::string> stale_only = value_of(parameters, "stale");
    if (stale_only && *stale_only != "1") {
        throw BadRequest("\"stale\" is 1 (only the readers not seen lately) or not given");
    }
    const std::optional<std::string> attention_only = value_of(parameters, "attention");
    if (attention_only && *attention_only != "1") {
        throw BadRequest("\"attention\" is 1 (only the readers that need attention) or not given");
    }
    const std::vector<store::PortState> ports = store.port_states();
    const auto now = std::chrono::system_clock::now();
    std::array<std::size_t, collect::kAttentionKinds.size()> by_kind{};
    std::size_t needing = 0;
    const std::string sort = value_of(parameters, "sort").value_or("reader");
    constexpr std::array sorts{std::string_view("reader"), std::string_view("last"),
                               std::string_view("records"), std::string_view("outcome")};
    if (std::find(sorts.begin(), sorts.end(), sort) == sorts.end()) {
        throw BadRequest(
            fmt::format("\"sort\" is reader, last, records or outcome, not \"{}\"", sort));
    }
    // Newest and biggest first, and those that need a look.
    const auto default_order = [](std::string_view by) {
        return by == "last" || by == "records" ? "desc" : "asc";
    };
    const std::string order = value_of(parameters, "order").value_or(default_order(sort));
    if (order != "asc" && order != "desc") {
        throw BadRequest(fmt::format("\"order\" is asc or desc, not \"{}\"", order));
    }
    const std::size_t page = number_of(parameters, "page", 1, 1, kMaxOffset / kPageRows);
    const std::vector<store::ReaderSummary>& stored = store.reader_summaries();
    // Sorted as pointers: the store's rows are kept for the next request.
    std::vector<const store::ReaderSummary*> summaries;
    summaries.reserve(stored.size());
    for (const store::ReaderSummary& summary : stored) {
        summaries.push_back(&summary);
    }
    // Those that need a look first: an outcome worth a look, then a good
    // one, then none.
    const auto outcome_rank = [](const store::ReaderSummary& summary) {
        if (!summary.last_download) {
            return 2;
        }
        const collect::CollectResult outcome = collect::outcome_of(*summary.last_download);
        return !summary.last_download->complete || collect::reads_worth_a_look(outcome) ||
                       collect::erase_worth_a_look(outcome)
                   ? 0
                   : 1;
    };
    const auto ended = [](const store::ReaderSummary& summary) {
        return summary.last_download ? summary.last_download->ended : std::string();
    };
    if (sort != "reader" || order != "asc") {
        std::stable_sort(summaries.begin(), summaries.end(), [&](const auto* a, const auto* b) {
            const auto& [x, y] = order == "asc" ? std::tie(*a, *b) : std::tie(*b, *a);
            if (sort == "last") {
                return ended(x) < ended(y);
            }
            if (sort == "records") {
                return x.records < y.records;
            }
            if (sort == "outcome") {
                return outcome_rank(x) < outcome_rank(y);
            }
            return x.machine_id < y.machine_id;
        });
    }
    // The totals are the store's; the rows, a page of those the filter keeps.
    data rows{data::type::list};
    std::int64_t records = 0;
    std::size_t stale = 0;
    std::int64_t listed = 0;
    const std::size_t first = (page - 1) * kPageRows;
    for (const store::ReaderSummary* each : summaries) {
        const store::ReaderSummary& summary = *each;
        records += summary.records;
        std::optional<std::int64_t> age;
        if (summary.last_download) {
            age = days_since(summary.last_download->ended);
        }
        const std::vector<collect::Need> needs =
            collect::needs_attention(summary, ports, now, settings_.stale_days);
        const bool is_stale = std::any_of(needs.begin(), needs.end(), [](const collect::Need& n) {
            return n.kind == collect::Attention::Stale;
        });
        stale += is_stale ? 1U : 0U;
        for (const collect::Need& need : needs) {
            ++by_kind.at(static_cast<std::size_t>(need.kind));
        }
        needing += needs.empty() ? 0U : 1U;
        if ((stale_only && !is_stale) || (attention_only && needs.empty())) {
            continue;
        }
        const auto index = static_cast<std::size_t>(listed++);
        if (index < first || index >= first + kPageRows) {
            continue;
        }
        data row;
        put(row, "name", shown_id(summary.machine_id));
        put(row, "href", reader_href(summary.machine_id));
        put(row, "named", summary.named);
        put(row, "records", std::to_string(summary.records));
        if (summary.last_download) {
            put(row, "last", last_collect_data(*summary.last_download));
        }
        put(row, "stale", is_stale);
        data need_words{data::type::list};
        for (const collect::Need& need : needs) {
            append(need_words, data("words", need.words));
        }
        put(row, "needs", need_words);
        put(row, "age",
            !age        ? std::string("never collected")
            : *age <= 0 ? std::string("today")
            : *age == 1 ? std::string("yesterday")
                        : fmt::format("{} days ago", *age));
        append(rows, std::move(row));
    }
    const std::optional<std::string> stale_query =
        stale_only ? std::optional<std::string>("1") : std::nullopt;
    const std::string query = query_of({{"stale", stale_query},
                                        {"attention", attention_only},
                                        {"sort", value_of(parameters, "sort")},
                                        {"order", value_of(parameters, "order")}});
    if (page > 1 && first >= static_cast<std::size_t>(listed)) {
        return past_the_end("/" + query);
    }
    // Each column's heading sorts by it; again, the other way round.
    data headings;
    for (const std::string_view by : sorts) {
        const std::string way = by == sort ? (order == "asc" ? "desc" : "asc") : default_order(by);
        put(headings, std::string(by),
            fmt::format("/{}", query_of({{"stale", stale_query},
                                         {"attention", attention_only},
                                         {"sort", std::string(by)},
                                         {"order", way}})));
        put(headings, std::string(by) + "_sorted",
            by == sort ? (order == "asc" ? " ▲" : " ▼") : std::string());
    }
    data values;
    put(values, "readers", rows);
    put(values, "sort", headings);
    put(values, "reader_count", std::to_string(summaries.size()));
    put(values, "record_count", std::to_string(records));
    put(values, "stale_count", std::to_string(stale));
    put(values, "has_stale", stale > 0);
    put(values, "stale_only", stale_only.has_value());
    put(values, "stale_days", std::to_string(settings_.stale_days));
    put(values, "store", store.name());
    data kinds{data::type::list};
    for (std::size_t i = 0; i < by_kind.size(); ++i) {
        if (by_kind.at(i) > 0) {
            data kind;
            put(kind, "count", std::to_string(by_kind.at(i)));
            put(kind, "heading",
                std::string(collect::attention_heading(collect::kAttentionKinds.at(i))));
            put(kind, "key", std::string(collect::attention_key(collect::kAttentionKinds.at(i))));
            append(kinds, std::move(kind));
        }
    }
    const auto unreachable = std::count_if(ports.begin(), ports.end(),
                                           [](const store::PortState& p) { return !p.reachable; });
    put(values, "attention_count", std::to_string(needing));
    put(values, "has_attention", needing > 0);
    put(values, "attention_kinds", kinds);
    put(values, "attention_only", attention_only.has_value());
    put(values, "unreachable_ports", std::to_string(unreachable));
    put(values, "has_unreachable", unreachable > 0);
    put(values, "pages", pages_data(page, listed, "/", query));
    put(values, "days", "/api/days");
    return {200,
            "text/html; charset=utf-8",
            render("readers.mustache", std::move(values), "Readers", store.last_download_id(),
                   settings_.chart),
            {}};
}

Answer WebView::search_page(Store& store, const Parameters& parameters) const {
    store::RecordFilter filter = record_filter(parameters);
    const std::string query = query_of({{"q", filter.text},
                                        {"since", value_of(parameters, "since")},
                                        {"until", value_of(parameters, "until")}});
    const RecordPage page = record_page(store, filter, parameters);
    if (page.past_the_end) {
        return past_the_end("/" + query);
    }
    // A text is counted as far as the page reads: a count beyond it would
    // read every record it passes (a word in one record of 25 takes 25,000
    // for 1,000), and the chart counts the matches by day. A date range is
    // counted from the counts kept by day.
    std::string count;
    if (!filter.text) {
        count = count_words(store.count_records(filter), false);
    } else if (page.previous || page.next) {
        count = fmt::format("more than {} records", kPageRows);
    } else {
        count = count_words(static_cast<std::int64_t>(page.rows.size()), false);
    }
    data values;
    put(values, "search", true);
    put(values, "results", record_rows(page.rows));
    put(values, "empty", page.rows.empty());
    put(values, "count", count);
    put(values, "q", filter.text.value_or(""));
    put(values, "since", day_text(filter.since));
    put(values, "until", day_text(filter.until));
    put(values, "links", page_links(page, "/", query));
    put(values, "days", "/api/days" + query);
    put(values, "store", store.name());
    return {200,
            "text/html; charset=utf-8",
            render("readers.mustache", std::move(values), "Search", store.last_download_id(),
                   settings_.chart),
            {}};
}

Answer WebView::reader_page(Store& store, const std::string& reader,
                            const Parameters& parameters) const {
    constexpr std::array names{std::string_view("since"), std::string_view("until"),
                               std::string_view("q"), std::string_view("after"),
                               std::string_view("before")};
    take_only(parameters, names);
    const store::RecordFilter filter = record_filter(parameters, reader);
    const RecordPage page = record_page(store, filter, parameters);
    // The reader's ID as stored: from its records, or, on a page without
    // any, from the list of readers (which also tells a reader that is not).
    std::optional<std::string> stored_id;
    if (!page.rows.empty()) {
        stored_id = page.rows.front().machine_id;
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
    const std::string base = reader_href(*stored_id);
    const std::string query = query_of({{"q", filter.text},
                                        {"since", value_of(parameters, "since")},
                                        {"until", value_of(parameters, "until")}});
    if (page.past_the_end) {
        return past_the_end(base + query);
    }
    const std::int64_t total = filter.text ? store.count_records_up_to(filter, kCountCap + 1)
                                           : store.count_records(filter);
    // Its latest collects, the newest first.
    std::vector<store::StoredDownload> collects =
        store.downloads({.machine_id = *stored_id, .limit = kReaderCollects});
    std::reverse(collects.begin(), collects.end());
    data collect_rows{data::type::list};
    for (const store::StoredDownload& d : collects) {
        append(collect_rows, download_data(d));
    }
    const std::string id_word = trimmed(shown_id(*stored_id));
    const std::string export_query = query_of({{"reader", id_word},
                                               {"q", filter.text},
                                               {"since", value_of(parameters, "since")},
                                               {"until", value_of(parameters, "until")}});
    data values;
    put(values, "reader", shown_id(*stored_id));
    put(values, "href", base);
    put(values, "records", record_rows(page.rows));
    put(values, "empty", page.rows.empty());
    put(values, "count", count_words(total, filter.text.has_value()));
    put(values, "q", filter.text.value_or(""));
    put(values, "since", day_text(filter.since));
    put(values, "until", day_text(filter.until));
    put(values, "filtered", filter.text || filter.since || filter.until);
    put(values, "links", page_links(page, base, query));
    put(values, "collects", collect_rows);
    put(values, "has_collects", !collects.empty());
    put(values, "downloads", "/downloads" + query_of({{"reader", id_word}}));
    put(values, "csv", "/export/records.csv" + export_query);
    put(values, "json", "/export/records.json" + export_query);
    put(values, "days", "/api/days" + export_query);
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
    if (rows.empty() && page > 1) {
        return past_the_end("/downloads" + query_of({{"reader", filter.machine_id}}));
    }
    data list{data::type::list};
    for (const store::StoredDownload& d : rows) {
        append(list, download_data(d));
    }
    // Without a count of downloads at hand, the ids bound the pages: a next
    // page is offered while this one is full.
    data pages;
    put(pages, "page", std::to_string(page));
    const std::string query = query_of({{"reader", filter.machine_id}});
    const std::string joiner = query.empty() ? "?" : "&";
    if (page > 1) {
        put(pages, "previous", fmt::format("/downloads{}{}page={}", query, joiner, page - 1));
    }
    if (rows.size() == kPageRows) {
        put(pages, "next", fmt::format("/downloads{}{}page={}", query, joiner, page + 1));
    }
    data values;
    put(values, "downloads", list);
    put(values, "empty", rows.empty());
    put(values, "pages", pages);
    put(values, "reader", filter.machine_id.value_or(""));
    put(values, "by_reader", filter.machine_id.has_value());
    put(values, "csv", "/export/downloads.csv" + query);
    put(values, "json", "/api/downloads" + query);
    return {200,
            "text/html; charset=utf-8",
            render("downloads.mustache", std::move(values), "Downloads", last, false),
            {}};
}

Answer WebView::answer_file(Store& store, std::string_view id, const Parameters& parameters) {
    constexpr std::array names{std::string_view("read")};
    take_only(parameters, names);
    const std::int64_t number = download_number(id);
    if (value_of(parameters, "read")) {
        const auto read = static_cast<int>(number_of(parameters, "read", 1, 1, 100));
        const std::optional<store::StoredDownload> download = store.download(number);
        const std::vector<store::KeptAnswer> answers =
            download ? numbered_answers(store.answers(number), collect::outcome_of(*download))
                     : std::vector<store::KeptAnswer>{};
        const auto found =
            std::find_if(answers.begin(), answers.end(),
                         [read](const store::KeptAnswer& a) { return a.read == read; });
        if (found == answers.end()) {
            return error_page(404, "No such read kept",
                              fmt::format("The store keeps no answer of read {} of download {}: "
                                          "the download's page lists the reads it keeps.",
                                          read, number));
        }
        return file_answer("application/octet-stream", found->bytes,
                           fmt::format("download-{}-read-{}.bin", number, read));
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
    const std::vector<store::PortState> ports = store.port_states();
    const auto now = std::chrono::system_clock::now();
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
        Json needs = Json::array();
        for (const collect::Need& need :
             collect::needs_attention(summary, ports, now, settings_.stale_days)) {
            needs.push_back({{"kind", collect::attention_key(need.kind)}, {"words", need.words}});
        }
        entry["attention"] = std::move(needs);
        list.push_back(std::move(entry));
    }
    return json_answer(list);
}

Answer WebView::api_records(Store& store, const Parameters& parameters) {
    take_only(parameters, kRecordParameters);
    store::RecordFilter filter = record_filter(parameters);
    filter.offset = number_of(parameters, "offset", 0, 0, kMaxOffset);
    filter.limit = number_of(parameters, "limit", kPageRows, 1, kMaxApiRows);
    // The total is of the whole list, wherever the page lies in it.
    const std::int64_t total = store.count_records(filter);
    filter.after = key_of(parameters, "after");
    filter.before = key_of(parameters, "before");
    const std::vector<store::StoredRecord> rows = store.records(filter);
    Json records = Json::array();
    for (const store::StoredRecord& stored : rows) {
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
    json["total"] = total;
    json["offset"] = filter.offset;
    json["limit"] = *filter.limit;
    json["records"] = std::move(records);
    // The next page, by key: as quick as the first however deep.
    json["next"] = rows.size() == *filter.limit ? Json(key_text(rows.back().key)) : Json(nullptr);
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
                               std::string_view("until"), std::string_view("q")};
    take_only(parameters, names);
    Json list = Json::array();
    for (const store::DayCount& day : store.records_per_day(record_filter(parameters))) {
        list.push_back(Json{{"day", day.day}, {"records", day.records}});
    }
    return json_answer(list);
}

Answer WebView::export_file(Store& store, std::string_view what, std::string_view format,
                            const Parameters& parameters) const {
    // ?bom=1 begins a CSV file with a byte-order mark, for spreadsheets; the
    // other parameters are each export's own.
    const bool bom = format == "csv" && number_of(parameters, "bom", 0, 0, 1) == 1;
    Parameters own = parameters;
    if (format == "csv") {
        own.erase("bom");
    }
    // The rows are read here, so that a bad request or an unreadable store
    // is answered with its status; the text is written as it is sent.
    const auto streamed = [bom](std::string content_type, const std::string& file_name,
                                std::function<void(std::ostream&)> write) {
        Answer answer = file_answer(std::move(content_type), {}, file_name);
        answer.stream = [bom, write = std::move(write)](std::ostream& out) {
            if (bom) {
                out << writers::kUtf8Bom;
            }
            write(out);
        };
        return answer;
    };
    if (what == "records" && (format == "csv" || format == "json")) {
        take_only(own, kRecordParameters);
        store::RecordFilter filter = record_filter(own);
        filter.offset = number_of(own, "offset", 0, 0, kMaxOffset);
        const std::size_t wanted = number_of(own, "limit", kMaxExportRows, 1, kMaxExportRows);
        filter.limit = std::min(wanted, kExportPage);
        // The first page is read now; the others as the text is sent, each
        // after the last key of the one before (the server keeps the store
        // for the body), so that an export holds a page and a reader's
        // records, never the whole.
        auto first = std::make_shared<std::vector<store::StoredRecord>>(store.records(filter));
        return streamed(
            format == "csv" ? "text/csv; charset=utf-8" : "application/json",
            fmt::format("records.{}", format),
            [&store, filter, wanted, first, format = std::string(format)](std::ostream& out) {
                writers::StoredWriter writer(out, format);
                std::vector<store::StoredRecord> page = std::move(*first);
                store::RecordFilter next = filter;
                next.offset = 0;
                std::size_t written = 0;
                while (true) {
                    const bool full = page.size() == *next.limit;
                    written += page.size();
                    if (!page.empty()) {
                        next.after = page.back().key;
                    }
                    for (store::StoredRecord& row : page) {
                        writer.add(std::move(row));
                    }
                    if (!full || written >= wanted) {
                        break;
                    }
                    next.limit = std::min(kExportPage, wanted - written);
                    page = store.records(next);
                }
                writer.finish();
            });
    }
    if (what == "readers" && format == "csv") {
        take_only(own, {});
        auto summaries =
            std::make_shared<const std::vector<store::ReaderSummary>>(store.reader_summaries());
        return streamed(
            "text/csv; charset=utf-8", "readers.csv",
            [summaries, stale_days = settings_.stale_days](std::ostream& out) {
                out << "machine_id,named,records,last_download,last_ended,last_port,complete,"
                       "sure,erase,stale,check\n";
                for (const store::ReaderSummary& summary : *summaries) {
                    const std::optional<store::StoredDownload>& last = summary.last_download;
                    const std::optional<std::int64_t> age =
                        last ? days_since(last->ended) : std::nullopt;
                    fmt::print(out, "{},{},{},{},{},{},{},{},{},{},{}\n",
                               csv_field(shown_id(summary.machine_id)), summary.named,
                               summary.records, last ? std::to_string(last->id) : "",
                               last ? last->ended : "", last ? csv_field(last->port) : "",
                               last ? fmt::format("{}", last->complete) : "",
                               last ? fmt::format("{}", last->check == store::ReadCheck::Sure) : "",
                               last ? std::string(store::to_string(last->erase)) : "",
                               !age || *age >= stale_days,
                               last ? std::string(store::to_string(last->check)) : "");
                }
            });
    }
    if (what == "downloads" && format == "csv") {
        constexpr std::array names{std::string_view("reader"), std::string_view("since"),
                                   std::string_view("limit"), std::string_view("offset")};
        take_only(own, names);
        store::DownloadFilter filter;
        filter.machine_id = value_of(own, "reader");
        filter.since = day_of(own, "since");
        filter.limit = number_of(own, "limit", kMaxExportRows, 1, kMaxExportRows);
        filter.offset = number_of(own, "offset", 0, 0, kMaxOffset);
        auto downloads =
            std::make_shared<const std::vector<store::StoredDownload>>(store.downloads(filter));
        return streamed("text/csv; charset=utf-8", "downloads.csv", [downloads](std::ostream& out) {
            out << "id,started,ended,machine_id,port,announced,received,complete,new,"
                   "already_stored,erase,reads,sure,check\n";
            for (const store::StoredDownload& d : *downloads) {
                fmt::print(out, "{},{},{},{},{},{},{},{},{},{},{},{},{},{}\n", d.id, d.started,
                           d.ended, csv_field(shown_id(d.machine_id)), csv_field(d.port),
                           d.announced, d.received, d.complete, d.new_records, d.already_stored,
                           store::to_string(d.erase), d.reads, d.check == store::ReadCheck::Sure,
                           store::to_string(d.check));
            }
        });
    }
    return error_page(404, "Not found", "There is no such export.");
}

Answer WebView::download_page(Store& store, std::string_view id,
                              const Parameters& parameters) const {
    take_only(parameters, {});
    const std::int64_t number = download_number(id);
    const std::optional<store::StoredDownload> download = store.download(number);
    if (!download) {
        return error_page(404, "No such download",
                          fmt::format("The store holds no download {}. The downloads page lists "
                                      "those it holds.",
                                      number));
    }
    const collect::CollectResult outcome = collect::outcome_of(*download);
    const std::vector<store::KeptAnswer> answers = numbered_answers(store.answers(number), outcome);
    data reads{data::type::list};
    for (const store::KeptAnswer& answer : answers) {
        const std::string_view first = answers.front().bytes;
        const std::optional<std::size_t> at =
            &answer == &answers.front() ? std::nullopt : first_difference(first, answer.bytes);
        const std::string_view bytes = answer.bytes;
        data read;
        put(read, "read", std::to_string(answer.read));
        put(read, "bytes", std::to_string(bytes.size()));
        put(read, "href", fmt::format("/downloads/{}/answer?read={}", number, answer.read));
        put(read, "first", &answer == &answers.front());
        put(read, "same", &answer != &answers.front() && !at);
        put(read, "differs", at.has_value());
        put(read, "at", at ? std::to_string(*at) : std::string());
        const std::size_t cut = at ? std::min(*at, bytes.size()) : bytes.size();
        put(read, "before", shown_bytes(bytes.substr(0, cut)));
        put(read, "marked", cut < bytes.size() ? shown_bytes(bytes.substr(cut, 1)) : std::string());
        put(read, "after",
            cut + 1 < bytes.size() ? shown_bytes(bytes.substr(cut + 1)) : std::string());
        put(read, "hex", hex_lines(bytes, at));
        append(reads, std::move(read));
    }
    data values = download_data(*download);
    put(values, "number", std::to_string(number));
    put(values, "message", collect::describe(outcome));
    put(values, "reads_kept", reads);
    put(values, "none_kept", answers.empty());
    put(values, "first_read",
        answers.empty() ? std::string() : std::to_string(answers.front().read));
    return {200,
            "text/html; charset=utf-8",
            render("download.mustache", std::move(values), fmt::format("Download {}", number), -1,
                   false),
            {}};
}

Answer WebView::metrics(Store* store, const Parameters& parameters) const {
    take_only(parameters, {});
    std::string text;
    const auto family = [&](std::string_view name, std::string_view type, std::string_view help) {
        text += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
    };
    bool up = store != nullptr;
    if (store != nullptr) {
        try {
            const std::vector<store::ReaderSummary>& summaries = store->reader_summaries();
            const std::vector<store::ReaderTimes> times = store->reader_times();
            const std::vector<store::DownloadCount> counts = store->download_counts();
            const std::vector<store::PortState> ports = store->port_states();
            const auto now = std::chrono::system_clock::now();
            std::int64_t records = 0;
            std::array<std::size_t, collect::kAttentionKinds.size()> by_kind{};
            for (const store::ReaderSummary& summary : summaries) {
                records += summary.records;
                std::array<bool, collect::kAttentionKinds.size()> has{};
                for (const collect::Need& need :
                     collect::needs_attention(summary, ports, now, settings_.stale_days)) {
                    has.at(static_cast<std::size_t>(need.kind)) = true;
                }
                for (std::size_t i = 0; i < has.size(); ++i) {
                    by_kind.at(i) += has.at(i) ? 1U : 0U;
                }
            }
            family("kdr_readers", "gauge", "Readers the store holds.");
            text += fmt::format("kdr_readers {}\n", summaries.size());
            family("kdr_records", "gauge", "Records the store holds.");
            text += fmt::format("kdr_records {}\n", records);
            // The outcome is the collect's: each count of a check and
            // completeness is a stored download as outcome_of decides it.
            std::map<std::string, std::int64_t> by_outcome;
            for (const store::DownloadCount& count : counts) {
                store::StoredDownload shape;
                shape.check = count.check;
                shape.complete = count.complete;
                by_outcome[std::string(collect::to_string(collect::outcome_of(shape).outcome))] +=
                    count.downloads;
            }
            family("kdr_downloads_total", "counter", "Stored downloads by their outcome.");
            for (const auto& [outcome, downloads] : by_outcome) {
                text += fmt::format("kdr_downloads_total{{outcome=\"{}\"}} {}\n",
                                    label_value(outcome), downloads);
            }
            const auto seconds = [&](const std::string& utc) -> std::optional<std::int64_t> {
                const std::optional<std::chrono::sys_seconds> then = collect::stored_time(utc);
                if (!then) {
                    return std::nullopt;
                }
                return std::chrono::duration_cast<std::chrono::seconds>(now - *then).count();
            };
            family("kdr_reader_last_collect_seconds", "gauge",
                   "Seconds since the reader was last collected.");
            for (const store::ReaderTimes& reader : times) {
                if (const auto age = seconds(reader.last_collect)) {
                    text += fmt::format("kdr_reader_last_collect_seconds{{reader=\"{}\"}} {}\n",
                                        label_value(trimmed(shown_id(reader.machine_id))), *age);
                }
            }
            family("kdr_reader_last_verified_erase_seconds", "gauge",
                   "Seconds since the reader's last erase that was read back empty.");
            for (const store::ReaderTimes& reader : times) {
                if (const auto age = seconds(reader.last_verified)) {
                    text +=
                        fmt::format("kdr_reader_last_verified_erase_seconds{{reader=\"{}\"}} {}\n",
                                    label_value(trimmed(shown_id(reader.machine_id))), *age);
                }
            }
            family("kdr_readers_attention", "gauge", "Readers that need attention, by kind.");
            for (std::size_t i = 0; i < by_kind.size(); ++i) {
                text += fmt::format("kdr_readers_attention{{kind=\"{}\"}} {}\n",
                                    collect::attention_key(collect::kAttentionKinds.at(i)),
                                    by_kind.at(i));
            }
            family("kdr_ports_unreachable", "gauge",
                   "Stations' ports whose last poll found them unusable.");
            text +=
                fmt::format("kdr_ports_unreachable {}\n",
                            std::count_if(ports.begin(), ports.end(),
                                          [](const store::PortState& p) { return !p.reachable; }));
        } catch (const store::StoreError&) {
            up = false;
            text.clear();
        }
    }
    family("kdr_store_up", "gauge", "Whether the store can be read (1) or not (0).");
    text += fmt::format("kdr_store_up {}\n", up ? 1 : 0);
    return {200, "text/plain; version=0.0.4; charset=utf-8", std::move(text), {}};
}

Answer WebView::error_page(int status, std::string_view title, std::string_view message) {
    return error_answer(status, title, message);
}

Answer WebView::token_page(std::string_view path, bool wrong) {
    data values;
    put(values, "message",
        wrong ? std::string("The access token given is not this station's: check it with "
                            "the station's keeper and give it again.")
              : std::string("This station's view needs its access token: give it here, or "
                            "open the address the station's keeper gave you, which ends "
                            "in ?token=.... Scripts send the header \"Authorization: "
                            "Bearer TOKEN\"."));
    data form;
    put(form, "action", std::string(path));
    put(values, "token_form", form);
    return {401,
            "text/html; charset=utf-8",
            render("error.mustache", std::move(values),
                   wrong ? "Wrong access token" : "Access token needed", -1, false),
            {}};
}

}  // namespace kdr::web
