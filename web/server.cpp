#include "web/server.hpp"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "store/store.hpp"

namespace kdr::web {
namespace {

using store::Store;
using store::StoreError;
using store::StoreErrorKind;

constexpr std::string_view kTokenCookie = "kdr_token";

// Pages and data are the store's, read as they are asked for: nothing is
// cached by the browser; the static files are the program's own.
const httplib::Headers& security_headers() {
    static const httplib::Headers headers{
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
         "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"X-Frame-Options", "DENY"},
    };
    return headers;
}

/// Read-only connections to the store, one per request being served: a
/// Store is used by one thread at a time.
class StorePool {
  public:
    explicit StorePool(std::string target) : target_(std::move(target)) {}

    class Lease {
      public:
        Lease(StorePool& pool, std::unique_ptr<Store> store)
            : pool_(pool), store_(std::move(store)) {}
        ~Lease() {
            if (store_) {
                pool_.give_back(std::move(store_));
            }
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Store& operator*() const { return *store_; }
        /// A connection that failed is not handed out again.
        void discard() { store_.reset(); }

      private:
        StorePool& pool_;
        std::unique_ptr<Store> store_;
    };

    Lease borrow() {
        {
            const std::scoped_lock lock(mutex_);
            if (!idle_.empty()) {
                std::unique_ptr<Store> store = std::move(idle_.back());
                idle_.pop_back();
                return {*this, std::move(store)};
            }
        }
        return {*this, store::open_store(target_, store::OpenMode::ReadOnly)};
    }

  private:
    void give_back(std::unique_ptr<Store> store) {
        const std::scoped_lock lock(mutex_);
        idle_.push_back(std::move(store));
    }

    std::string target_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Store>> idle_;
};

bool wants_json(const httplib::Request& request) {
    return request.path.starts_with("/api/") || request.path == "/healthz";
}

void send(httplib::Response& response, const Answer& answer) {
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers) {
        response.set_header(name, value);
    }
    response.set_content(answer.body, answer.content_type);
}

void send_error(const httplib::Request& request, httplib::Response& response, int status,
                std::string_view title, const std::string& message) {
    if (wants_json(request)) {
        send(response,
             {status, "application/json", nlohmann::json{{"error", message}}.dump() + "\n", {}});
    } else {
        send(response, WebView::error_page(status, title, message));
    }
}

std::string cookie_value(const httplib::Request& request, std::string_view name) {
    const std::string cookies = request.get_header_value("Cookie");
    std::size_t at = 0;
    while (at < cookies.size()) {
        const std::size_t end = std::min(cookies.find(';', at), cookies.size());
        std::string_view pair(cookies.data() + at, end - at);
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        if (pair.starts_with(name) && pair.size() > name.size() && pair[name.size()] == '=') {
            return std::string(pair.substr(name.size() + 1));
        }
        at = end + 1;
    }
    return {};
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!in || error) {
        return {};
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

}  // namespace

bool is_loopback(std::string_view host) {
    if (host == "localhost" || host == "::1") {
        return true;
    }
    in_addr address{};
    const std::string text(host);
    return ::inet_pton(AF_INET, text.c_str(), &address) == 1 &&
           (ntohl(address.s_addr) >> 24U) == 127U;
}

bool same_secret(std::string_view given, std::string_view secret) noexcept {
    // Every byte of the secret is compared whatever the given text is, so
    // that the time taken says nothing of how much of it was right.
    unsigned char differ = given.size() == secret.size() ? 0U : 1U;
    for (std::size_t i = 0; i < secret.size(); ++i) {
        const char mine = secret[i];
        const char theirs = i < given.size() ? given[i] : static_cast<char>(~mine);
        differ |= static_cast<unsigned char>(mine ^ theirs);
    }
    return differ == 0U;
}

struct WebServer::Impl {
    ServeSettings settings;
    StorePool pool;
    WebView view;
    httplib::Server http;
    std::string chart_script;
    std::string store_name;
    int port = 0;

    explicit Impl(ServeSettings given)
        : settings(std::move(given)),
          pool(settings.db),
          view(settings.view),
          chart_script(settings.chart_script.empty() ? std::string()
                                                     : read_file(settings.chart_script)) {
        view = WebView(ViewSettings{settings.view.stale_days, !chart_script.empty()});
        // The store is opened once now, so that a wrong --db is said at once.
        {
            const StorePool::Lease lease = pool.borrow();
            store_name = (*lease).name();
        }
        configure();
        // The library's own options let a second server bind the same port
        // (SO_REUSEPORT) and share its connections: a view of another store
        // would answer half of them. Only a port left in TIME_WAIT by a
        // server that stopped may be taken again.
        int listening = -1;
        http.set_socket_options([&listening](int socket) {
            const int yes = 1;
            (void)::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            listening = socket;
        });
        port = settings.port == 0
                   ? http.bind_to_any_port(settings.host)
                   : (http.bind_to_port(settings.host, settings.port) ? settings.port : -1);
        // The library listens with a queue of 5: browsers and monitors that
        // connect at once beyond that would wait a second for a retry. Linux
        // takes a second listen() as a new queue length.
        if (port >= 0 && listening >= 0) {
            (void)::listen(listening, SOMAXCONN);
        }
        if (port < 0) {
            throw std::runtime_error(fmt::format(
                "cannot listen on {}:{}: another program may be using the port, or the address "
                "is not one of this machine's: choose another with --listen HOST:PORT",
                settings.host, settings.port));
        }
    }

