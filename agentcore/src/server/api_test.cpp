#include "server/api.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <thread>

#include "base/build_config.h"
#include "base/hex.h"
#include "base/journal.h"
#include "base/sha256.h"
#include "print_fakes.h"
#include "printing/print_body_reader.h"
#include "printing/print_platform.h"
#include "server/answers.h"
#include "request_signer.h"
#include "security/pairing_store.h"
#include "security_test_support.h"
#include "server/gates.h"
#include "server/http_server.h"

namespace zunel {
namespace {

using testing::StateFixture;

const std::string DOMAIN = "erp.zunel.example";
const std::string ORIGIN = "https://app.erp.zunel.example";
const std::string HOST = "127.0.0.1:47631";

const HeaderList JSON_HEADERS = {{"Content-Type", "application/json; charset=utf-8"},
                                 {"Cache-Control", "no-store"},
                                 {"Access-Control-Allow-Credentials", "false"}};

HeaderList json_headers_with_cors(const std::string& origin) {
  HeaderList h = JSON_HEADERS;
  h.emplace_back("Access-Control-Allow-Origin", origin);
  h.emplace_back("Vary", "Origin");
  return h;
}

class Api : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fx.load());
    // The one printer these tests send to; no spooler printer is there.
    printing.network.addresses = std::vector<TcpAddress>{{"10.0.0.9:9100"}};
    printing.spooler.failing[RecordingSpooler::Step::Open] = 1801;
  }

  HttpResponse send(const std::string& method, const std::string& target, HeaderList headers,
                    std::string body = "", BodyState state = BodyState::Complete) {
    HttpRequest req{method, target, std::move(headers), std::move(body), state, nullptr};
    ApiContext ctx{*fx.state, printing.platform, DOMAIN, jobs, events};
    return handle_request(req, ctx);
  }

  HttpResponse from_page(const std::string& method, const std::string& target,
                         std::string body = "", HeaderList extra = {}) {
    HeaderList headers{{"Host", HOST}, {"Origin", ORIGIN}};
    headers.insert(headers.end(), extra.begin(), extra.end());
    return send(method, target, std::move(headers), std::move(body));
  }

  // A server on a free loopback port, and the state again, from the same
  // directory (its devices stay), on that port; nothing when either fails.
  std::unique_ptr<HttpServer> bind_and_reload(ServerLimits limits) {
    auto bound = HttpServer::bind(0, limits);
    EXPECT_TRUE(bound.ok()) << bound.error();
    if (!bound) return nullptr;
    fx.state.reset();
    auto loaded = load_state(fx.dir.path(), "1.0.1", StateServices{fx.clock, fx.random, fx.diagnostics},
                             testing::test_keyset_json(), (*bound)->port());
    EXPECT_TRUE(loaded.ok()) << loaded.error();
    if (!loaded) return nullptr;
    fx.state = std::move(*loaded);
    return std::move(*bound);
  }

  // Pairs a device for ORIGIN through the endpoint and returns its token.
  std::string pair_device() {
    auto code = [&] {
      auto locked = fx.state->lock();
      return new_pairing_code(locked);
    }();
    EXPECT_TRUE(code.ok());
    const HttpResponse res = from_page("POST", "/v1/pair", "{\"code\":\"" + *code + "\"}");
    EXPECT_EQ(res.status, 200u) << res.body;
    const std::string marker = "\"token\":\"";
    return res.body.substr(res.body.find(marker) + marker.size(), 64);
  }

  // The signature headers of a request over `body`, signed now.
  HeaderList signed_headers(const std::string& token, const std::string& body,
                            const std::string& nonce) {
    return testing::signed_headers(from_hex(token).value_or(std::vector<std::uint8_t>(32)), body, nonce,
                                   fx.clock.now_secs());
  }

  StateFixture fx;
  FakePrintPlatform printing;
  // What outlives one request: the job ids, and the journal's lines.
  std::shared_ptr<JobLedger> jobs = std::make_shared<JobLedger>();
  struct RecordingJournal final : Journal {
    void record(std::string line) override { lines.push_back(std::move(line)); }
    std::vector<std::string> lines;
  } journal;
  std::shared_ptr<ServerEvents> events = std::make_shared<ServerEvents>(&journal, fx.clock);
};

TEST_F(Api, HostGateRefusesEverythingButLoopbackWithThePort) {
  const char* refused[] = {"127.0.0.1", "localhost", "LOCALHOST:47631", "127.0.0.1:47632",
                           "[::1]:47631", "127.0.0.1:47631 ", "", "127.0.0.1:476311",
                           "127.0.0.1;47631", "localhos:47631", "xlocalhost:47631", "127.0.0.1:7631"};
  for (const char* host : refused) {
    for (const char* method : {"GET", "OPTIONS", "POST"}) {
      const HttpResponse res = send(method, "/v1/ping", {{"Host", host}, {"Origin", ORIGIN}});
      EXPECT_EQ(res.status, 403u) << host;
      EXPECT_EQ(res.body, "{\"code\":\"host_not_allowed\",\"error\":\"host no permitido\"}");
      EXPECT_EQ(res.headers, JSON_HEADERS) << "no CORS headers on a refused host";
    }
  }
  EXPECT_EQ(send("GET", "/v1/ping", {}).status, 403u) << "no Host header at all";
  for (const char* host : {"127.0.0.1:47631", "localhost:47631"}) {
    EXPECT_EQ(send("GET", "/v1/ping", {{"Host", host}}).status, 200u) << host;
  }
  EXPECT_EQ(send("GET", "/v1/ping", {{"host", "127.0.0.1:47631"}, {"Host", "evil"}}).status, 200u)
      << "the first Host header counts, whatever its case";
}

