#include "server/wire_form.h"

#include <gtest/gtest.h>

#include <boost/beast/http.hpp>
#include <sstream>

#include "server/answers.h"

namespace zunel {
namespace {

namespace http = boost::beast::http;

// What Beast's own message writer gives for the answer, as the server wrote
// answers before.
std::string beast_form(const HttpResponse& answer, unsigned version, bool keep_alive, bool head) {
  http::response<http::string_body> res(static_cast<http::status>(answer.status), version);
  for (const auto& [name, value] : answer.headers) res.insert(name, value);
  if (answer.status == 204 || answer.status == 304 || answer.status < 200) {
  } else if (head) {
    res.content_length(answer.body.size());
  } else {
    res.body() = answer.body;
    res.prepare_payload();
  }
  res.keep_alive(keep_alive);
  std::ostringstream out;
  out << res;
  return out.str();
}

TEST(WireForm, GivesTheBytesBeastsWriterGivesForEveryKindOfAnswer) {
  const std::optional<std::string> cors = "https://app.erp.zunel.example";
  const HttpResponse answers[] = {
      json_response(200, std::nullopt, "{\"ok\":true}"),
      json_response(200, cors, ""),
      preflight_response(*cors),
      agent_busy_answer(cors),
      json_response(413, cors, "{\"error\":\"cuerpo demasiado grande\"}"),
      malformed_request_answer(),
      HttpResponse{100, {}, ""},
      HttpResponse{304, {{"X-Odd", "a%20b"}}, ""},
  };
  for (const HttpResponse& answer : answers) {
    for (unsigned version : {10u, 11u}) {
      for (bool keep_alive : {false, true}) {
        for (bool head : {false, true}) {
          EXPECT_EQ(wire_form(answer, version, keep_alive, head), beast_form(answer, version, keep_alive, head))
              << answer.status << " HTTP/" << version << " keep-alive " << keep_alive << " head " << head;
        }
      }
    }
  }
}

}  // namespace
}  // namespace zunel
