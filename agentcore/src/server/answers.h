#pragma once
// The form of every answer the agent gives, the endpoints' and the server's
// own (busy, out of memory, malformed), in one place.

#include <optional>
#include <string>
#include <string_view>

#include "server/error_codes.h"
#include "server/http_message.h"

namespace zunel {

// A JSON answer: the body as given, then "Content-Type", "Cache-Control",
// "Access-Control-Allow-Credentials" and, with a CORS origin,
// "Access-Control-Allow-Origin" and "Vary", in this order.
HttpResponse json_response(unsigned status, const std::optional<std::string>& cors_origin,
                           std::string body);

// {"code":CODE,"error":TEXT} with TEXT escaped as a JSON string, and
// ,"reason":REASON after it when given: the body of every error answer.
std::string error_body(ErrorCode code, std::string_view text, std::string_view reason = {});

// An error answer: json_response() with error_body().
HttpResponse error_answer(unsigned status, const std::optional<std::string>& cors_origin, ErrorCode code,
                          std::string_view text, std::string_view reason = {});

// The 204 answer to a CORS preflight from an allowed origin.
HttpResponse preflight_response(const std::string& origin);

// Both 503 answers carry "Access-Control-Expose-Headers: Retry-After" so that
// a page can read when to retry.

// 503 {"code":"agent_busy","error":"agente ocupado"} with "Retry-After: 1": a budget of the
// agent (bodies in flight, busy lanes, waiting jobs) is spent.
HttpResponse agent_busy_answer(const std::optional<std::string>& cors_origin);

// 503 {"code":"printer_busy","error":"impresora ocupada"} with "Retry-After": a job that could not
// start within its deadline because its printer was busy; it was not printed.
HttpResponse printer_busy_answer(const std::optional<std::string>& cors_origin);

// 503 {"code":"agent_stopped","error":"el agente se detuvo antes de terminar el trabajo: …"}:
// the agent stopped while the request's work was still running (a job's
// bytes may be on paper already).
HttpResponse agent_stopped_answer(const std::optional<std::string>& cors_origin);

// 500 {"code":"out_of_memory","error":"memoria insuficiente"}: handling the request ran out of memory.
HttpResponse out_of_memory_answer(const std::optional<std::string>& cors_origin);

// 400 {"code":"malformed_request","error":"petición mal formada"}, without CORS: the request could not be parsed.
HttpResponse malformed_request_answer();

}  // namespace zunel
