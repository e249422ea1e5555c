#include "web/server.hpp"

#include <fmt/format.h>

#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <regex>
#include <set>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "store/store.hpp"
#include "web/platform.hpp"

namespace kdr::web {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using store::Store;
using store::StoreError;
using store::StoreErrorKind;

constexpr std::string_view kTokenCookie = "kdr_token";

// Pages and data are the store's, read as they are asked for: nothing is
// kept by the browser; the static files are the program's own.
constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kSecurityHeaders{{
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
     "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"X-Frame-Options", "DENY"},
}};

/// Read-only connections to the store, one per request being served: a
/// Store is used by one thread at a time. A SQLite file replaced, removed
/// or cut short since its connections were opened makes them all old: those
/// idle are closed, those in use closed when given back.
class StorePool {
  public:
    StorePool(std::string target, std::chrono::milliseconds check_every)
        : target_(std::move(target)),
          file_(!target_.starts_with("postgresql://") && !target_.starts_with("postgres://")),
          check_every_(check_every) {
        if (file_) {
            seen_ = detail::file_identity(target_);
        }
    }

    class Lease {
      public:
        Lease(StorePool& pool, std::unique_ptr<Store> store, std::uint64_t generation)
            : pool_(pool), store_(std::move(store)), generation_(generation) {}
        ~Lease() {
            if (store_) {
                pool_.give_back(std::move(store_), generation_);
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
        std::uint64_t generation_;
    };

    Lease borrow() {
        look_at_file();
        std::uint64_t generation = 0;
        {
            const std::scoped_lock lock(mutex_);
            generation = generation_;
            if (!idle_.empty()) {
                std::unique_ptr<Store> store = std::move(idle_.back());
                idle_.pop_back();
                return {*this, std::move(store), generation};
            }
        }
        return {*this, store::open_store(target_, store::OpenMode::ReadOnly), generation};
    }

  private:
    /// One stat at most every check_every_: a backup copied over the store,
    /// the file removed, or written anew in place.
    void look_at_file() {
        if (!file_) {
            return;
        }
        std::vector<std::unique_ptr<Store>> old;
        {
            const std::scoped_lock lock(mutex_);
            const auto now = Clock::now();
            if (now - checked_ < check_every_) {
                return;
            }
            checked_ = now;
            std::optional<detail::FileIdentity> now_seen = detail::file_identity(target_);
            if (now_seen == seen_) {
                return;
            }
            seen_ = now_seen;
            ++generation_;
            old.swap(idle_);
        }
    }

    void give_back(std::unique_ptr<Store> store, std::uint64_t generation) {
        const std::scoped_lock lock(mutex_);
        if (generation == generation_) {
            idle_.push_back(std::move(store));
            return;
        }
        // Closed outside the lock would be better, but closing is quick.
        store.reset();
    }

    std::string target_;
    bool file_;
    std::chrono::milliseconds check_every_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Store>> idle_;
    std::uint64_t generation_ = 0;
    std::optional<detail::FileIdentity> seen_;
    Clock::time_point checked_{};
};

/// A request as the routes see it: its path and query decoded.
struct Request {
    http::verb method = http::verb::get;
    std::string path;
    Parameters parameters;
    std::string authorization;
    std::string cookie;
};

/// %XX decoded, and '+' as a space in a query. Throws BadRequest for a
/// broken escape or a NUL, which would end the text early in the store.
std::string decoded(std::string_view text, bool query) {
    std::string out;
    out.reserve(text.size());
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            const int high = i + 2 < text.size() ? hex(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? hex(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                throw BadRequest("the address holds a % not followed by two hexadecimal digits");
            }
            c = static_cast<char>(high * 16 + low);
            i += 2;
        } else if (query && c == '+') {
            c = ' ';
        }
        if (c == '\0') {
            throw BadRequest("the address holds a NUL byte (%00), which no parameter takes");
        }
        out += c;
    }
    return out;
}

std::string encoded(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += fmt::format("%{:02X}", byte);
        }
    }
    return out;
}

/// The path and parameters of a request's target. Every pair is kept, the
/// same one twice included, so that the view can refuse it.
void parse_target(std::string_view target, Request& request) {
    if (!target.starts_with('/')) {
        throw BadRequest("the request names no path");
    }
    const std::size_t question = target.find('?');
    request.path = decoded(target.substr(0, question), false);
    if (question == std::string_view::npos) {
        return;
    }
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty()) {
            continue;
        }
        const std::size_t equals = pair.find('=');
        request.parameters.emplace(decoded(pair.substr(0, equals), true),
                                   equals == std::string_view::npos
                                       ? std::string()
                                       : decoded(pair.substr(equals + 1), true));
    }
}

