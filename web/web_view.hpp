// What the web view answers: the pages, the JSON API and the exports of a
// store, each from a request's path and parameters. No sockets here
// (web/server.cpp serves them); each answer reads the store through
// its one algorithm and a read-only connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "store/store.hpp"

namespace kdr::web {

/// The request cannot be answered as asked: a parameter that is no number or
/// day, one the URL does not take, a text past its bound. what() says which,
/// for the 400 answer.
class BadRequest : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// One answer.
struct Answer {
    int status = 200;
    std::string content_type = "text/html; charset=utf-8";
    std::string body;
    /// Extra headers, such as Content-Disposition for a file to save.
    std::map<std::string, std::string> headers;
    /// When set, `body` is empty and this writes the body instead, as it is
    /// sent: the server calls it once, on a thread of its own, after the
    /// status and headers have gone (never for HEAD). It may read more from
    /// the store the answer was made from, which the server keeps for it
    /// until it returns; what tells a request that cannot be answered is
    /// read before, so that it is still said with its status. Writing to the
    /// stream throws once the client has gone; anything it throws ends the
    /// transfer cut short.
    std::function<void(std::ostream&)> stream{};
};

/// A request's query parameters, decoded. A name given twice is refused.
using Parameters = std::multimap<std::string, std::string>;

/// How the view shows a store.
struct ViewSettings {
    /// A reader whose last download is older than this many days is marked.
    int stale_days = 7;
    /// Whether the chart's script is there to serve (Debian's Chart.js).
    bool chart = true;
};

// Bounds that keep one request from taking the machine.
inline constexpr std::size_t kPageRows = 100;         ///< records or downloads on one page
inline constexpr std::size_t kMaxApiRows = 1000;      ///< the most /api/records gives at once
inline constexpr std::size_t kMaxExportRows = 10000;  ///< the most one export holds
inline constexpr std::size_t kMaxOffset = 100'000'000;
inline constexpr std::size_t kMaxSearch = 200;      ///< bytes of a search text
inline constexpr std::size_t kReaderCollects = 20;  ///< a reader's latest collects on its page

/// The view over one store. Each call uses the store it is given, so that
/// each of the server's threads can hold a connection of its own.
class WebView {
  public:
    explicit WebView(ViewSettings settings) : settings_(settings) {}

    /// The readers page: "/", sorted by `sort` (reader, last, records,
    /// outcome) and `order` (asc, desc); with q, since or until, the records
    /// of every reader that match instead, a page at a time (after, before).
    Answer readers_page(store::Store& store, const Parameters& parameters) const;
    /// A reader's records, a page at a time (after, before), and its latest
    /// collects: "/readers/<ID>".
    Answer reader_page(store::Store& store, const std::string& reader,
                       const Parameters& parameters) const;
    /// Every download: "/downloads".
    Answer downloads_page(store::Store& store, const Parameters& parameters) const;
    /// A download's kept answer, the bytes that arrived: "/downloads/<id>/answer";
    /// with read=K, those of its read K (a read whose answer was kept).
    static Answer answer_file(store::Store& store, std::string_view id,
                              const Parameters& parameters = {});
    /// A download, its outcome and every kept read side by side, as text and
    /// as hex, where each differs from the first marked: "/downloads/<id>".
    Answer download_page(store::Store& store, std::string_view id,
                         const Parameters& parameters) const;
    /// "/metrics" in the Prometheus text format (0.0.4); `store` is null when
    /// it could not be opened (kdr_store_up 0).
    Answer metrics(store::Store* store, const Parameters& parameters) const;

    /// "/api/readers", "/api/records", "/api/downloads", "/api/days".
    Answer api_readers(store::Store& store, const Parameters& parameters) const;
    static Answer api_records(store::Store& store, const Parameters& parameters);
    static Answer api_downloads(store::Store& store, const Parameters& parameters);
    static Answer api_days(store::Store& store, const Parameters& parameters);
    /// "/export/records.csv" and ".json" (`kdr export`'s writers),
    /// "/export/readers.csv", "/export/downloads.csv".
    Answer export_file(store::Store& store, std::string_view what, std::string_view format,
                       const Parameters& parameters) const;

    /// A page that says what went wrong, with its status.
    static Answer error_page(int status, std::string_view title, std::string_view message);
    /// The 401 page, with a field for the access token that opens `path`
    /// with ?token=...; `wrong` when a token was given and is not the one.
    static Answer token_page(std::string_view path, bool wrong);

  private:
    Answer search_page(store::Store& store, const Parameters& parameters) const;

    ViewSettings settings_;
};

/// The page templates and static files, as built into the program.
[[nodiscard]] std::string_view asset(std::string_view name);

}  // namespace kdr::web
