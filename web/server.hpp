// The web view's HTTP server: a store's pages over cpp-httplib, read
// only (GET and HEAD), with an access token when it listens beyond this
// machine.
#pragma once

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
    /// Connections served at once. A kept-alive connection holds its thread
    /// until it closes or has been idle for 5 s, even between requests (a
    /// browser keeps up to 6 open), so that a connection beyond this many
    /// waits for one of them to end before its first request is read.
    std::size_t threads = 32;
    /// Chart.js, served as /static/chart.js; without it the pages draw no chart.
    std::string chart_script;
};

/// Whether the host is this machine alone: localhost, 127.0.0.0/8 or ::1.
[[nodiscard]] bool is_loopback(std::string_view host);

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
