#include "server/http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <mutex>
#include <thread>

namespace zunel {
namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

// A server on a free loopback port, serving on a thread of the test.
class RunningServer {
 public:
  explicit RunningServer(RequestHandler handler, ServerLimits limits = {}) {
    auto bound = HttpServer::bind(0, limits);
    EXPECT_TRUE(bound.ok()) << bound.error();
    server_ = std::move(*bound);
    thread_ = std::thread([this, handler] { server_->serve(handler); });
  }
  ~RunningServer() {
    server_->stop();
    thread_.join();
  }
  std::uint16_t port() const { return server_->port(); }

 private:
  std::unique_ptr<HttpServer> server_;
  std::thread thread_;
};

// A blocking client connection.
class Client {
 public:
  explicit Client(std::uint16_t port) : socket_(io_) {
    socket_.connect(tcp::endpoint(net::ip::address_v4::loopback(), port));
  }
  void send(const std::string& raw) { net::write(socket_, net::buffer(raw)); }
  http::response<http::string_body> read_response(bool head = false) {
    http::response_parser<http::string_body> parser;
    parser.skip(head);
    http::read(socket_, buffer_, parser);
    return parser.release();
  }
  // True when the server closed the connection (read gives end of file).
  bool closed_by_server() {
    boost::system::error_code ec;
    char byte;
    if (buffer_.size() > 0) return false;
    socket_.read_some(net::buffer(&byte, 1), ec);
    return ec == net::error::eof || ec == net::error::connection_reset;
  }
  std::string read_some() {
    char data[512];
    return std::string(data, socket_.read_some(net::buffer(data)));
  }

 private:
  net::io_context io_;
  tcp::socket socket_;
  boost::beast::flat_buffer buffer_;
};

HttpResponse echo(const HttpRequest& req) {
  HttpResponse res;
  res.status = 200;
  res.headers = {{"X-Method", req.method}, {"X-Target", req.target}, {"X-Body-State",
                 std::to_string(static_cast<int>(req.body_state))}};
  std::string joined;
  for (const auto& [k, v] : req.headers) joined += k + "=" + v + ";";
  res.headers.emplace_back("X-Headers", joined);
  res.body = req.body;
  return res;
}

TEST(HttpServer, KeepAliveServesRequestsInOrderWithHeadersExactlyAsSent) {
  RunningServer server(echo);
  Client client(server.port());
  client.send(
      "GET /v1/ping?x=1 HTTP/1.1\r\nHost: 127.0.0.1:1\r\nX-Zunel-Nonce: a%20b\r\n"
      "x-dup: 1\r\nX-Dup: 2\r\n\r\n"
      "POST /v1/print HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello");
  auto first = client.read_response();
  EXPECT_EQ(first["X-Method"], "GET");
  EXPECT_EQ(first["X-Target"], "/v1/ping?x=1");
  EXPECT_EQ(first["X-Headers"], "Host=127.0.0.1:1;X-Zunel-Nonce=a%20b;x-dup=1;X-Dup=2;");
  auto second = client.read_response();
  EXPECT_EQ(second["X-Method"], "POST");
  EXPECT_EQ(second.body(), "hello");
  EXPECT_EQ(second["X-Body-State"], "0");
}

TEST(HttpServer, AnswerHeadersKeepTheirOrder) {
  RunningServer server([](const HttpRequest&) {
    return HttpResponse{200, {{"Zeta", "1"}, {"Alpha", "2"}, {"Mid", "3"}}, "{}"};
  });
  Client client(server.port());
  client.send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  auto res = client.read_response();
  std::vector<std::string> names;
  for (const auto& field : res) names.emplace_back(field.name_string());
  EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "Alpha", "Mid", "Content-Length"}));
}