    /// Whether the request carries the token; answers it when it does not
    /// (or when it came in the URL, with a cookie and the URL without it).
    bool admitted(const httplib::Request& request, httplib::Response& response) {
        if (!settings.token) {
            return true;
        }
        const std::string& token = *settings.token;
        const std::string authorization = request.get_header_value("Authorization");
        if (authorization.starts_with("Bearer ") &&
            same_secret(std::string_view(authorization).substr(7), token)) {
            return true;
        }
        if (same_secret(cookie_value(request, kTokenCookie), token)) {
            return true;
        }
        if (request.has_param("token") && same_secret(request.get_param_value("token"), token)) {
            // Once in the URL, then in a cookie: the address bar and the
            // history do not keep it.
            std::string location = request.path;
            std::string joiner = "?";
            for (const auto& [name, value] : request.params) {
                if (name != "token") {
                    location += joiner + name + "=" + httplib::detail::encode_query_param(value);
                    joiner = "&";
                }
            }
            response.set_header(
                "Set-Cookie",
                fmt::format("{}={}; Path=/; HttpOnly; SameSite=Strict", kTokenCookie, token));
            response.set_redirect(location, 303);
            return false;
        }
        send_error(request, response, 401, "Access token needed",
                   "This station's view needs its access token. Open the address the station's "
                   "keeper gave you, which ends in ?token=..., or send the header "
                   "\"Authorization: Bearer TOKEN\".");
        return false;
    }

    /// Answers a request from the store, saying how long the server took.
    template <class Handler>
    void answer(const httplib::Request& request, httplib::Response& response, Handler&& handler) {
        const auto began = std::chrono::steady_clock::now();
        if (admitted(request, response)) {
            Parameters parameters(request.params.begin(), request.params.end());
            parameters.erase("token");
            try {
                StorePool::Lease store = pool.borrow();
                try {
                    send(response, handler(*store, parameters));
                } catch (const StoreError&) {
                    store.discard();
                    throw;
                }
            } catch (const BadRequest& error) {
                send_error(request, response, 400, "Bad request", error.what());
            } catch (const StoreError& error) {
                const bool unavailable = error.kind() == StoreErrorKind::ConnectionLost ||
                                         error.kind() == StoreErrorKind::CannotOpen ||
                                         error.kind() == StoreErrorKind::Locked;
                std::cerr << fmt::format("kdr serve: {} {}: {}\n", request.method, request.path,
                                         error.what());
                send_error(request, response, unavailable ? 503 : 500, "The store cannot be read",
                           error.what());
            } catch (const std::exception& error) {
                std::cerr << fmt::format("kdr serve: {} {}: {}\n", request.method, request.path,
                                         error.what());
                send_error(request, response, 500, "Internal error", error.what());
            }
        }
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - began;
        response.set_header("Server-Timing", fmt::format("app;dur={:.3f}", took.count()));
    }

    template <class Handler>
    void get(const std::string& pattern, Handler handler) {
        http.Get(pattern,
                 [this, handler](const httplib::Request& request, httplib::Response& response) {
                     answer(request, response, [&](Store& store, const Parameters& parameters) {
                         return handler(request, store, parameters);
                     });
                 });
    }

    void static_file(const std::string& path, std::string content_type, std::string body) {
        http.Get(path, [content_type = std::move(content_type), body = std::move(body)](
                           const httplib::Request&, httplib::Response& response) {
            response.set_header("Cache-Control", "max-age=3600");
            response.set_content(body, content_type);
        });
    }