std::string cookie_value(std::string_view cookies, std::string_view name) {
    std::size_t at = 0;
    while (at < cookies.size()) {
        const std::size_t end = std::min(cookies.find(';', at), cookies.size());
        std::string_view pair = cookies.substr(at, end - at);
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

/// The token of "Authorization: Bearer TOKEN", the scheme in any case.
std::string_view bearer_token(std::string_view authorization) {
    constexpr std::string_view kScheme = "bearer ";
    if (authorization.size() <= kScheme.size()) {
        return {};
    }
    for (std::size_t i = 0; i < kScheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(authorization[i])) != kScheme[i]) {
            return {};
        }
    }
    authorization.remove_prefix(kScheme.size());
    while (authorization.starts_with(' ')) {
        authorization.remove_prefix(1);
    }
    return authorization;
}

bool wants_json(std::string_view path) {
    return path.starts_with("/api/") || path == "/healthz";
}

Answer error_answer(std::string_view path, int status, std::string_view title,
                    const std::string& message) {
    if (wants_json(path)) {
        return {status, "application/json", nlohmann::json{{"error", message}}.dump() + "\n", {}};
    }
    return WebView::error_page(status, title, message);
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

/// What a route answers from: the request, the parts its pattern took, and
/// a store connection (none for a route that reads no store).
using Handler = std::function<Answer(const Request&, const std::smatch&, Store*)>;

struct Route {
    std::regex path;
    Handler handler;
    bool reads_store = true;
    bool needs_token = true;
    bool cacheable = false;  ///< the program's own files, the same until it changes
};

/// A streamed answer's body on its way from the worker writing it to the
/// connection sending it. At most kHeld chunks are held, the one being sent
/// among them, and the worker waits for room: a slow client costs that much
/// memory and its worker, never the whole answer.
class Outbox {
  public:
    static constexpr std::size_t kChunk = std::size_t{64} * 1024;
    static constexpr std::size_t kHeld = 4;

    /// On the worker: waits for room, then hands the chunk over. False once
    /// the client has gone.
    bool put(std::string chunk) {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [this] { return gone_ || waiting_.size() + (sending_ ? 1 : 0) < kHeld; });
        if (gone_) {
            return false;
        }
        waiting_.push_back(std::move(chunk));
        return true;
    }
    /// On the worker: the body is written, whole or cut short by a failure.
    void end(bool whole) {
        const std::scoped_lock lock(mutex_);
        ended_ = true;
        whole_ = whole;
    }
    [[nodiscard]] bool gone() {
        const std::scoped_lock lock(mutex_);
        return gone_;
    }

    /// On the io thread: the next chunk to send; it is held until sent().
    std::optional<std::string> take() {
        const std::scoped_lock lock(mutex_);
        if (waiting_.empty()) {
            return std::nullopt;
        }
        std::string chunk = std::move(waiting_.front());
        waiting_.pop_front();
        sending_ = true;
        return chunk;
    }
    void sent() {
        {
            const std::scoped_lock lock(mutex_);
            sending_ = false;
        }
        room_.notify_one();
    }
    /// On the io thread, once nothing waits: none while the worker writes,
    /// then whether the body was written whole.
    [[nodiscard]] std::optional<bool> ended() {
        const std::scoped_lock lock(mutex_);
        return ended_ && waiting_.empty() ? std::optional<bool>(whole_) : std::nullopt;
    }
    /// The client has gone: the worker's next hand-over fails.
    void abandon() {
        {
            const std::scoped_lock lock(mutex_);
            gone_ = true;
            waiting_.clear();
        }
        room_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable room_;
    std::deque<std::string> waiting_;
    bool sending_ = false;
    bool ended_ = false;
    bool whole_ = false;
    bool gone_ = false;
};

/// The worker's end of an Outbox, as a std::ostream writes: a chunk is
/// filled and handed over when full. A hand-over refused fails the write.
class ChunkBuffer : public std::streambuf {
  public:
    explicit ChunkBuffer(std::function<bool(std::string)> hand_over)
        : hand_over_(std::move(hand_over)) {
        renew();
    }
    /// Hands over what is left; false when refused.
    bool flush_rest() { return hand(); }

  protected:
    int_type overflow(int_type c) override {
        if (!hand()) {
            return traits_type::eof();
        }
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }

  private:
    bool hand() {
        if (pptr() == pbase()) {
            return true;  // an empty chunk would end the transfer
        }
        chunk_.resize(static_cast<std::size_t>(pptr() - pbase()));
        const bool taken = hand_over_(std::move(chunk_));
        renew();
        return taken;
    }
    void renew() {
        chunk_.assign(Outbox::kChunk, '\0');
        setp(chunk_.data(), chunk_.data() + chunk_.size());
    }

    std::function<bool(std::string)> hand_over_;
    std::string chunk_;
};

// A worker waits for a PostgreSQL server for about half of each answer,
// while a processor answers another; SQLite reads in the worker itself.
std::size_t default_workers(const std::string& db) {
    const std::size_t processors = std::max(std::thread::hardware_concurrency(), 1U);
    return std::max<std::size_t>(processors * (store::is_postgres_target(db) ? 2 : 1), 2);
}

/// A request being answered by a worker. The connection may give up on it
/// from its own thread while it runs.
struct Job {
    Request request;
    const Route* route = nullptr;
    std::smatch match;
    std::string target;  // what match points into
    Answer answer;
    /// A streamed answer's body, but for HEAD.
    std::shared_ptr<Outbox> outbox;
    std::atomic<bool> gone{false};
    std::mutex mutex;
    Store* running = nullptr;

    void give_up() noexcept {
        gone = true;
        const std::scoped_lock lock(mutex);
        if (running != nullptr) {
            running->interrupt();
        }
    }
};

}  // namespace

