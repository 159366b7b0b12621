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
#include <functional>
#include <future>
#include <limits>
#include <new>
#include <thread>
#include <vector>

namespace zunel {
namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

using RequestHandler = std::function<HttpResponse(const HttpRequest&)>;

// A server on a free loopback port, serving on a thread of the test. Every
// request the admission lets through is handled by `handler` in one lane.
class RunningServer {
 public:
  explicit RunningServer(RequestHandler handler, ServerLimits limits = {}, AdmissionHook admit = {},
                         std::function<void()> after_answer = {}, bool own_listener = true) {
    if (own_listener) {
      auto bound = HttpServer::bind(0, limits);
      EXPECT_TRUE(bound.ok()) << bound.error();
      server_ = std::move(*bound);
    } else {
      server_ = HttpServer::without_listener(limits);
    }
    thread_ = std::thread([this, handler, admit, after_answer] {
      server_->serve([handler, admit, after_answer](const HttpRequest& head) {
        Admission admission;
        if (admit) {
          admission = admit(head);
        } else {
          admission.max_body_bytes = std::numeric_limits<std::size_t>::max();
        }
        admission.handle = [handler, after_answer](HttpRequest& req) -> Handled {
          LaneWork work{"test", LaneKind::Service, [handler, req] { return handler(req); }};
          work.after_answer = after_answer;
          return work;
        };
        return admission;
      });
    });
  }
  ~RunningServer() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
  }
  std::uint16_t port() const { return server_->port(); }
  HttpServer& server() { return *server_; }
  // Until serve() has returned.
  void join() { thread_.join(); }

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
  res.headers = {{"X-Method", req.method},
                 {"X-Target", req.target},
                 {"X-Body-State", std::to_string(static_cast<int>(req.body_state))}};
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

TEST(HttpServer, WorkAfterTheAnswerRunsInTheLaneWithoutHoldingTheAnswer) {
  std::promise<void> answered;
  std::shared_future<void> seen = answered.get_future().share();
  std::atomic<bool> after_ran{false};
  {
    RunningServer server(echo, {}, {}, [seen, &after_ran] {
      seen.wait_for(std::chrono::seconds(10));
      after_ran = true;
    });
    Client client(server.port());
    client.send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(client.read_response().result_int(), 200);
    EXPECT_FALSE(after_ran) << "the answer waited for the work after it";
    answered.set_value();
  }
  EXPECT_TRUE(after_ran) << "the server stopped without letting the lane finish";
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
  client.send(
      "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
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
    client.send(
        "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
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
  RunningServer server([&](const HttpRequest& r) {
    ++handled;
    return echo(r);
  });
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

TEST(HttpServer, SilentSlowHeaderAndIdleConnectionsAreClosed) {
  ServerLimits limits;
  limits.first_byte_timeout = 100ms;
  limits.header_timeout = 1s;
  limits.idle_timeout = 300ms;
  RunningServer server(echo, limits);
  {
    Client client(server.port());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(client.closed_by_server());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 800ms) << "no first byte, no header time";
  }
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

TEST(HttpServer, AFullServerClosesTheLongestIdleConnectionAndRefusesOnlyWhenNoneIsIdle) {
  ServerLimits limits;
  limits.max_connections = 2;
  RunningServer server(echo, limits);
  const std::string request = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
  Client older(server.port());
  older.send(request);
  older.read_response();
  Client newer(server.port());
  newer.send(request);
  newer.read_response();

  // The pauses let the server read what was just sent: a connection is idle
  // until its first byte arrives.
  Client first(server.port());  // both are idle: the older one makes room
  EXPECT_TRUE(older.closed_by_server());
  first.send("GET / HTTP/1.1\r\n");  // mid-header, so not idle
  std::this_thread::sleep_for(200ms);
  Client second(server.port());  // newer is idle
  EXPECT_TRUE(newer.closed_by_server());
  second.send("GET / HTTP/1.1\r\n");
  std::this_thread::sleep_for(200ms);
  Client beyond(server.port());  // no connection is idle: served beyond the slots
  beyond.send(request);
  const auto busy = beyond.read_response();
  EXPECT_EQ(busy.result_int(), 503) << "work for a lane is refused, never dropped";
  EXPECT_EQ(busy.body(), "{\"code\":\"agent_busy\",\"error\":\"agente ocupado\"}");
  EXPECT_EQ(busy["Retry-After"], "1");
  EXPECT_TRUE(beyond.closed_by_server());

  first.send("Host: h\r\n\r\n");
  EXPECT_EQ(first.read_response().result_int(), 200) << "a busy connection is never closed for room";
}

TEST(HttpServer, JobsWaitingInALaneLeaveTheirSlotsToNewConnections) {
  ServerLimits limits;
  limits.max_connections = 2;
  std::atomic<bool> open{false};
  RunningServer server(
      [&](const HttpRequest& req) {
        while (req.target == "/wait" && !open) std::this_thread::sleep_for(5ms);
        return echo(req);
      },
      limits);
  // Four times the slots wait in the lane, each on its own connection.
  std::vector<std::unique_ptr<Client>> waiting;
  for (int i = 0; i < 8; ++i) {
    waiting.push_back(std::make_unique<Client>(server.port()));
    waiting.back()->send("GET /wait HTTP/1.1\r\nHost: h\r\n\r\n");
    std::this_thread::sleep_for(50ms);  // read, and in the lane
  }
  std::this_thread::sleep_for(200ms);
  Client reader(server.port());  // takes a slot although eight requests wait
  reader.send("GET /wait HTTP/1.1\r\n");
  std::this_thread::sleep_for(200ms);
  open = true;
  for (auto& client : waiting) {
    EXPECT_EQ(client->read_response()["X-Target"], "/wait") << "every waiting job is answered";
  }
  reader.send("Host: h\r\n\r\n");
  EXPECT_EQ(reader.read_response().result_int(), 200);
}

// Refuses requests without a Host header; bodies up to 16 bytes, none on GET.
Admission admit_with_host(const HttpRequest& head) {
  Admission admission;
  if (!find_header(head.headers, "host")) {
    admission.answer = HttpResponse{403, {}, "no host"};
  } else {
    admission.max_body_bytes = head.method == "GET" ? 0 : 16;
  }
  return admission;
}

TEST(HttpServer, AdmissionAnswersFromTheHeaderWithoutReadingTheBody) {
  std::atomic<int> handled{0};
  RunningServer server(
      [&](const HttpRequest& r) {
        ++handled;
        return echo(r);
      },
      {}, admit_with_host);
  {
    Client client(server.port());  // 60 MB declared, none sent: answered at once
    client.send("POST /v1/pair HTTP/1.1\r\nContent-Length: 62914560\r\n\r\n");
    auto res = client.read_response();
    EXPECT_EQ(res.result_int(), 403);
    EXPECT_EQ(res.body(), "no host");
    EXPECT_TRUE(client.closed_by_server()) << "the unread body ends the connection";
  }
  {
    Client client(server.port());  // without a body the connection goes on
    client.send("GET / HTTP/1.1\r\n\r\nGET /next HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(client.read_response().result_int(), 403);
    EXPECT_EQ(client.read_response()["X-Target"], "/next");
  }
  const struct {
    const char* request;
    const char* body_state;
  } bounded[] = {
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 17\r\n\r\n", "2"},
      {"GET / HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\n\r\n", "2"},
      {"GET / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n", "2"},
  };
  for (const auto& row : bounded) {
    Client client(server.port());
    client.send(row.request);
    EXPECT_EQ(client.read_response()["X-Body-State"], row.body_state) << row.request;
  }
  EXPECT_EQ(handled.load(), 4);
}

TEST(HttpServer, AClientThatWritesItsWholeBodyBeforeReadingSeesTheEarlyAnswer) {
  ServerLimits limits;
  limits.linger_bytes = 32u << 20;
  RunningServer server(echo, limits, admit_with_host);
  // Far over the bound of 16, and more than the connection's buffers hold.
  const std::string body(16u << 20, 'x');
  const struct {
    const char* head;
    int status;  // the handler's answer to a body too large, or the admission's
  } rows[] = {{"POST / HTTP/1.1\r\nHost: h\r\n", 200}, {"POST / HTTP/1.1\r\n", 403}};
  for (const auto& row : rows) {
    Client client(server.port());
    // Without the server reading on, this write would meet a reset.
    client.send(std::string(row.head) + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(client.read_response().result_int(), row.status) << row.head;
    EXPECT_TRUE(client.closed_by_server()) << row.head;
  }
}

// Records what the server hands it.
struct RecordingConsumer final : BodyConsumer {
  void begin(std::size_t declared_length) override {
    log += "begin:" + std::to_string(declared_length) + ";";
  }
  void consume(std::string_view piece) override { text += piece; }
  void finish() override { log += "finish:" + text + ";"; }
  std::string log, text;
};

TEST(HttpServer, AConsumerTakesTheBodyInsteadOfItsTextInAnyPieces) {
  std::vector<std::shared_ptr<BodyConsumer>> handed;
  RunningServer server(
      [&](const HttpRequest& req) {
        handed.push_back(req.body_consumer);
        return echo(req);
      },
      {},
      [](const HttpRequest&) {
        return Admission{std::nullopt, 64, std::make_shared<RecordingConsumer>(), {}, {}};
      });
  const std::string body = "0123456789abcdefghij";
  const struct {
    std::string request;
    std::size_t piece;
    const char* log;
  } rows[] = {
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 20\r\n\r\n" + body, 1,
       "begin:20;finish:0123456789abcdefghij;"},
      {"POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n7\r\n0123456\r\n"
       "d\r\n789abcdefghij\r\n0\r\n\r\n",
       7, "begin:0;finish:0123456789abcdefghij;"},
      // An empty body is a body too: the consumer is given it.
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n\r\n", 1, "begin:0;finish:;"},
  };
  for (const auto& row : rows) {
    Client client(server.port());
    for (std::size_t at = 0; at < row.request.size(); at += row.piece) {
      client.send(row.request.substr(at, row.piece));
    }
    auto res = client.read_response();
    EXPECT_EQ(res.body(), "") << "the text is not kept";
    EXPECT_EQ(res["X-Body-State"], "0");
    ASSERT_TRUE(handed.back());
    EXPECT_EQ(static_cast<RecordingConsumer&>(*handed.back()).log, row.log);
  }
}

TEST(HttpServer, BodiesInFlightShareOneBudget) {
  ServerLimits limits;
  limits.max_bodies_in_flight = 100;
  RunningServer server(echo, limits);
  const auto post = [](int length) {
    return "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
  };
  Client holder(server.port());
  holder.send(post(60) + std::string(10, 'x'));  // 60 reserved while it arrives
  std::this_thread::sleep_for(200ms);            // for the server to read the header

  Client over(server.port());
  over.send(post(41));
  auto res = over.read_response();
  EXPECT_EQ(res.result_int(), 503);
  EXPECT_EQ(res["Retry-After"], "1");
  EXPECT_EQ(res["Access-Control-Expose-Headers"], "Retry-After");
  EXPECT_EQ(res.body(), "{\"code\":\"agent_busy\",\"error\":\"agente ocupado\"}");
  EXPECT_TRUE(over.closed_by_server());

  Client chunked(server.port());  // charged as it grows: 30, then 60
  chunked.send(
      "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
      "1e\r\n" +
      std::string(30, 'a') + "\r\n1e\r\n" + std::string(30, 'b') + "\r\n0\r\n\r\n");
  EXPECT_EQ(chunked.read_response().result_int(), 503);

  Client fits(server.port());
  fits.send(post(40) + std::string(40, 'y'));
  EXPECT_EQ(fits.read_response().body(), std::string(40, 'y'));

  holder.send(std::string(50, 'x'));
  EXPECT_EQ(holder.read_response().body().size(), 60u);
  Client after(server.port());
  after.send(post(100) + std::string(100, 'z'));
  EXPECT_EQ(after.read_response().result_int(), 200) << "answered bodies give their share back";
}

TEST(HttpServer, RunningOutOfMemoryCostsOneRequestOrOneConnection) {
  const auto throws_on = [](const char* target) {
    return [target](const HttpRequest& req) {
      if (req.target == target) throw std::bad_alloc();
      return req;
    };
  };
  RunningServer server([&](const HttpRequest& req) { return echo(throws_on("/handler")(req)); }, {},
                       [&](const HttpRequest& head) {
                         throws_on("/admission")(head);
                         return Admission{std::nullopt, 64, nullptr, "https://page.example", {}};
                       });
  Client client(server.port());
  client.send("GET /handler HTTP/1.1\r\nHost: h\r\n\r\n");
  auto res = client.read_response();
  EXPECT_EQ(res.result_int(), 500);
  EXPECT_EQ(res.body(), "{\"code\":\"out_of_memory\",\"error\":\"memoria insuficiente\"}");
  EXPECT_EQ(res["Access-Control-Allow-Origin"], "https://page.example") << "the page can read it";
  client.send("GET /admission HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_TRUE(client.closed_by_server());

  Client next(server.port());
  next.send("GET /fine HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(next.read_response()["X-Target"], "/fine");
}

// A handler that holds the request for "/hold" until released (10 s at most).
class Gate {
 public:
  HttpResponse handle(const HttpRequest& req) {
    if (req.target == "/hold") {
      entered_.set_value();
      // Bounded, so that a failed test does not leave the server waiting.
      released_.get_future().wait_for(10s);
    }
    return echo(req);
  }
  void wait_entered() { entered_.get_future().wait(); }
  void release() { released_.set_value(); }

 private:
  std::promise<void> entered_;
  std::promise<void> released_;
};

TEST(HttpServer, ShutDownAnswersWaitingWorkBusyAndLetsRunningWorkFinish) {
  Gate gate;
  std::atomic<int> ran{0};
  RunningServer server([&](const HttpRequest& req) {
    ++ran;
    return gate.handle(req);
  });
  const std::uint16_t port = server.port();
  Client running(port);
  running.send("GET /hold HTTP/1.1\r\nHost: h\r\n\r\n");
  gate.wait_entered();
  Client waiting(port);
  waiting.send("GET /waits HTTP/1.1\r\nHost: h\r\n\r\n");
  std::this_thread::sleep_for(100ms);  // queued behind /hold in the one lane

  server.server().shut_down(10s);
  auto busy = waiting.read_response();
  EXPECT_EQ(busy.result_int(), 503);
  EXPECT_EQ(busy.body(), "{\"code\":\"agent_busy\",\"error\":\"agente ocupado\"}");
  boost::system::error_code refused;
  {
    net::io_context io;
    tcp::socket late(io);
    late.connect(tcp::endpoint(net::ip::address_v4::loopback(), port), refused);
  }
  EXPECT_TRUE(refused) << "no new connection once stopping";

  gate.release();
  EXPECT_EQ(running.read_response()["X-Target"], "/hold") << "the running work is answered";
  server.join();
  EXPECT_FALSE(server.server().work_outlived_grace());
  EXPECT_EQ(ran, 1) << "the waiting work never ran";
}

TEST(HttpServer, ShutDownReturnsOnceTheWorkAfterTheAnswerHasEnded) {
  std::atomic<bool> after_ended{false};
  RunningServer server(echo, {}, {}, [&after_ended] {
    std::this_thread::sleep_for(300ms);
    after_ended = true;
  });
  Client client(server.port());
  client.send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(client.read_response().result_int(), 200);
  server.server().shut_down(10s);
  server.join();
  EXPECT_TRUE(after_ended)
      << "serve() returned while a job's work after its answer (its journal line) ran on";
  EXPECT_FALSE(server.server().work_outlived_grace());
}

TEST(HttpServer, ShutDownReturnsAfterTheGraceWhenWorkStillRuns) {
  Gate gate;
  RunningServer server([&](const HttpRequest& req) { return gate.handle(req); });
  Client running(server.port());
  running.send("GET /hold HTTP/1.1\r\nHost: h\r\n\r\n");
  gate.wait_entered();
  server.server().shut_down(50ms);
  // The page still waiting is told, before serve() returns, that its work was cut.
  const auto answer = running.read_response();
  EXPECT_EQ(answer.result_int(), 503);
  EXPECT_NE(answer.body().find("\"code\":\"agent_stopped\""), std::string::npos) << answer.body();
  EXPECT_TRUE(running.closed_by_server());
  server.join();
  EXPECT_TRUE(server.server().work_outlived_grace());
  gate.release();  // so that the server's destruction, which waits for it, ends
}

TEST(HttpServer, AConnectionAcceptedElsewhereIsServedWhenHandedIn) {
  RunningServer server(echo, {}, {}, {}, false);
  EXPECT_EQ(server.port(), 0);
  // Accepted by a listener of the test, on an I/O context of its own.
  net::io_context io;
  tcp::acceptor elsewhere(io, tcp::endpoint(net::ip::address_v4::loopback(), 0));
  Client client(elsewhere.local_endpoint().port());
  server.server().serve_handed(elsewhere.accept(server.server().io_context()));
  client.send("GET /handed HTTP/1.1\r\nHost: h\r\n\r\n");
  const auto first = client.read_response();
  EXPECT_EQ(first.result_int(), 200);
  EXPECT_EQ(first["X-Target"], "/handed");
  client.send("GET /again HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(client.read_response()["X-Target"], "/again") << "kept alive like an accepted one";
}

TEST(HttpServer, APortInUseFailsWithTheSystemText) {
  RunningServer first(echo);
  auto second = HttpServer::bind(first.port());
  ASSERT_FALSE(second.ok());
  EXPECT_NE(second.error().find("(os error "), std::string::npos) << second.error();
}

}  // namespace
}  // namespace zunel
