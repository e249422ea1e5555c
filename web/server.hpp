// The web view's HTTP server: a store's pages over Boost.Beast, read only
// (GET and HEAD), with an access token when it listens beyond this machine.
// One thread holds every connection; the store is read by a few workers.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "web/web_view.hpp"

namespace kdr::web {

/// The port the web view listens on unless told otherwise.
inline constexpr int kDefaultPort = 8017;

struct ServeSettings {
    std::string db;  ///< the store, as --db names it
    std::string host = "127.0.0.1";
    int port = kDefaultPort;  ///< 0: any free port (port() tells which)
    /// When set, every page and API call needs it: as "Authorization: Bearer
    /// TOKEN", or once as "?token=TOKEN", which a browser then keeps in a
    /// cookie. /healthz and the static files need none.
    std::optional<std::string> token;
    ViewSettings view;
    /// Requests that read the store at once, each on a thread with its own
    /// read-only connection. Connections cost no thread: only a request
    /// being answered takes one. 0: one for each processor with a SQLite
    /// store, two with a PostgreSQL one, and at least 2. More would only
    /// share the processors: each answer would take longer, the unluckiest
    /// much longer, and no more would be answered a second.
    std::size_t threads = 0;
    /// Streamed answers (exports) being sent at once, each on a thread of its
    /// own while its client takes it, so that slow clients never hold the
    /// threads that answer pages. More wait for one of them.
    std::size_t stream_threads = 16;
    /// Requests waiting for one of those threads; beyond it, 503 at once.
    std::size_t queue = 512;
    /// Open connections from one address; beyond it a new one is closed at
    /// once (a browser keeps 6). This machine's own (a proxy's) are not
    /// bounded but by the total.
    std::size_t connections_per_address = 64;
    /// Open connections in all, below the open-file limit (whose soft limit
    /// is raised to its hard one at start).
    std::size_t connections = 10'000;
    /// A request's head (its line and headers) is refused with 431 beyond it.
    std::size_t head_bytes = 16 * 1024;
    /// The whole head must arrive within this of its first byte.
    std::chrono::milliseconds head_time{10'000};
    /// A connection with no request begun is closed after this.
    std::chrono::milliseconds idle_time{5'000};
    /// An answer not taken by the client within this ends the connection.
    std::chrono::milliseconds write_time{60'000};
    /// How often, at most, a SQLite store's file is looked at to see whether
    /// it was replaced, removed or cut short (its connections are then
    /// opened anew).
    std::chrono::milliseconds store_check{100};
    /// Chart.js, served as /static/chart.js; without it the pages draw no chart.
    std::string chart_script;
};

/// Whether the host is this machine alone: localhost, 127.0.0.0/8 or ::1.
[[nodiscard]] bool is_loopback(std::string_view host);

/// How the start line names the address: this machine's name when listening
/// on every address (0.0.0.0, ::), IPv6 in brackets.
[[nodiscard]] std::string shown_host(const std::string& host);

/// How long the browser keeps the token's cookie (30 days).
inline constexpr std::chrono::seconds kTokenCookieAge{30L * 24 * 3600};

/// Whether two texts are equal, in a time that does not tell where they differ.
[[nodiscard]] bool same_secret(std::string_view given, std::string_view secret) noexcept;

class WebServer {
  public:
    /// Opens the store read-only (throws store::StoreError when it cannot)
    /// and listens (throws std::runtime_error saying why it cannot).
    explicit WebServer(ServeSettings settings);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    /// The port it listens on.
    [[nodiscard]] int port() const noexcept;
    /// The store as messages name it: its path, or its URI without a password.
    [[nodiscard]] const std::string& store_name() const noexcept;
    /// Whether the chart's script was found.
    [[nodiscard]] bool has_chart() const noexcept;
    /// Serves until stop() is called (from any thread).
    void run();
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kdr::web