    void configure() {
        const std::size_t threads = settings.threads;
        http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
        http.set_default_headers(security_headers());
        http.set_payload_max_length(4096);  // nothing is sent to a read-only view
        http.set_keep_alive_max_count(100);
        // An answer's head and body go out in separate writes: held back for
        // the browser's delayed acknowledgement, each would wait 40 ms.
        http.set_tcp_nodelay(true);
        // Only reading: any other method is refused before routing.
        http.set_pre_routing_handler(
            [](const httplib::Request& request, httplib::Response& response) {
                if (request.method == "GET" || request.method == "HEAD") {
                    return httplib::Server::HandlerResponse::Unhandled;
                }
                response.set_header("Allow", "GET, HEAD");
                send_error(request, response, 405, "Method not allowed",
                           fmt::format("This view only reads: {} is not allowed here, only GET and "
                                       "HEAD.",
                                       request.method));
                return httplib::Server::HandlerResponse::Handled;
            });
        http.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
            if (!response.body.empty()) {
                return;
            }
            if (response.status == 404) {
                send_error(request, response, 404, "Not found",
                           "There is no such page here. The readers page lists what the store "
                           "holds.");
            } else if (response.status == 400) {
                send_error(request, response, 400, "Bad request", "The request is malformed.");
            }
        });
        http.set_exception_handler([](const httplib::Request& request, httplib::Response& response,
                                      const std::exception_ptr&) {
            send_error(request, response, 500, "Internal error", "The request failed.");
        });

        static_file("/static/kdr.css", "text/css", std::string(asset("kdr.css")));
        static_file("/static/kdr.js", "text/javascript", std::string(asset("kdr.js")));
        if (!chart_script.empty()) {
            static_file("/static/chart.js", "text/javascript", chart_script);
        }
        http.Get("/healthz", [this](const httplib::Request& request, httplib::Response& response) {
            // For monitoring, without the token: it says whether the store
            // can be read, and nothing of what it holds.
            try {
                const StorePool::Lease store = pool.borrow();
                (void)(*store).last_download_id();
                send(response, {200, "application/json", "{\"status\":\"ok\"}\n", {}});
            } catch (const std::exception& error) {
                send_error(request, response, 503, "The store cannot be read", error.what());
            }
        });

        get("/", [this](const httplib::Request&, Store& store, const Parameters& parameters) {
            return view.readers_page(store, parameters);
        });
        get(R"(/readers/(.+))",
            [this](const httplib::Request& request, Store& store, const Parameters& parameters) {
                return view.reader_page(store, request.matches[1].str(), parameters);
            });
        get("/downloads",
            [this](const httplib::Request&, Store& store, const Parameters& parameters) {
                return view.downloads_page(store, parameters);
            });
        get(R"(/downloads/([^/]+)/answer)",
            [](const httplib::Request& request, Store& store, const Parameters& parameters) {
                return WebView::answer_file(store, request.matches[1].str(), parameters);
            });
        get(R"(/downloads/([^/]+))",
            [this](const httplib::Request& request, Store& store, const Parameters& parameters) {
                return view.download_page(store, request.matches[1].str(), parameters);
            });
        http.Get("/metrics", [this](const httplib::Request& request, httplib::Response& response) {
            if (!admitted(request, response)) {
                return;
            }
            Parameters parameters(request.params.begin(), request.params.end());
            parameters.erase("token");
            try {
                StorePool::Lease store = pool.borrow();
                send(response, view.metrics(&*store, parameters));
            } catch (const StoreError&) {
                send(response, view.metrics(nullptr, {}));
            } catch (const BadRequest& error) {
                send_error(request, response, 400, "Bad request", error.what());
            }
        });
        get(R"(/downloads/([^/]+)/answer)",
            [](const httplib::Request& request, Store& store, const Parameters& parameters) {
                if (!parameters.empty()) {
                    throw BadRequest("this address takes no parameters");
                }
                return WebView::answer_file(store, request.matches[1].str());
            });
        get("/api/readers",
            [this](const httplib::Request&, Store& store, const Parameters& parameters) {
                return view.api_readers(store, parameters);
            });
        get("/api/records",
            [](const httplib::Request&, Store& store, const Parameters& parameters) {
                return WebView::api_records(store, parameters);
            });
        get("/api/downloads",
            [](const httplib::Request&, Store& store, const Parameters& parameters) {
                return WebView::api_downloads(store, parameters);
            });
        get("/api/days", [](const httplib::Request&, Store& store, const Parameters& parameters) {
            return WebView::api_days(store, parameters);
        });
        get(R"(/export/([a-z]+)\.([a-z]+))",
            [this](const httplib::Request& request, Store& store, const Parameters& parameters) {
                return view.export_file(store, request.matches[1].str(), request.matches[2].str(),
                                        parameters);
            });
    }
};

WebServer::WebServer(ServeSettings settings) : impl_(std::make_unique<Impl>(std::move(settings))) {}

WebServer::~WebServer() = default;

int WebServer::port() const noexcept {
    return impl_->port;
}

const std::string& WebServer::store_name() const noexcept {
    return impl_->store_name;
}

bool WebServer::has_chart() const noexcept {
    return !impl_->chart_script.empty();
}

void WebServer::run() {
    impl_->http.listen_after_bind();
}

void WebServer::stop() {
    impl_->http.stop();
}

}  // namespace kdr::web