TEST(HttpServer, HandlesOneRequestAtATimeAcrossConnections) {
  std::atomic<int> inside{0}, most{0}, handled{0};
  RunningServer server([&](const HttpRequest& req) {
    const int now = ++inside;
    most = std::max(most.load(), now);
    std::this_thread::sleep_for(20ms);
    --inside;
    ++handled;
    return echo(req);
  });
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&] {
      Client client(server.port());
      for (int j = 0; j < 3; ++j) {
        client.send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
        client.read_response();
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(handled.load(), 12);
  EXPECT_EQ(most.load(), 1);
}

TEST(HttpServer, ChunkedBodyIsAssembled) {
  RunningServer server(echo);
  Client client(server.port());
  client.send("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
              "3\r\nabc\r\n4\r\ndefg\r\n0\r\n\r\n");
  auto res = client.read_response();
  EXPECT_EQ(res.body(), "abcdefg");
  EXPECT_EQ(res["X-Body-State"], "0");
}

TEST(HttpServer, SendsContinueBeforeReadingTheBody) {
  RunningServer server(echo);
  Client client(server.port());
  client.send("POST / HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n");
  EXPECT_EQ(client.read_some(), "HTTP/1.1 100 Continue\r\n\r\n");
  client.send("ok");
  EXPECT_EQ(client.read_response().body(), "ok");
}

TEST(HttpServer, OversizedBodiesAreHandedOverUnreadAndTheConnectionCloses) {
  ServerLimits limits;
  limits.max_body_bytes = 16;
  RunningServer server(echo, limits);
  {
    Client client(server.port());
    // Declared too large: answered without waiting for (or asking for) the body.
    client.send("POST / HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 17\r\n\r\n");
    auto res = client.read_response();
    EXPECT_EQ(res["X-Body-State"], "2");
    EXPECT_EQ(res.body(), "");
    EXPECT_TRUE(client.closed_by_server());
  }
  {
    Client client(server.port());
    client.send("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
                "10\r\n0123456789abcdef\r\n1\r\nX\r\n0\r\n\r\n");
    auto res = client.read_response();
    EXPECT_EQ(res["X-Body-State"], "2");
    EXPECT_TRUE(client.closed_by_server());
  }
  {
    Client client(server.port());
    client.send("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 16\r\n\r\n0123456789abcdef");
    EXPECT_EQ(client.read_response().body(), "0123456789abcdef") << "the limit itself is allowed";
  }
}

TEST(HttpServer, BrokenChunkFramingIsHandedOverAsUnreadable) {
  RunningServer server(echo);
  Client client(server.port());
  client.send("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n");
  auto res = client.read_response();
  EXPECT_EQ(res["X-Body-State"], "1");
  EXPECT_TRUE(client.closed_by_server());
}

TEST(HttpServer, MalformedRequestGets400AndClose) {
  std::atomic<int> handled{0};
  RunningServer server([&](const HttpRequest& r) { ++handled; return echo(r); });
  Client client(server.port());
  client.send("GARBAGE\r\n\r\n");
  auto res = client.read_response();
  EXPECT_EQ(res.result_int(), 400);
  EXPECT_TRUE(client.closed_by_server());
  EXPECT_EQ(handled.load(), 0);
}

TEST(HttpServer, HeadAnswerCarriesTheLengthButNoBody) {
  RunningServer server([](const HttpRequest&) {
    return HttpResponse{404, {}, "{\"error\":\"no encontrado\"}"};
  });
  Client client(server.port());
  client.send("HEAD /v1/ping HTTP/1.1\r\nHost: h\r\n\r\nGET /x HTTP/1.1\r\nHost: h\r\n\r\n");
  auto head = client.read_response(true);
  EXPECT_EQ(head["Content-Length"], "25");
  auto next = client.read_response();
  EXPECT_EQ(next.body(), "{\"error\":\"no encontrado\"}") << "the connection stays in step";
}

TEST(HttpServer, SlowHeaderAndIdleConnectionsAreClosed) {
  ServerLimits limits;
  limits.header_timeout = 200ms;
  limits.idle_timeout = 300ms;
  RunningServer server(echo, limits);
  {
    Client client(server.port());
    client.send("GET / HTTP/1.1\r\nHost:");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(client.closed_by_server());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  }
  {
    Client client(server.port());
    client.send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    client.read_response();
    EXPECT_TRUE(client.closed_by_server());
  }
}

TEST(HttpServer, ConnectionsBeyondTheLimitAreClosedAtOnce) {
  ServerLimits limits;
  limits.max_connections = 2;
  RunningServer server(echo, limits);
  Client a(server.port()), b(server.port());
  a.send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  a.read_response();
  b.send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  b.read_response();
  Client c(server.port());
  EXPECT_TRUE(c.closed_by_server());
}

TEST(HttpServer, APortInUseFailsWithTheSystemText) {
  RunningServer first(echo);
  auto second = HttpServer::bind(first.port());
  ASSERT_FALSE(second.ok());
  EXPECT_NE(second.error().find("(os error "), std::string::npos) << second.error();
}

}  // namespace
}  // namespace zunel
