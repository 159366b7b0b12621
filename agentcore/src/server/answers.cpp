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

std::string error_body(ErrorCode code, std::string_view text, std::string_view reason) {
  // Members in ascending byte order, as every generic object of the API.
  boost::json::object object;
  object["code"] = error_code_name(code);
  object["error"] = text;
  if (!reason.empty()) object["reason"] = reason;
  return boost::json::serialize(object);
}

HttpResponse error_answer(unsigned status, const std::optional<std::string>& cors_origin, ErrorCode code,
                          std::string_view text, std::string_view reason) {
  return json_response(status, cors_origin, error_body(code, text, reason));
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
  return with_retry_after(error_answer(503, cors_origin, ErrorCode::AgentBusy, "agente ocupado"), "1");
}

HttpResponse printer_busy_answer(const std::optional<std::string>& cors_origin) {
  // The printer held its lane for the whole deadline; a retry much sooner
  // would most likely meet it busy again.
  return with_retry_after(error_answer(503, cors_origin, ErrorCode::PrinterBusy, "impresora ocupada"),
                          "10");
}

HttpResponse agent_stopped_answer(const std::optional<std::string>& cors_origin) {
  return error_answer(503, cors_origin, ErrorCode::AgentStopped,
                      "el agente se detuvo antes de terminar el trabajo: revisá la impresora antes de "
                      "reimprimir");
}

HttpResponse out_of_memory_answer(const std::optional<std::string>& cors_origin) {
  return error_answer(500, cors_origin, ErrorCode::OutOfMemory, "memoria insuficiente");
}

HttpResponse malformed_request_answer() {
  return error_answer(400, std::nullopt, ErrorCode::MalformedRequest, "petición mal formada");
}

}  // namespace zunel