TEST_F(Api, OriginRule) {
  const struct {
    const char* origin;
    bool allowed;
  } cases[] = {
      {"https://erp.zunel.example", true},
      {"https://app.erp.zunel.example", true},
      {"https://a.b.erp.zunel.example", true},
      {"https://.erp.zunel.example", false},
      {"https://a..erp.zunel.example", false},
      {"https://evil.example?.erp.zunel.example", false},
      {"https://evil.example#.erp.zunel.example", false},
      {"https://evil.example\\.erp.zunel.example", false},
      {"https://evil example.erp.zunel.example", false},
      {"https://caf\xc3\xa9.erp.zunel.example", false},
      {"https://x-1.erp.zunel.example", true},
      {"http://app.erp.zunel.example", false},
      {"https://app.erp.zunel.example:443", false},
      {"https://evilerp.zunel.example", false},
      {"https://erp.zunel.example.evil.com", false},
      {"https://user@app.erp.zunel.example", false},
      {"https://user:pw@erp.zunel.example", false},
      {"https://app.erp.zunel.example/", false},
      {"https://x/app.erp.zunel.example", false},
      {"HTTPS://app.erp.zunel.example", false},
      {"https://APP.erp.zunel.example", true},  // the subdomain part is not checked for case
      {"https://app.ERP.zunel.example", false},
      {"null", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(origin_allowed(c.origin, DOMAIN), c.allowed) << c.origin;
}

TEST_F(Api, PreflightFromAnAllowedOriginOnAnyPath) {
  for (const char* path : {"/v1/print", "/nowhere", "/v1/ping?x=1"}) {
    const HttpResponse res = from_page("OPTIONS", path);
    EXPECT_EQ(res.status, 204u);
    EXPECT_EQ(res.body, "");
    EXPECT_EQ(res.headers,
              (HeaderList{{"Access-Control-Allow-Origin", ORIGIN},
                          {"Vary", "Origin"},
                          {"Access-Control-Allow-Methods", "GET, POST, OPTIONS"},
                          {"Access-Control-Allow-Headers",
                           "Authorization, Content-Type, X-Zunel-Timestamp, X-Zunel-Nonce, "
                           "X-Zunel-Sign"},
                          {"Access-Control-Allow-Credentials", "false"},
                          {"Access-Control-Max-Age", "600"}}));
  }
  for (HeaderList headers : {HeaderList{{"Host", HOST}, {"Origin", "http://erp.zunel.example"}},
                             HeaderList{{"Host", HOST}}}) {
    const HttpResponse res = send("OPTIONS", "/v1/print", headers);
    EXPECT_EQ(res.status, 403u);
    EXPECT_EQ(res.body, "{\"code\":\"origin_not_allowed\",\"error\":\"origen no permitido\"}");
    EXPECT_EQ(res.headers, JSON_HEADERS);
  }
}

TEST_F(Api, UnknownMethodsAndPathsAre404WithCorsWhenAllowed) {
  const struct {
    const char* method;
    const char* target;
  } cases[] = {{"POST", "/v1/ping"}, {"GET", "/v1/pair"}, {"HEAD", "/v1/ping"},
               {"PUT", "/v1/print"}, {"GET", "/v1/ping/"}, {"GET", "/V1/PING"},
               {"DELETE", "/v1/printers"}, {"GET", "/"}};
  for (const auto& c : cases) {
    const HttpResponse res = from_page(c.method, c.target);
    EXPECT_EQ(res.status, 404u) << c.method << " " << c.target;
    EXPECT_EQ(res.body, "{\"code\":\"not_found\",\"error\":\"no encontrado\"}");
    EXPECT_EQ(res.headers, json_headers_with_cors(ORIGIN));
  }
  const HttpResponse bare = send("GET", "/nowhere", {{"Host", HOST}});
  EXPECT_EQ(bare.status, 404u);
  EXPECT_EQ(bare.headers, JSON_HEADERS);
}

TEST_F(Api, PingTellsWhetherThisOriginHasAPairedDevice) {
  const std::string id = fx.state->settings().id;
  const std::string unpaired = "{\"ok\":true,\"id\":\"" + id +
                               "\",\"version\":\"1.0.1\",\"paired\":false,\"platform\":\"windows\","
                               "\"capabilities\":[\"print\",\"printers\",\"provision\",\"revocations\",\"status\",\"jobs\",\"confirm\",\"base64\"],"
                               "\"build\":\"" + std::string(agent_build()) + "\"}";
  HttpResponse res = send("GET", "/v1/ping?x=1", {{"Host", HOST}});
  EXPECT_EQ(res.status, 200u);
  EXPECT_EQ(res.body, unpaired);
  EXPECT_EQ(res.headers, JSON_HEADERS) << "no Origin: no CORS headers";

  pair_device();
  std::string paired = unpaired;
  paired.replace(paired.find("false"), 5, "true");
  res = from_page("GET", "/v1/ping");
  EXPECT_EQ(res.body, paired);
  EXPECT_EQ(res.headers, json_headers_with_cors(ORIGIN));

  res = send("GET", "/v1/ping", {{"Host", HOST}, {"Origin", "https://other.erp.zunel.example"}});
  EXPECT_EQ(res.body, unpaired) << "another allowed origin has no device";
  res = send("GET", "/v1/ping", {{"Host", HOST}, {"Origin", "https://evil.example"}});
  EXPECT_EQ(res.body, unpaired);
  EXPECT_EQ(res.headers, JSON_HEADERS) << "a refused origin gets no CORS headers";
}

TEST_F(Api, PingAnswersWhileTheStateIsLocked) {
  // "paired" is read from what the store last published, never under the
  // lock, which a store change holds; the id, the version and the port are
  // settings.
  pair_device();
  std::future<HttpResponse> answer;
  {
    auto locked = fx.state->lock();
    answer = std::async(std::launch::async, [&] { return from_page("GET", "/v1/ping"); });
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  }
  const HttpResponse res = answer.get();
  EXPECT_EQ(res.status, 200u);
  EXPECT_NE(res.body.find("\"paired\":true"), std::string::npos) << res.body;
}

TEST_F(Api, PairingByCode) {
  auto code = [&] {
    auto locked = fx.state->lock();
    return new_pairing_code(locked);
  }();
  ASSERT_TRUE(code.ok());
  const std::string wrong = *code == "000000" ? "000001" : "000000";
  HttpResponse res = from_page("POST", "/v1/pair", "{\"code\":\"" + wrong + "\"}");
  EXPECT_EQ(res.status, 401u);
  EXPECT_EQ(res.body, "{\"code\":\"code_invalid\",\"error\":\"código inválido o expirado\"}");
  EXPECT_EQ(res.headers, json_headers_with_cors(ORIGIN));

  res = from_page("POST", "/v1/pair", "{\"code\":\"" + *code + "\",\"label\":null,\"x\":[1]}");
  ASSERT_EQ(res.status, 200u) << "a wrong code first does not use up the right one";
  const auto info = [&] {
    auto locked = fx.state->lock();
    return snapshot(locked);
  }();
  ASSERT_EQ(info.devices.size(), 1u);
  const std::string token = res.body.substr(10, 64);
  EXPECT_TRUE(from_hex(token).has_value());
  EXPECT_EQ(res.body, "{\"token\":\"" + token + "\",\"device_id\":\"" + info.devices[0].id +
                          "\",\"agent_id\":\"" + info.id + "\"}");
  EXPECT_EQ(info.devices[0].origin, ORIGIN);
  EXPECT_EQ(info.devices[0].label, "Dispositivo") << "null label is no label";

  res = from_page("POST", "/v1/pair", "{\"code\":\"" + *code + "\"}");
  EXPECT_EQ(res.status, 401u) << "a code pairs once";
}

TEST_F(Api, ACodeSpentByWrongAttemptsIsToldApartWithTheSameText) {
  auto code = [&] {
    auto locked = fx.state->lock();
    return new_pairing_code(locked);
  }();
  ASSERT_TRUE(code.ok());
  const std::string wrong = *code == "000000" ? "000001" : "000000";
  for (unsigned i = 1; i < PAIRING_CODE_MAX_FAILURES; ++i) {
    EXPECT_EQ(from_page("POST", "/v1/pair", "{\"code\":\"" + wrong + "\"}").body,
              "{\"code\":\"code_invalid\",\"error\":\"código inválido o expirado\"}");
  }
  const std::string spent = "{\"code\":\"code_attempts_exceeded\",\"error\":\"código inválido o expirado\"}";
  EXPECT_EQ(from_page("POST", "/v1/pair", "{\"code\":\"" + wrong + "\"}").body, spent);
  EXPECT_EQ(from_page("POST", "/v1/pair", "{\"code\":\"" + *code + "\"}").body, spent) << "even the right one";
  auto fresh = [&] {
    auto locked = fx.state->lock();
    return new_pairing_code(locked);
  }();
  ASSERT_TRUE(fresh.ok());
  const std::string other = *fresh == "000000" ? "000001" : "000000";
  EXPECT_EQ(from_page("POST", "/v1/pair", "{\"code\":\"" + other + "\"}").body.find("code_invalid"), 9u)
      << "a new code starts afresh";
}

TEST_F(Api, BodyChecksComeInOrder) {
  // Not valid UTF-8: refused before the signature is looked at.
  for (const char* path : {"/v1/pair", "/v1/print", "/v1/provision", "/v1/revocations"}) {
    HttpResponse res = from_page("POST", path, "{\"code\":\"\xff\"}");
    EXPECT_EQ(res.status, 400u) << path;
    EXPECT_EQ(res.body, "{\"code\":\"unreadable_body\",\"error\":\"cuerpo ilegible\"}");
    EXPECT_EQ(res.headers, json_headers_with_cors(ORIGIN));
    res = send("POST", path, {{"Host", HOST}, {"Origin", ORIGIN}}, "", BodyState::Unreadable);
    EXPECT_EQ(res.status, 400u);
    res = send("POST", path, {{"Host", HOST}, {"Origin", ORIGIN}}, "", BodyState::TooLarge);
    EXPECT_EQ(res.status, 413u);
    EXPECT_EQ(res.body, "{\"code\":\"body_too_large\",\"error\":\"cuerpo demasiado grande\"}");
    // The origin gate comes first.
    res = send("POST", path, {{"Host", HOST}}, "\xff");
    EXPECT_EQ(res.status, 403u);
    EXPECT_EQ(res.body, "{\"code\":\"origin_not_allowed\",\"error\":\"origen no permitido\"}");
  }
}

// Sends `raw` on a new loopback connection in writes of `piece` bytes and
// reads the answer.
boost::beast::http::response<boost::beast::http::string_body> exchange(std::uint16_t port,
                                                                      const std::string& raw,
                                                                      std::size_t piece) {
  namespace net = boost::asio;
  net::io_context io;
  net::ip::tcp::socket socket(io);
  socket.connect(net::ip::tcp::endpoint(net::ip::address_v4::loopback(), port));
  socket.set_option(net::ip::tcp::no_delay(true));
  for (std::size_t at = 0; at < raw.size(); at += piece) {
    net::write(socket, net::buffer(raw.data() + at, std::min(piece, raw.size() - at)));
  }
  boost::beast::flat_buffer buffer;
  boost::beast::http::response<boost::beast::http::string_body> res;
  boost::beast::http::read(socket, buffer, res);
  return res;
}

TEST_F(Api, AdmissionGivesTheGateAnswersFromTheHeaderAndEachRoutesBodyBound) {
  auto bound = bind_and_reload({});
  ASSERT_TRUE(bound);
  HttpServer& server = *bound;
  const std::uint16_t port = server.port();
  const std::string host = "127.0.0.1:" + std::to_string(port);
  ApiContext served{*fx.state, printing.platform, DOMAIN};
  std::thread serving([&] {
    server.serve([&](const HttpRequest& head) { return admit_request(head, served); });
  });

  const std::optional<std::size_t> refused;  // answered from the header
  const struct {
    const char* method;
    const char* target;
    HeaderList headers;
    std::optional<std::size_t> bound;
  } cases[] = {
      {"POST", "/v1/pair", {{"Origin", ORIGIN}}, refused},  // no Host
      {"POST", "/v1/pair", {{"Host", "127.0.0.1:1"}, {"Origin", ORIGIN}}, refused},  // another port
      {"OPTIONS", "/v1/print", {{"Host", host}, {"Origin", ORIGIN}}, refused},  // preflight
      {"OPTIONS", "/v1/print", {{"Host", host}}, refused},
      {"POST", "/nowhere", {{"Host", host}}, refused},
      {"POST", "/v1/print", {{"Host", host}, {"Origin", "https://evil.example"}}, refused},
      {"GET", "/v1/ping", {{"Host", host}}, 0},
      {"GET", "/v1/printers", {{"Host", host}, {"Origin", ORIGIN}}, 0},
      {"POST", "/v1/pair", {{"Host", host}, {"Origin", ORIGIN}}, 16384},
      {"POST", "/v1/provision?x", {{"Host", host}, {"Origin", ORIGIN}}, 16384},
      {"POST", "/v1/revocations", {{"Host", host}, {"Origin", ORIGIN}}, 1u << 20},
      {"POST", "/v1/print", {{"Host", host}, {"Origin", ORIGIN}}, 64u << 20},
      {"POST", "/v1/printers/status", {{"Host", host}, {"Origin", ORIGIN}}, 16384},
  };
  for (const auto& c : cases) {
    const HttpRequest head{c.method, c.target, c.headers, "", BodyState::Complete, nullptr};
    ApiContext ctx{*fx.state, printing.platform, DOMAIN};
    const Admission admission = admit_request(head, ctx);
    const std::string what = std::string(c.method) + " " + c.target;
    if (c.bound) {
      EXPECT_FALSE(admission.answer) << what;
      EXPECT_EQ(admission.max_body_bytes, *c.bound) << what;
      const std::optional<std::string> cors =
          find_header(c.headers, "origin") ? std::optional(ORIGIN) : std::nullopt;
      EXPECT_EQ(admission.cors_origin, cors) << what;
      continue;
    }
    EXPECT_TRUE(admission.answer) << what;
    if (!admission.answer) continue;
    // The answer a real server gives the whole request, its body included,
    // besides the length and the close of the connection.
    std::string raw = std::string(c.method) + " " + c.target + " HTTP/1.1\r\n";
    for (const auto& [name, value] : c.headers) raw += name + ": " + value + "\r\n";
    raw += "Content-Length: 2\r\n\r\n{}";
    const auto wire = exchange(port, raw, raw.size());
    HeaderList headers;
    for (const auto& field : wire) {
      if (field.name() == boost::beast::http::field::content_length) continue;
      if (field.name() == boost::beast::http::field::connection) continue;
      headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    EXPECT_EQ(admission.answer->status, static_cast<unsigned>(wire.result_int())) << what;
    EXPECT_EQ(admission.answer->headers, headers) << what;
    EXPECT_EQ(admission.answer->body, wire.body()) << what;
  }
  server.shut_down(std::chrono::seconds(10));  // returns once every job's lines are written
  serving.join();
}

TEST_F(Api, BodiesThatDoNotDecodeAre400) {
  const char* bodies[] = {
      "{\"code\":123456}", "{\"code\":\"1\"} {}", "[\"123456\"]", "{\"label\":\"x\"}",
      "{\"code\":\"1\",\"code\":\"2\"}", "{\"code\":\"1\",\"label\":5}", "", "null",
  };
  for (const char* body : bodies) {
    const HttpResponse res = from_page("POST", "/v1/pair", body);
    EXPECT_EQ(res.status, 400u) << body;
    EXPECT_EQ(res.body, "{\"code\":\"bad_json\",\"error\":\"json inválido\"}");
  }
  EXPECT_EQ(from_page("POST", "/v1/provision", "{\"ticket\":1}").status, 400u);
  EXPECT_EQ(from_page("POST", "/v1/revocations", "{}").status, 400u);
  EXPECT_EQ(from_page("POST", "/v1/revocations", "{\"list\":\"a.b.c\"}").status, 401u);
  EXPECT_EQ(from_page("POST", "/v1/provision", "{\"ticket\":\"a.b.c\"}").body,
            "{\"code\":\"ticket_invalid\",\"error\":\"ticket inválido\"}");
}

TEST_F(Api, PrintersNeedOriginAndSignature) {
  const std::string token = pair_device();
  printing.printers.answer = std::vector<PrinterInfo>{PrinterInfo{0, 0, {}, "Caja 1", {}, true}};

  HttpResponse res = send("GET", "/v1/printers",
                          [&] {
                            HeaderList h{{"Host", HOST}};
                            for (auto& f : signed_headers(token, "", "n-1")) h.push_back(f);
                            return h;
                          }());
  EXPECT_EQ(res.status, 403u) << "a valid signature without Origin is still refused";

  res = from_page("GET", "/v1/printers");
  EXPECT_EQ(res.status, 401u);
  EXPECT_EQ(res.body, "{\"code\":\"unauthorized\",\"error\":\"no autorizado\",\"reason\":\"missing_headers\"}");
  EXPECT_EQ(res.headers, json_headers_with_cors(ORIGIN));

  res = from_page("GET", "/v1/printers", "", signed_headers(token, "", "n-2"));
  EXPECT_EQ(res.status, 200u);
  EXPECT_EQ(res.body,
            "{\"printers\":[{\"manufacturer\":null,\"offline\":true,\"product\":\"Caja 1\","
            "\"product_id\":0,\"serial\":null,\"vendor_id\":0}]}");

  printing.printers.answer = std::vector<PrinterInfo>{};
  res = from_page("GET", "/v1/printers", "", signed_headers(token, "", "n-3"));
  EXPECT_EQ(res.status, 200u);
  EXPECT_EQ(res.body, R"({"printers":[]})");

  printing.printers.answer = fail("EnumPrinters falló (Win32 err 1722)");
  res = from_page("GET", "/v1/printers", "", signed_headers(token, "", "n-4"));
  EXPECT_EQ(res.status, 500u);
  EXPECT_EQ(res.body, "{\"code\":\"spooler_error\",\"error\":\"EnumPrinters falló (Win32 err 1722)\"}");
}

TEST_F(Api, PrintSendsTheBytesAndReportsTheChannelError) {
  const std::string token = pair_device();
  const std::string body =
      "{\"target\":{\"kind\":\"network\",\"host\":\"10.0.0.9\",\"port\":9100},\"bytes\":[27,64,10]}";
  HttpResponse res = from_page("POST", "/v1/print", body, signed_headers(token, body, "p-1"));
  EXPECT_EQ(res.status, 200u) << res.body;
  EXPECT_EQ(res.body, "{\"ok\":true}");
  EXPECT_EQ(printing.network.sent, (std::vector<std::string>{"10.0.0.9:9100:\x1b@\n"}));

  res = from_page("POST", "/v1/print", body, signed_headers(token, body, "p-1"));
  EXPECT_EQ(res.status, 401u) << "the nonce was used";

  printing.network.refusing["10.0.0.9:9100"] = "Connection refused (os error 111)";
  res = from_page("POST", "/v1/print", body, signed_headers(token, body, "p-2"));
  EXPECT_EQ(res.status, 502u);
  EXPECT_EQ(res.body, "{\"code\":\"printer_unreachable\",\"error\":\"Connection refused (os error 111)\"}");

  const std::string bad = "{\"target\":{\"kind\":\"network\",\"host\":\"h\",\"port\":1},\"bytes\":[256]}";
  res = from_page("POST", "/v1/print", bad, signed_headers(token, bad, "p-3"));
  EXPECT_EQ(res.status, 400u) << "decoded after the signature was checked";
  EXPECT_EQ(res.body, "{\"code\":\"bad_json\",\"error\":\"json inválido\"}");
  res = from_page("POST", "/v1/print", bad, signed_headers(token, body, "p-4"));
  EXPECT_EQ(res.status, 401u) << "signed over another body";

  const std::string usb = "{\"target\":{\"kind\":\"usb\",\"vendor_id\":1,\"product_id\":2},\"bytes\":[]}";
  res = from_page("POST", "/v1/print", usb, signed_headers(token, usb, "p-5"));
  EXPECT_EQ(res.status, 502u);
  EXPECT_NE(res.body.find("WinSpool"), std::string::npos);

  // A serial target that is no serial port is refused before anything is opened.
  const std::string terminal = "{\"target\":{\"kind\":\"serial\",\"port\":\"/dev/pts/3\",\"baud\":9600},\"bytes\":[10]}";
  res = from_page("POST", "/v1/print", terminal, signed_headers(token, terminal, "p-5b"));
  EXPECT_EQ(res.status, 400u);
  EXPECT_EQ(res.body, "{\"code\":\"bad_request\",\"error\":\"puerto serie no válido\"}");
  EXPECT_TRUE(printing.serial_ports.log.empty());

  // A confirmation that does not read is refused with its own text, and nothing is sent.
  printing.network.refusing.clear();
  printing.network.sent.clear();
  const std::string unconfirmable =
      "{\"target\":{\"kind\":\"network\",\"host\":\"10.0.0.9\",\"port\":9100},\"bytes\":[10],"
      "\"confirm\":{\"timeout_ms\":1000}}";
  res = from_page("POST", "/v1/print", unconfirmable, signed_headers(token, unconfirmable, "p-6"));
  EXPECT_EQ(res.status, 400u);
  EXPECT_EQ(res.body, error_body(ErrorCode::BadRequest, CONFIRM_PROTOCOL_MISSING));
  EXPECT_TRUE(printing.network.sent.empty());
  // A spooler job asked to be confirmed: its state, and 200 with it.
  printing.spooler.failing.clear();
  printing.spooler.job_reports = {CupsJobReport{9}};
  const std::string spooled =
      "{\"target\":[\"winspool\",\"Caja\"],\"bytes\":[10],\"confirm\":{\"timeout_ms\":1000}}";
  res = from_page("POST", "/v1/print", spooled, signed_headers(token, spooled, "p-7"));
  EXPECT_EQ(res.status, 200u) << res.body;
  EXPECT_EQ(res.body, "{\"ok\":true,\"confirmed\":\"transmitted\"}");
}

TEST_F(Api, AJobIdIsPrintedOnceAndCanBeAskedAfter) {
  const std::string token = pair_device();
  const std::string target = R"("target":{"kind":"network","host":"10.0.0.9","port":9100})";
  const std::string body = "{" + target + R"(,"bytes":[65],"job_id":"T-1"})";
  int nonce = 0;
  const auto post = [&](const std::string& text) {
    return from_page("POST", "/v1/print", text, signed_headers(token, text, "n" + std::to_string(++nonce)));
  };
  const auto get = [&](const std::string& path) {
    return from_page("GET", path, "", signed_headers(token, "", "n" + std::to_string(++nonce)));
  };

  EXPECT_EQ(get("/v1/jobs/T-1").status, 404u);
  HttpResponse res = post(body);
  EXPECT_EQ(res.status, 200u) << res.body;
  EXPECT_EQ(res.body, R"({"ok":true})");
  res = post(body);
  EXPECT_EQ(res.status, 200u);
  EXPECT_EQ(res.body, R"({"ok":true,"repeated":true})");
  EXPECT_EQ(printing.network.sent, (std::vector<std::string>{"10.0.0.9:9100:A"})) << "printed once";

  res = get("/v1/jobs/T-1");
  EXPECT_EQ(res.status, 200u);
  const std::string now = iso_utc(fx.clock.now_secs());
  EXPECT_EQ(res.body, R"({"job_id":"T-1","state":"done","accepted":")" + now + R"(","ended":")" + now +
                          R"(","answer":{"status":200,"body":{"ok":true}}})");
  EXPECT_EQ(get("/v1/jobs/T-2").status, 404u);
  EXPECT_EQ(get("/v1/jobs/T%2D1").body, res.body) << "the segment is percent-decoded";
  EXPECT_EQ(get("/v1/jobs/T%2").status, 404u);
  EXPECT_EQ(get("/v1/jobs/T%2F1").status, 404u);

  // The same id for other bytes, or a bad id: refused, nothing printed.
  res = post("{" + target + R"(,"bytes":[66],"job_id":"T-1"})");
  EXPECT_EQ(res.status, 409u);
  EXPECT_EQ(res.body, R"({"code":"job_id_conflict","error":"job_id ya usado para otro trabajo"})");
  res = post("{" + target + R"(,"bytes":[66],"job_id":"T 1"})");
  EXPECT_EQ(res.status, 400u);
  EXPECT_EQ(res.body, error_body(ErrorCode::BadRequest, JOB_ID_INVALID));
  EXPECT_EQ(printing.network.sent.size(), 1u);

  // A job that had started when the agent stopped is never printed again.
  JobRecord cut;
  cut.fingerprint = job_fingerprint(R"({"kind":"network","host":"10.0.0.9","port":9100})", sha256("C"));
  cut.state = JobState::Interrupted;
  const std::string device = fx.state->lock()->devices.front().id;
  jobs->restore(device, "T-3", cut);
  res = post("{" + target + R"(,"bytes":[67],"job_id":"T-3"})");
  EXPECT_EQ(res.status, 409u);
  EXPECT_NE(res.body.find(R"("state":"interrupted")"), std::string::npos);
  EXPECT_EQ(printing.network.sent.size(), 1u);

  // Another device has jobs of its own.
  const std::string other = pair_device();
  res = from_page("GET", "/v1/jobs/T-1", "", signed_headers(other, "", "o-1"));
  EXPECT_EQ(res.status, 404u);
  EXPECT_EQ(res.body, R"({"code":"job_unknown","error":"trabajo desconocido"})");

  // The journal has each print and its repeat, never the bytes or the token.
  std::string all;
  for (const std::string& line : journal.lines) all += line + "\n";
  EXPECT_NE(all.find(R"("event":"print_start")"), std::string::npos);
  EXPECT_NE(all.find(R"("event":"print_repeat")"), std::string::npos);
  EXPECT_NE(all.find(R"("sha256":")" + to_hex(sha256("A")) + "\""), std::string::npos);
  EXPECT_EQ(all.find(token), std::string::npos);
}