bool is_loopback(std::string_view host) {
    if (host == "localhost") {
        return true;
    }
    boost::system::error_code error;
    const asio::ip::address address = asio::ip::make_address(std::string(host), error);
    return !error && address.is_loopback();
}

std::string shown_host(const std::string& host) {
    boost::system::error_code error;
    const asio::ip::address address = asio::ip::make_address(host, error);
    if (!error && address.is_unspecified()) {
        std::string name = asio::ip::host_name(error);
        if (!error && !name.empty()) {
            return name;
        }
    }
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
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
    class Connection;

    ServeSettings settings;
    StorePool pool;
    WebView view;
    std::string chart_script;
    std::string store_name;
    std::vector<Route> routes;
    int port = 0;

    // Kept by the io thread alone; declared before it, as connections still
    // queued count themselves out when it is destroyed.
    std::map<asio::ip::address, std::size_t> per_address;
    std::size_t open = 0;
    std::atomic<std::size_t> queued{0};

    // The outboxes that workers are writing into, for the destructor.
    std::mutex writing_mutex;
    std::set<Outbox*> writing;
    bool stopping = false;

    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer accept_again{io};
    asio::thread_pool workers;
    asio::thread_pool senders;  // streamed answers' bodies

    explicit Impl(ServeSettings given)
        : settings(std::move(given)),
          pool(settings.db, settings.store_check),
          view(settings.view),
          chart_script(settings.chart_script.empty() ? std::string()
                                                     : read_file(settings.chart_script)),
          workers(settings.threads > 0 ? settings.threads : default_workers(settings.db)),
          senders(std::max<std::size_t>(settings.stream_threads, 1)) {
        view = WebView(ViewSettings{settings.view.stale_days, !chart_script.empty()});
        // The store is opened once now, so that a wrong --db is said at once.
        {
            const StorePool::Lease lease = pool.borrow();
            store_name = (*lease).name();
        }
        // Room under the limit for the store's files and the workers'.
        constexpr std::size_t kSpareFiles = 64;
        if (const std::optional<std::size_t> files = detail::raise_open_file_limit()) {
            settings.connections =
                std::min(settings.connections, *files > kSpareFiles ? *files - kSpareFiles : 1);
        }
        add_routes();
        listen();
    }

    ~Impl() {
        // A worker waiting for a client to take its export's chunks would
        // wait for ever once the io thread has stopped.
        {
            const std::scoped_lock lock(writing_mutex);
            stopping = true;
            for (Outbox* outbox : writing) {
                outbox->abandon();
            }
        }
        senders.stop();
        senders.join();
        workers.stop();
        workers.join();
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void listen() {
        const auto cannot = [this] {
            return std::runtime_error(fmt::format(
                "cannot listen on {}:{}: another program may be using the port, or the address "
                "is not one of this machine's: choose another with --listen HOST:PORT",
                settings.host, settings.port));
        };
        boost::system::error_code error;
        tcp::endpoint endpoint;
        const std::string host = settings.host == "localhost" ? "127.0.0.1" : settings.host;
        endpoint.address(asio::ip::make_address(host, error));
        if (error) {
            // A name of this machine's: its first address.
            tcp::resolver resolver(io);
            const auto found = resolver.resolve(host, "", error);
            if (error || found.empty()) {
                throw cannot();
            }
            endpoint = found.begin()->endpoint();
            error.clear();
        }
        endpoint.port(static_cast<unsigned short>(settings.port));
        (void)acceptor.open(endpoint.protocol(), error);
        // Only a port left in TIME_WAIT by a server that stopped may be taken
        // again: no SO_REUSEPORT, with which a second server would share the
        // port and answer half the requests from another store.
        (void)acceptor.set_option(tcp::acceptor::reuse_address(true), error);
        if (!error) {
            (void)acceptor.bind(endpoint, error);
        }
        if (!error) {
            (void)acceptor.listen(asio::socket_base::max_listen_connections, error);
        }
        if (error) {
            throw cannot();
        }
        port = acceptor.local_endpoint().port();
    }

    void accept();

    /// Whether the request carries the token. When it does not, the answer
    /// to send: a 303 that puts a ?token= into a cookie, or a 401.
    std::optional<Answer> refused(const Request& request) const {
        if (!settings.token) {
            return std::nullopt;
        }
        const std::string& token = *settings.token;
        if (same_secret(bearer_token(request.authorization), token) ||
            same_secret(cookie_value(request.cookie, kTokenCookie), token)) {
            return std::nullopt;
        }
        const auto given = request.parameters.find("token");
        if (given != request.parameters.end() && same_secret(given->second, token)) {
            // Once in the URL, then in a cookie: the address bar and the
            // history do not keep it.
            std::string location = request.path;
            std::string joiner = "?";
            for (const auto& [name, value] : request.parameters) {
                if (name != "token") {
                    location += joiner + encoded(name) + "=" + encoded(value);
                    joiner = "&";
                }
            }
            return Answer{
                303,
                "text/plain; charset=utf-8",
                {},
                {{"Location", location},
                 {"Set-Cookie", fmt::format("{}={}; Path=/; Max-Age={}; HttpOnly; "
                                            "SameSite=Strict",
                                            kTokenCookie, token, kTokenCookieAge.count())}}};
        }
        const bool wrong = given != request.parameters.end() || !request.authorization.empty();
        if (!wants_json(request.path)) {
            return WebView::token_page(request.path, wrong);
        }
        return error_answer(request.path, 401, wrong ? "Wrong access token" : "Access token needed",
                            wrong ? "the access token given is not this station's: check it with "
                                    "the station's keeper"
                                  : "this station's view needs its access token: send the header "
                                    "\"Authorization: Bearer TOKEN\"");
    }

    /// The answer of a route that reads the store, on a worker's thread.
    Answer from_store(Job& job) {
        const Request& request = job.request;
        if (std::optional<Answer> refusal = refused(request)) {
            return std::move(*refusal);
        }
        Parameters parameters = request.parameters;
        parameters.erase("token");
        try {
            // Shared with a streamed body, which may read on.
            const std::shared_ptr<StorePool::Lease> store(new StorePool::Lease(pool.borrow()));
            {
                const std::scoped_lock lock(job.mutex);
                job.running = &**store;
            }
            // An interrupted connection is done with, even when the call it
            // ended had already returned: it is not given back.
            struct Done {
                Job& job;
                StorePool::Lease& store;
                ~Done() {
                    const std::scoped_lock lock(job.mutex);
                    job.running = nullptr;
                    if (job.gone) {
                        store.discard();
                    }
                }
            } done{job, *store};
            if (job.gone) {
                (**store).interrupt();
            }
            try {
                Answer answer = job.route->handler(request, job.match, &**store);
                if (answer.stream) {
                    answer.stream = [store, write = std::move(answer.stream)](std::ostream& out) {
                        try {
                            write(out);
                        } catch (const StoreError&) {
                            store->discard();
                            throw;
                        }
                    };
                }
                return answer;
            } catch (const StoreError&) {
                store->discard();
                throw;
            }
        } catch (const BadRequest& error) {
            return error_answer(request.path, 400, "Bad request", error.what());
        } catch (const StoreError& error) {
            const StoreErrorKind kind = error.kind();
            const bool unavailable =
                kind == StoreErrorKind::ConnectionLost || kind == StoreErrorKind::CannotOpen ||
                kind == StoreErrorKind::Locked || kind == StoreErrorKind::NotFound ||
                kind == StoreErrorKind::Interrupted;
            if (kind != StoreErrorKind::Interrupted) {
                std::cerr << fmt::format("kdr serve: GET {}: {}\n", request.path, error.what());
            }
            return error_answer(request.path, unavailable ? 503 : 500, "The store cannot be read",
                                error.what());
        } catch (const std::exception& error) {
            std::cerr << fmt::format("kdr serve: GET {}: {}\n", request.path, error.what());
            return error_answer(request.path, 500, "Internal error", error.what());
        }
    }

    /// For monitoring, without the token: whether the store can be read, and
    /// nothing else; the reason goes to the log, and to those with the token.
    Answer healthz(const Request& request) {
        try {
            const StorePool::Lease store = pool.borrow();
            (void)(*store).last_download_id();
            return {200, "application/json", "{\"status\":\"ok\"}\n", {}};
        } catch (const std::exception& error) {
            std::cerr << fmt::format("kdr serve: /healthz: {}\n", error.what());
            nlohmann::json body{{"status", "unavailable"}};
            if (settings.token && !refused(request)) {
                body["reason"] = error.what();
            }
            return {503, "application/json", body.dump() + "\n", {}};
        }
    }

    void route(const std::string& pattern, Handler handler) {
        routes.push_back({std::regex(pattern), std::move(handler)});
    }

    void static_file(const std::string& path, std::string content_type, std::string body) {
        routes.push_back(
            {.path = std::regex(path),
             .handler = [answer = Answer{200, std::move(content_type), std::move(body), {}}](
                            const Request&, const std::smatch&, Store*) { return answer; },
             .reads_store = false,
             .needs_token = false,
             .cacheable = true});
    }

    /// Every address the view answers, in one place.
    void add_routes() {
        static_file("/static/kdr\\.css", "text/css", std::string(asset("kdr.css")));
        static_file("/static/kdr\\.js", "text/javascript", std::string(asset("kdr.js")));
        if (!chart_script.empty()) {
            static_file("/static/chart\\.js", "text/javascript", chart_script);
        }
        routes.push_back({.path = std::regex("/healthz"),
                          .handler = [this](const Request& request, const std::smatch&,
                                            Store*) { return healthz(request); },
                          .reads_store = false,
                          .needs_token = false});
        const auto with = [](const Request& request) -> Parameters {
            Parameters parameters = request.parameters;
            parameters.erase("token");
            return parameters;
        };
        route("/", [this, with](const Request& request, const std::smatch&, Store* store) {
            return view.readers_page(*store, with(request));
        });
        route("/readers/(.+)",
              [this, with](const Request& request, const std::smatch& match, Store* store) {
                  return view.reader_page(*store, match[1].str(), with(request));
              });
        route("/downloads", [this, with](const Request& request, const std::smatch&, Store* store) {
            return view.downloads_page(*store, with(request));
        });
        route("/downloads/([^/]+)/answer",
              [with](const Request& request, const std::smatch& match, Store* store) {
                  return WebView::answer_file(*store, match[1].str(), with(request));
              });
        route("/downloads/([^/]+)",
              [this, with](const Request& request, const std::smatch& match, Store* store) {
                  return view.download_page(*store, match[1].str(), with(request));
              });
        // Answered also when the store cannot be read: kdr_store_up then says so.
        routes.push_back(
            {.path = std::regex("/metrics"),
             .handler =
                 [this, with](const Request& request, const std::smatch&, Store*) {
                     try {
                         Parameters parameters = with(request);
                         try {
                             StorePool::Lease store = pool.borrow();
                             return view.metrics(&*store, parameters);
                         } catch (const StoreError& error) {
                             std::cerr << fmt::format("kdr serve: /metrics: {}\n", error.what());
                             return view.metrics(nullptr, parameters);
                         }
                     } catch (const BadRequest& error) {
                         return error_answer(request.path, 400, "Bad request", error.what());
                     }
                 },
             .reads_store = false,
             .needs_token = true});
        route("/api/readers",
              [this, with](const Request& request, const std::smatch&, Store* store) {
                  return view.api_readers(*store, with(request));
              });
        route("/api/records", [with](const Request& request, const std::smatch&, Store* store) {
            return WebView::api_records(*store, with(request));
        });
        route("/api/downloads", [with](const Request& request, const std::smatch&, Store* store) {
            return WebView::api_downloads(*store, with(request));
        });
        route("/api/days", [with](const Request& request, const std::smatch&, Store* store) {
            return WebView::api_days(*store, with(request));
        });
        route("/export/([a-z]+)\\.([a-z]+)",
              [this, with](const Request& request, const std::smatch& match, Store* store) {
                  return view.export_file(*store, match[1].str(), match[2].str(), with(request));
              });
    }

    const Route* find_route(const std::string& path, std::smatch& match) const {
        for (const Route& route : routes) {
            if (std::regex_match(path, match, route.path)) {
                return &route;
            }
        }
        return nullptr;
    }
};

/// One client's connection, on the io thread: reads one request at a time,
/// so that pipelined requests are answered in order, and holds no thread
/// while it waits.
class WebServer::Impl::Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(Impl& server, tcp::socket socket, asio::ip::address address)
        : server_(server),
          stream_(std::move(socket)),
          address_(std::move(address)),
          wake_(stream_.get_executor()) {}
    ~Connection() {
        --server_.open;
        if (const auto found = server_.per_address.find(address_);
            found != server_.per_address.end() && --found->second == 0) {
            server_.per_address.erase(found);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start() { read_request(); }

  private:
    void read_request() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.settings.head_bytes));
        if (buffer_.size() > 0) {
            read_head();
            return;
        }
        // Idle until the first byte; from it, the head has its own deadline.
        stream_.expires_after(server_.settings.idle_time);
        stream_.async_read_some(buffer_.prepare(1024), [self = shared_from_this()](
                                                           beast::error_code error, std::size_t n) {
            if (error) {
                return self->close();
            }
            self->buffer_.commit(n);
            self->read_head();
        });
    }

    void read_head() {
        stream_.expires_after(server_.settings.head_time);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code error, std::size_t) {
                                    self->on_head(error);
                                });
    }

    void on_head(beast::error_code error) {
        if (!error) {
            return on_request();
        }
        if (error == http::error::header_limit) {
            return reply(
                Answer{
                    431, "text/plain; charset=utf-8", "The request's headers are too large.\n", {}},
                false, false, true);
        }
        const bool malformed =
            error.category() == http::make_error_code(http::error::bad_target).category() &&
            error != http::error::end_of_stream && error != http::error::partial_message;
        if (!malformed) {
            // Gone, silent too long, or a broken connection: nothing to say.
            return close();
        }
        bad_request("The request is malformed.");
    }

    void bad_request(std::string message) {
        reply(Answer{400, "text/plain; charset=utf-8", std::move(message) + "\n", {}}, false, false,
              true);
    }

    void on_request() {
        const auto& head = parser_->get();
        const http::verb method = head.method();
        const bool head_only = method == http::verb::head;
        std::string path_part(head.target().substr(0, head.target().find('?')));
        if (method != http::verb::get && !head_only) {
            Answer answer =
                error_answer(path_part, 405, "Method not allowed",
                             fmt::format("This view only reads: {} is not allowed here, only GET "
                                         "and HEAD.",
                                         std::string(head.method_string())));
            answer.headers["Allow"] = "GET, HEAD";
            return reply(std::move(answer), false, false, true);
        }
        // A read sends nothing: a body would be taken for the next request.
        if (head.find(http::field::transfer_encoding) != head.end() ||
            (parser_->content_length() && *parser_->content_length() > 0)) {
            return reply(error_answer(path_part, 400, "Bad request",
                                      "A GET or HEAD request carries no body."),
                         head_only, false, true);
        }
        auto job = std::make_shared<Job>();
        job->request.method = method;
        job->request.authorization = std::string(head[http::field::authorization]);
        job->request.cookie = std::string(head[http::field::cookie]);
        const bool keep_alive = head.keep_alive();
        version_ = head.version();
        try {
            parse_target(std::string_view(head.target().data(), head.target().size()),
                         job->request);
        } catch (const BadRequest& error) {
            return reply(error_answer(path_part, 400, "Bad request", error.what()), head_only,
                         false, !keep_alive);
        }
        job->target = job->request.path;
        const Route* route = server_.find_route(job->target, job->match);
        if (route == nullptr) {
            return reply(error_answer(job->request.path, 404, "Not found",
                                      "There is no such page here. The readers page lists what "
                                      "the store holds."),
                         head_only, false, !keep_alive);
        }
        job->route = route;
        if (!route->reads_store) {
            if (route->needs_token) {
                if (std::optional<Answer> refusal = server_.refused(job->request)) {
                    return reply(std::move(*refusal), head_only, false, !keep_alive);
                }
            }
            // /healthz reads the store, but is quick and its own: a worker.
            if (route->cacheable) {
                return reply(route->handler(job->request, job->match, nullptr), head_only, true,
                             !keep_alive);
            }
        }
        run(job, head_only, !keep_alive);
    }

    /// Hands the request to a worker and watches the socket meanwhile: a
    /// client that leaves ends its query.
    void run(const std::shared_ptr<Job>& job, bool head_only, bool close_after) {
        if (server_.queued.fetch_add(1) >= server_.settings.queue) {
            --server_.queued;
            return reply(error_answer(job->request.path, 503, "Busy",
                                      "The view has more requests than it can read at once: try "
                                      "again in a moment."),
                         head_only, false, true);
        }
        job_ = job;
        worker_done_ = false;
        const auto began = Clock::now();
        asio::post(server_.workers, [&server = server_, job, head_only,
                                     self = shared_from_this()]() mutable {
            --server.queued;
            if (!job->gone) {
                job->answer = job->route->reads_store
                                  ? server.from_store(*job)
                                  : job->route->handler(job->request, job->match, nullptr);
            }
            // HEAD sends the head alone: its body is not written at all.
            std::function<void(std::ostream&)> produce;
            if (job->answer.stream && !head_only && !job->gone) {
                produce = job->answer.stream;
                job->outbox = std::make_shared<Outbox>();
            }
            const std::shared_ptr<Outbox> outbox = job->outbox;
            asio::post(server.io, [self] { self->on_worker_done(); });
            if (!produce) {
                // The connection is let go on its own thread.
                asio::post(server.io, [self = std::move(self)] { self->send_chunks(); });
                return;
            }
            asio::post(server.senders, [&server, job, self = std::move(self), produce, outbox] {
                write_body(server, self, *outbox, produce, job->request.path);
                asio::post(server.io, [self] { self->send_chunks(); });
            });
        });
        watch();
        wait_for_worker(head_only, close_after, began);
    }

    void watch() {
        watching_ = true;
        stream_.expires_never();
        stream_.socket().async_read_some(
            asio::buffer(peek_),
            [self = shared_from_this()](beast::error_code error, std::size_t n) {
                self->watching_ = false;
                if (error) {
                    if (error != asio::error::operation_aborted && self->job_) {
                        self->job_->give_up();
                    }
                } else {
                    // Pipelined requests: kept for their turn.
                    const auto room = self->buffer_.prepare(n);
                    asio::buffer_copy(room, asio::buffer(self->peek_.data(), n));
                    self->buffer_.commit(n);
                    if (!self->worker_done_ && self->buffer_.size() < kMaxAhead) {
                        self->watch();
                    }
                }
                self->wake_.cancel();
            });
    }

    /// On the worker: the streamed answer's body, written into the outbox as
    /// the connection sends it.
    static void write_body(Impl& server, const std::shared_ptr<Connection>& self, Outbox& outbox,
                           const std::function<void(std::ostream&)>& produce,
                           const std::string& path) {
        {
            const std::scoped_lock lock(server.writing_mutex);
            server.writing.insert(&outbox);
            if (server.stopping) {
                outbox.abandon();
            }
        }
        struct Written {
            Impl& server;
            Outbox& outbox;
            ~Written() {
                const std::scoped_lock lock(server.writing_mutex);
                server.writing.erase(&outbox);
            }
        } written{server, outbox};
        ChunkBuffer buffer([&](std::string chunk) {
            if (!outbox.put(std::move(chunk))) {
                return false;
            }
            asio::post(server.io, [self] { self->send_chunks(); });
            return true;
        });
        std::ostream out(&buffer);
        out.exceptions(std::ios::badbit);
        bool whole = false;
        try {
            produce(out);
            whole = buffer.flush_rest();
        } catch (const std::exception& error) {
            if (!outbox.gone()) {
                std::cerr << fmt::format("kdr serve: GET {}: {}\n", path, error.what());
            }
        }
        outbox.end(whole);
    }

    void on_worker_done() {
        worker_done_ = true;
        if (watching_) {
            beast::error_code ignored;
            (void)stream_.socket().cancel(ignored);
        }
        wake_.cancel();
    }

    void wait_for_worker(bool head_only, bool close_after, Clock::time_point began) {
        if (!worker_done_ || watching_) {
            wake_.expires_at(Clock::time_point::max());
            wake_.async_wait(
                [self = shared_from_this(), head_only, close_after, began](beast::error_code) {
                    self->wait_for_worker(head_only, close_after, began);
                });
            return;
        }
        const std::shared_ptr<Job> job = std::move(job_);
        if (job->gone) {
            if (job->outbox) {
                job->outbox->abandon();
            }
            return close();
        }
        const std::chrono::duration<double, std::milli> took = Clock::now() - began;
        job->answer.headers["Server-Timing"] = fmt::format("app;dur={:.3f}", took.count());
        if (job->answer.stream) {
            return reply_streamed(job->answer, job->outbox, head_only, close_after);
        }
        reply(std::move(job->answer), head_only, false, close_after);
    }

    template <class Body>
    static void set_head(http::response<Body>& response, const Answer& answer, bool cacheable) {
        for (const auto& [name, value] : kSecurityHeaders) {
            response.set(beast::string_view(name.data(), name.size()),
                         beast::string_view(value.data(), value.size()));
        }
        response.set(http::field::cache_control, cacheable ? "max-age=3600" : "no-store");
        response.set(http::field::content_type, answer.content_type);
        for (const auto& [name, value] : answer.headers) {
            response.set(name, value);
        }
    }

    void reply(Answer answer, bool head_only, bool cacheable, bool close_after) {
        auto response = std::make_shared<http::response<http::string_body>>(
            static_cast<http::status>(answer.status), 11);
        set_head(*response, answer, cacheable);
        response->keep_alive(!close_after);
        response->content_length(answer.body.size());
        if (!head_only) {
            response->body() = std::move(answer.body);
        }
        stream_.expires_after(server_.settings.write_time);
        // A HEAD's answer says the body's length and sends none.
        auto serializer = std::make_shared<http::response_serializer<http::string_body>>(*response);
        http::async_write(stream_, *serializer,
                          [self = shared_from_this(), response, serializer, close_after](
                              beast::error_code error, std::size_t) {
                              if (error || close_after) {
                                  return self->close();
                              }
                              self->read_request();
                          });
    }

    /// The head of an answer whose body is written as it is sent: chunked,
    /// or to an HTTP/1.0 client up to the connection's end. Its body then
    /// follows from `outbox` (none for HEAD).
    void reply_streamed(const Answer& answer, std::shared_ptr<Outbox> outbox, bool head_only,
                        bool close_after) {
        const bool chunked = version_ >= 11;
        close_after = close_after || !chunked;
        auto response = std::make_shared<http::response<http::empty_body>>(
            static_cast<http::status>(answer.status), 11);
        set_head(*response, answer, false);
        response->keep_alive(!close_after);
        response->chunked(chunked);
        stream_.expires_after(server_.settings.write_time);
        auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*response);
        http::async_write_header(
            stream_, *serializer,
            [self = shared_from_this(), response, serializer, outbox = std::move(outbox), head_only,
             chunked, close_after](beast::error_code error, std::size_t) mutable {
                if (error || head_only) {
                    if (outbox) {
                        outbox->abandon();
                    }
                    return error || close_after ? self->close() : self->read_request();
                }
                self->outbox_ = std::move(outbox);
                self->chunked_ = chunked;
                self->close_after_ = close_after;
                self->send_chunks();
            });
    }

    /// Sends what the worker has handed over, one chunk at a time; once it
    /// has written all, the last chunk, or for a body cut short by a failure
    /// none: the connection is closed, and the client sees a cut transfer.
    void send_chunks() {
        if (!outbox_ || sending_) {
            return;
        }
        const auto then = [self = shared_from_this()](beast::error_code error, std::size_t) {
            self->sending_ = false;
            self->chunk_.clear();
            if (error) {
                self->outbox_->abandon();
                self->outbox_.reset();
                return self->close();
            }
            self->outbox_->sent();
            self->send_chunks();
        };
        stream_.expires_after(server_.settings.write_time);
        if (std::optional<std::string> chunk = outbox_->take()) {
            sending_ = true;
            chunk_ = std::move(*chunk);
            if (chunked_) {
                asio::async_write(stream_, http::make_chunk(asio::buffer(chunk_)), then);
            } else {
                asio::async_write(stream_, asio::buffer(chunk_), then);
            }
            return;
        }
        const std::optional<bool> whole = outbox_->ended();
        if (!whole) {
            return;  // the worker is writing more
        }
        outbox_.reset();
        if (!*whole || !chunked_) {
            return close();
        }
        sending_ = true;
        asio::async_write(stream_, http::make_chunk_last(),
                          [self = shared_from_this()](beast::error_code error, std::size_t) {
                              self->sending_ = false;
                              if (error || self->close_after_) {
                                  return self->close();
                              }
                              self->read_request();
                          });
    }

    void close() {
        beast::error_code ignored;
        (void)stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        (void)stream_.socket().close(ignored);
    }

    static constexpr std::size_t kMaxAhead = std::size_t{64} * 1024;

    Impl& server_;
    beast::tcp_stream stream_;
    asio::ip::address address_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    std::shared_ptr<Job> job_;
    std::array<char, 4096> peek_{};
    asio::steady_timer wake_;
    bool watching_ = false;
    bool worker_done_ = false;
    unsigned version_ = 11;
    // A streamed answer's body being sent.
    std::shared_ptr<Outbox> outbox_;
    std::string chunk_;
    bool sending_ = false;
    bool chunked_ = true;
    bool close_after_ = false;
};

void WebServer::Impl::accept() {
    acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        if (error) {
            // Out of files, say: tried again shortly, as connections end.
            accept_again.expires_after(std::chrono::milliseconds(100));
            accept_again.async_wait([this](beast::error_code) { accept(); });
            return;
        }
        beast::error_code ignored;
        const tcp::endpoint peer = socket.remote_endpoint(ignored);
        std::size_t& from_there = per_address[peer.address()];
        // This machine's connections may all be a proxy's, or a
        // station's own: only the total bounds them.
        const bool bounded = !peer.address().is_loopback();
        if (ignored || open >= settings.connections ||
            (bounded && from_there >= settings.connections_per_address)) {
            if (from_there == 0) {
                per_address.erase(peer.address());
            }
            (void)socket.close(ignored);
        } else {
            ++from_there;
            ++open;
            // An answer's head and body go out in one write, but a
            // small answer must not wait for the client's acknowledgement.
            (void)socket.set_option(tcp::no_delay(true), ignored);
            std::make_shared<Connection>(*this, std::move(socket), peer.address())->start();
        }
        accept();
    });
}

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
    impl_->accept();
    impl_->io.run();
}

void WebServer::stop() {
    impl_->io.stop();
}

}  // namespace kdr::web
