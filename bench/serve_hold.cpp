// What `kdr serve` gives a new visitor while others hold it (bench/serve.sh):
// idle keep-alive connections, clients sending their headers a byte a second,
// and open pages polling every 3 s, all made again whenever the server ends
// them; meanwhile a visitor opens the readers page on a new connection every
// 200 ms. Prints a Markdown table of the visitor's wait.
//
// Usage: kdr_serve_hold HOST PORT [SECONDS [IDLE [SLOW [PAGES]]]]
//   SECONDS  how long the visitor keeps coming (20)
//   IDLE, SLOW, PAGES  the connections held: 500, 100, 100
// Exit 1 when a visitor's request failed or was not answered 200.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

std::size_t number(const char* text, std::string_view what) {
    std::size_t value = 0;
    const std::string_view view(text);
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (error != std::errc{} || end != view.data() + view.size()) {
        throw std::invalid_argument(fmt::format("{} must be a number, not \"{}\"", what, view));
    }
    return value;
}

enum class Hold { Idle, Slow, Page };

/// One held connection, made again whenever it ends.
class Holder : public std::enable_shared_from_this<Holder> {
  public:
    Holder(asio::io_context& io, tcp::endpoint server, Hold hold)
        : io_(io), server_(std::move(server)), hold_(hold), socket_(io), timer_(io) {}

    void start() {
        socket_ = tcp::socket(io_);
        socket_.async_connect(server_, [self = shared_from_this()](beast::error_code error) {
            if (error) {
                return self->again();
            }
            self->hold_ == Hold::Slow ? self->trickle(0) : self->ask();
        });
    }

  private:
    void again() {
        beast::error_code ignored;
        (void)socket_.close(ignored);
        timer_.expires_after(std::chrono::milliseconds(100));
        timer_.async_wait([self = shared_from_this()](beast::error_code) { self->start(); });
    }

    // A browser's request, then the connection kept until the server ends it
    // (idle) or asked again every 3 s (an open page's script).
    void ask() {
        request_ = hold_ == Hold::Page ? "GET /api/downloads?limit=1 HTTP/1.1\r\nHost: b\r\n\r\n"
                                       : "GET /healthz HTTP/1.1\r\nHost: b\r\n\r\n";
        asio::async_write(socket_, asio::buffer(request_),
                          [self = shared_from_this()](beast::error_code error, std::size_t) {
                              if (error) {
                                  return self->again();
                              }
                              self->response_ = {};
                              http::async_read(self->socket_, self->buffer_, self->response_,
                                               [self](beast::error_code read, std::size_t) {
                                                   read ? self->again() : self->after_answer();
                                               });
                          });
    }

    void after_answer() {
        if (hold_ == Hold::Idle) {
            // Waits for the server to close it.
            socket_.async_read_some(
                asio::buffer(byte_),
                [self = shared_from_this()](beast::error_code, std::size_t) { self->again(); });
            return;
        }
        timer_.expires_after(std::chrono::seconds(3));
        timer_.async_wait([self = shared_from_this()](beast::error_code) { self->ask(); });
    }

    // A head that never ends, a byte a second.
    void trickle(std::size_t sent) {
        static constexpr std::string_view kHead = "GET / HTTP/1.1\r\nHost: b\r\nX-Slow: ";
        request_ = sent == 0 ? std::string(kHead) : std::string("a");
        asio::async_write(socket_, asio::buffer(request_),
                          [self = shared_from_this(), sent](beast::error_code error, std::size_t) {
                              if (error) {
                                  return self->again();
                              }
                              self->timer_.expires_after(std::chrono::seconds(1));
                              self->timer_.async_wait(
                                  [self, sent](beast::error_code) { self->trickle(sent + 1); });
                          });
    }

    asio::io_context& io_;
    tcp::endpoint server_;
    Hold hold_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    std::string request_;
    beast::flat_buffer buffer_;
    http::response<http::string_body> response_;
    std::array<char, 1> byte_{};
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
    return values[std::min(at, values.size() - 1)];
}

int run(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: kdr_serve_hold HOST PORT [SECONDS [IDLE [SLOW [PAGES]]]]\n";
        return 2;
    }
    const tcp::endpoint server(asio::ip::make_address(argv[1]),
                               static_cast<unsigned short>(number(argv[2], "PORT")));
    const std::size_t seconds = argc > 3 ? number(argv[3], "SECONDS") : 20;
    const std::size_t idle = argc > 4 ? number(argv[4], "IDLE") : 500;
    const std::size_t slow = argc > 5 ? number(argv[5], "SLOW") : 100;
    const std::size_t pages = argc > 6 ? number(argv[6], "PAGES") : 100;

    asio::io_context io;
    for (const auto& [count, hold] :
         {std::pair{idle, Hold::Idle}, std::pair{slow, Hold::Slow}, std::pair{pages, Hold::Page}}) {
        for (std::size_t i = 0; i < count; ++i) {
            std::make_shared<Holder>(io, server, hold)->start();
        }
    }
    auto work = asio::make_work_guard(io);
    std::thread holding([&io] { io.run(); });
    // Let them all connect before the visitor comes.
    std::this_thread::sleep_for(std::chrono::seconds(2));

    std::vector<double> waits;
    std::size_t failures = 0;
    std::string first_failure;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    asio::io_context visiting;
    while (Clock::now() < end) {
        const auto began = Clock::now();
        try {
            beast::tcp_stream stream(visiting);
            stream.connect(server);
            http::request<http::empty_body> request(http::verb::get, "/", 11);
            request.set(http::field::host, "b");
            http::write(stream, request);
            beast::flat_buffer buffer;
            http::response_parser<http::string_body> parser;
            parser.body_limit(std::uint64_t{64} * 1024 * 1024);
            http::read(stream, buffer, parser);
            if (parser.get().result_int() != 200) {
                throw std::runtime_error(fmt::format("answered {}", parser.get().result_int()));
            }
            const std::chrono::duration<double, std::milli> took = Clock::now() - began;
            waits.push_back(took.count());
        } catch (const std::exception& error) {
            if (failures++ == 0) {
                first_failure = error.what();
            }
        }
        std::this_thread::sleep_until(began + std::chrono::milliseconds(200));
    }
    work.reset();
    io.stop();
    holding.join();

    fmt::print("| held: idle / slow heads / polling pages | visits | p50 ms | p99 ms | max ms |\n");
    fmt::print("|---|---:|---:|---:|---:|\n");
    if (waits.empty()) {
        std::cerr << "kdr_serve_hold: no visit was answered: " << first_failure << "\n";
        return 1;
    }
    fmt::print("| {} / {} / {} | {} | {:.1f} | {:.1f} | {:.1f} |\n", idle, slow, pages,
               waits.size(), percentile(waits, 0.5), percentile(waits, 0.99),
               *std::max_element(waits.begin(), waits.end()));
    if (failures > 0) {
        std::cerr << fmt::format("kdr_serve_hold: {} visits failed, the first: {}\n", failures,
                                 first_failure);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "kdr_serve_hold: " << error.what() << "\n";
        return 1;
    }
}