TEST_F(Api, PrintBodiesArrivingInPiecesThroughTheServerAreJudgedAsWhole) {
  const std::string token = pair_device();
  auto bound = bind_and_reload({});
  ASSERT_TRUE(bound);
  HttpServer& server = *bound;
  const std::uint16_t port = server.port();
  ApiContext ctx{*fx.state, printing.platform, DOMAIN};
  std::thread serving([&] {
    server.serve([&](const HttpRequest& head) { return admit_request(head, ctx); });
  });

  const std::string job =
      "{\"bytes\":[27,64,10,0,255],\"target\":{\"kind\":\"network\",\"host\":\"10.0.0.9\","
      "\"port\":9100}}";
  const std::string broken =
      "{\"target\":{\"kind\":\"network\",\"host\":\"h\",\"port\":1},\"bytes\":[1,2";
  const std::string not_utf8 = "{\"bytes\":[1],\"target\":\"\xff\"}";
  const std::string empty;
  // The bytes come one way: both, or neither, and nothing prints.
  const std::string both = "{\"target\":[\"winspool\",\"P\"],\"bytes\":[65],\"bytes_base64\":\"QQ==\"}";
  const std::string neither = "{\"target\":[\"winspool\",\"P\"],\"bites\":[65]}";
  const std::string one_way =
      "{\"code\":\"bad_request\",\"error\":\"el trabajo lleva sus bytes en \\\"bytes\\\" o en "
      "\\\"bytes_base64\\\", uno solo de los dos\"}";
  const struct {
    const std::string& body;
    const std::string& signed_over;
    bool chunked;
    std::size_t piece;
    unsigned status;
    std::string answer;
  } rows[] = {
      {job, job, false, 1 << 20, 200, "{\"ok\":true}"},
      {job, job, false, 1, 200, "{\"ok\":true}"},
      {job, job, true, 7, 200, "{\"ok\":true}"},
      {broken, job, false, 1, 401, "{\"code\":\"unauthorized\",\"error\":\"no autorizado\",\"reason\":\"bad_signature\"}"},
      {broken, job, true, 7, 401, "{\"code\":\"unauthorized\",\"error\":\"no autorizado\",\"reason\":\"bad_signature\"}"},
      {broken, broken, true, 7, 400, "{\"code\":\"bad_json\",\"error\":\"json inválido\"}"},
      {not_utf8, job, false, 1, 400, "{\"code\":\"unreadable_body\",\"error\":\"cuerpo ilegible\"}"},
      {not_utf8, job, true, 7, 400, "{\"code\":\"unreadable_body\",\"error\":\"cuerpo ilegible\"}"},
      {empty, empty, false, 1, 400, "{\"code\":\"bad_json\",\"error\":\"json inválido\"}"},
      {both, both, true, 7, 400, one_way},
      {neither, neither, false, 1, 400, one_way},
  };
  int nonce = 0;
  for (const auto& row : rows) {
    std::string raw = "POST /v1/print HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                      "\r\nOrigin: " + ORIGIN + "\r\nConnection: close\r\n";
    for (const auto& [name, value] :
         signed_headers(token, row.signed_over, "n-" + std::to_string(++nonce))) {
      raw += name + ": " + value + "\r\n";
    }
    if (row.chunked) {
      raw += "Transfer-Encoding: chunked\r\n\r\n";
      for (std::size_t at = 0; at < row.body.size(); at += 7) {
        const std::string chunk = row.body.substr(at, 7);
        char size[8];
        std::snprintf(size, sizeof size, "%zx", chunk.size());
        raw += std::string(size) + "\r\n" + chunk + "\r\n";
      }
      raw += "0\r\n\r\n";
    } else {
      raw += "Content-Length: " + std::to_string(row.body.size()) + "\r\n\r\n" + row.body;
    }
    const auto res = exchange(port, raw, row.piece);
    const std::string what = "row " + std::to_string(nonce);
    EXPECT_EQ(res.result_int(), row.status) << what;
    EXPECT_EQ(res.body(), row.answer) << what;
  }
  server.shut_down(std::chrono::seconds(10));  // returns once every job's lines are written
  serving.join();
  const std::string printed = std::string("10.0.0.9:9100:\x1b@\n") + '\0' + '\xff';
  EXPECT_EQ(printing.network.sent, (std::vector<std::string>(3, printed)));
}

