#include "server/answers.h"

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

namespace zunel {

HttpResponse json_response(unsigned status, const std::optional<std::string>& cors_origin,
                           std::string body) {
  HttpResponse res;
  res.status = status;
  res.headers = {
      {"Content-Type", "application/json; charset=utf-8"},
      {"Cache-Control", "no-store"},
      {"Access-Control-Allow-Credentials", "false"},
  };
  if (cors_origin) {
    res.headers.emplace_back("Access-Control-Allow-Origin", *cors_origin);
    res.headers.emplace_back("Vary", "Origin");
  }
  res.body = std::move(body);
  return res;
}

std::string error_body(std::string_view text) {
  boost::json::object object;
  object["error"] = text;
  return boost::json::serialize(object);
}

HttpResponse preflight_response(const std::string& origin) {
  HttpResponse res;
  res.status = 204;
  res.headers = {
      {"Access-Control-Allow-Origin", origin},
      {"Vary", "Origin"},
      {"Access-Control-Allow-Methods", "GET, POST, OPTIONS"},
      {"Access-Control-Allow-Headers",
       "Authorization, Content-Type, X-Zunel-Timestamp, X-Zunel-Nonce, X-Zunel-Sign"},
      {"Access-Control-Allow-Credentials", "false"},
      {"Access-Control-Max-Age", "600"},
  };
  return res;
}

namespace {

// "Retry-After", exposed to the page's script: without the expose header a
// browser hides it from fetch() even on an allowed origin.
HttpResponse with_retry_after(HttpResponse answer, std::string seconds) {
  answer.headers.emplace_back("Retry-After", std::move(seconds));
  answer.headers.emplace_back("Access-Control-Expose-Headers", "Retry-After");
  return answer;
}

}  // namespace

HttpResponse agent_busy_answer(const std::optional<std::string>& cors_origin) {
  return with_retry_after(json_response(503, cors_origin, "{\"error\":\"agente ocupado\"}"), "1");
}

HttpResponse printer_busy_answer(const std::optional<std::string>& cors_origin) {
  // The printer held its lane for the whole deadline; a retry much sooner
  // would most likely meet it busy again.
  return with_retry_after(json_response(503, cors_origin, "{\"error\":\"impresora ocupada\"}"),
                          "10");
}

HttpResponse out_of_memory_answer(const std::optional<std::string>& cors_origin) {
  return json_response(500, cors_origin, "{\"error\":\"memoria insuficiente\"}");
}

HttpResponse malformed_request_answer() {
  return json_response(400, std::nullopt, "{\"error\":\"petición mal formada\"}");
}

}  // namespace zunel