// A printer the test holds busy: each connection attempt waits while it is closed.
class PrinterGate {
 public:
  void close() { set(false); }
  void open() { set(true); }
  void pass() {
    std::unique_lock lock(mutex_);
    ++arrived_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  void await_arrivals(int n) {
    std::unique_lock lock(mutex_);
    ASSERT_TRUE(changed_.wait_for(lock, std::chrono::seconds(10), [&] { return arrived_ >= n; }));
  }

 private:
  void set(bool open) {
    std::lock_guard lock(mutex_);
    open_ = open;
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = true;
  int arrived_ = 0;
};

TEST_F(Api, AJobIsJudgedWhenItArrivesAndWaitsNoLongerThanTheStartDeadline) {
  const std::string token = pair_device();
  ServerLimits limits;
  limits.lane_start_deadline = std::chrono::milliseconds(1500);
  auto bound = bind_and_reload(limits);
  ASSERT_TRUE(bound);
  HttpServer& server = *bound;
  const std::uint16_t port = server.port();
  PrinterGate gate;
  printing.network.on_connect = [&] { gate.pass(); };
  ApiContext ctx{*fx.state, printing.platform, DOMAIN};
  std::thread serving([&] { server.serve([&](const HttpRequest& head) { return admit_request(head, ctx); }); });

  int nonce = 0;
  const auto print_async = [&](int byte) {
    const std::string body = "{\"target\":{\"kind\":\"network\",\"host\":\"10.0.0.9\",\"port\":9100},"
                             "\"bytes\":[" + std::to_string(byte) + "]}";
    std::string raw = "POST /v1/print HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                      "\r\nOrigin: " + ORIGIN + "\r\nConnection: close\r\n";
    for (const auto& [name, value] : signed_headers(token, body, "w-" + std::to_string(++nonce))) {
      raw += name + ": " + value + "\r\n";
    }
    raw += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return std::async(std::launch::async, [port, raw] { return exchange(port, raw, raw.size()); });
  };

  gate.close();
  auto first = print_async(1);
  gate.await_arrivals(1);
  auto second = print_async(2);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // for it to be judged and wait
  {
    // Its timestamp is 40 s old by the time its printer is free: it was
    // judged when it arrived, so it prints all the same.
    auto locked = fx.state->lock();
    fx.clock.advance(40);
  }
  gate.open();
  EXPECT_EQ(first.get().result_int(), 200);
  EXPECT_EQ(second.get().result_int(), 200);

  gate.close();
  auto third = print_async(3);
  gate.await_arrivals(3);
  auto fourth = print_async(4);
  const auto late = fourth.get();  // answered when its start deadline passes
  EXPECT_EQ(late.result_int(), 503);
  EXPECT_EQ(late.body(), "{\"code\":\"printer_busy\",\"error\":\"impresora ocupada\"}");
  EXPECT_NE(late["Retry-After"], "");
  EXPECT_EQ(late["Access-Control-Allow-Origin"], ORIGIN);
  EXPECT_EQ(late["Access-Control-Expose-Headers"], "Retry-After") << "for the page to read it";
  gate.open();
  EXPECT_EQ(third.get().result_int(), 200);
  server.shut_down(std::chrono::seconds(10));  // returns once every job's lines are written
  serving.join();
  EXPECT_EQ(printing.network.sent,
            (std::vector<std::string>{"10.0.0.9:9100:\x01", "10.0.0.9:9100:\x02", "10.0.0.9:9100:\x03"}))
      << "the late job never printed";
}

// A provisioning ticket for negocio n1, and a revocation list of all its devices.
std::string ticket_for_n1(std::uint64_t now, const std::string& jti) {
  return testing::sign_jws(
      "{\"alg\":\"EdDSA\",\"kid\":\"7e57c0de\"}",
      "{\"iss\":\"zunel-erp\",\"aud\":\"zunel-print-agent\",\"scope\":[\"print\"],\"sub\":\"u1\","
      "\"negocio_id\":\"n1\",\"jti\":\"" + jti + "\",\"iat\":" + std::to_string(now) +
          ",\"exp\":" + std::to_string(now + 300) + "}");
}
std::string revoke_n1(std::uint64_t now) {
  return testing::sign_jws(
      "{\"alg\":\"EdDSA\",\"kid\":\"7e57c0de\"}",
      "{\"iss\":\"zunel-erp\",\"aud\":\"zunel-print-agent\",\"typ\":\"revocations\","
      "\"negocio_id\":\"n1\",\"seq\":7,\"iat\":" + std::to_string(now) +
          ",\"revocations\":[{\"tipo\":\"negocio\",\"revoke_before\":" + std::to_string(now + 1) + "}]}");
}

TEST_F(Api, AChangeOfTheStoreThatCannotBeSavedIsUndoneAndAnswered503) {
  const std::uint64_t now = fx.clock.now_secs();
  ASSERT_EQ(from_page("POST", "/v1/provision", "{\"ticket\":\"" + ticket_for_n1(now, "t-1") + "\"}").status, 200u);
  const auto store = fx.dir.path() / "pairings.json";
  std::filesystem::remove(store);
  std::filesystem::create_directory(store);  // every save of the store fails now
  const auto devices = [&] {
    auto locked = fx.state->lock();
    return snapshot(locked).devices.size();
  };
  using Answer = std::pair<unsigned, std::string>;
  const auto answered = [](const HttpResponse& r) { return Answer(r.status, r.body); };
  const std::string not_saved =
      "{\"code\":\"store_unavailable\",\"error\":\"no se pudo guardar el emparejamiento; no cambió nada\"}";

  auto code = [&] {
    auto locked = fx.state->lock();
    return new_pairing_code(locked);
  }();
  HttpResponse res = from_page("POST", "/v1/pair", "{\"code\":\"" + *code + "\"}");
  EXPECT_EQ(answered(res), Answer(503u, not_saved));
  res = from_page("POST", "/v1/provision", "{\"ticket\":\"" + ticket_for_n1(now, "t-2") + "\"}");
  EXPECT_EQ(answered(res), Answer(503u, not_saved));
  EXPECT_EQ(devices(), 1u) << "neither device was kept";
  res = from_page("POST", "/v1/revocations", "{\"list\":\"" + revoke_n1(now) + "\"}");
  EXPECT_EQ(answered(res),
            Answer(503u, std::string("{\"code\":\"store_unavailable\",\"error\":\"no se pudo guardar la lista de "
                               "revocaciones; no cambió nada\"}")));
  EXPECT_EQ(devices(), 1u) << "the revoked device is back";

  std::filesystem::remove(store);
  res = from_page("POST", "/v1/revocations", "{\"list\":\"" + revoke_n1(now) + "\"}");
  EXPECT_EQ(answered(res), Answer(200u, std::string("{\"applied_seq\":7,\"removed\":1}")))
      << "the list's sequence number was not taken";
  EXPECT_EQ(devices(), 0u);
}

TEST_F(Api, ProvisioningAndRevocation) {
  const std::uint64_t now = fx.clock.now_secs();
  const std::string ticket = ticket_for_n1(now, "t-1");
  HttpResponse res = from_page("POST", "/v1/provision", "{\"ticket\":\"" + ticket + "\",\"label\":\"Caja\"}");
  ASSERT_EQ(res.status, 200u) << res.body << fx.diagnostics.str();
  EXPECT_EQ(res.body.find("{\"token\":\""), 0u);

  res = from_page("POST", "/v1/provision", "{\"ticket\":\"" + ticket + "\"}");
  EXPECT_EQ(res.status, 401u) << "a ticket id is used once";
  EXPECT_EQ(res.body, "{\"code\":\"ticket_invalid\",\"error\":\"ticket inválido\"}");

  res = from_page("POST", "/v1/revocations", "{\"list\":\"" + revoke_n1(now) + "\"}");
  EXPECT_EQ(res.status, 200u) << res.body << fx.diagnostics.str();
  EXPECT_EQ(res.body, "{\"applied_seq\":7,\"removed\":1}");
  auto locked = fx.state->lock();
  EXPECT_TRUE(snapshot(locked).devices.empty());
}

}  // namespace
}  // namespace zunel
