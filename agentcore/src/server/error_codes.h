#pragma once
// The codes of the agent's error answers: a stable English name beside each
// Spanish text, for a program to read. Every error answer of the HTTP API
// goes through answers.h with one of these; the guide lists them all.

#include <array>
#include <cstddef>
#include <string_view>

namespace zunel {

enum class ErrorCode {
  MalformedRequest,      // 400 the request could not be parsed as HTTP
  BadJson,               // 400 the body is not what the route takes
  BadRequest,            // 400 a member of a valid body is out of its range (its text says which)
  UnreadableBody,        // 400 the body is not UTF-8 or could not be read
  BodyTooLarge,          // 413
  HostNotAllowed,        // 403
  OriginNotAllowed,      // 403
  NotFound,              // 404
  MethodNotAllowed,      // 405
  Unauthorized,          // 401 a signed request refused; "reason" says why when known
  CodeInvalid,           // 401 wrong or expired pairing code
  CodeAttemptsExceeded,  // 401 the pairing code was discarded after too many wrong attempts
  TicketInvalid,         // 401
  RevocationsInvalid,    // 401 the revocation list was refused
  AgentBusy,             // 503 one of the agent's budgets is spent
  PrinterBusy,           // 503 the job's printer stayed busy past its deadline
  PrinterUnreachable,    // 502 no connection to the printer
  PrinterTimeout,        // 502 the printer stopped taking bytes
  PrinterClosed,         // 502 the printer closed or broke the connection
  SerialOpenFailed,      // 502
  SpoolerError,          // 502 (500 for the printer list)
  UsbUnsupported,        // 502
  JobIdConflict,         // 409 a job id already used for other bytes
  JobInterrupted,        // the agent ended while the job was running
  JobUnknown,            // 404 no job with that id
  OutOfMemory,           // 500
  InternalError,         // 500 the agent could not finish (its files, the random source)
  StoreUnavailable,      // 503 a pairing or revocation list could not be saved: nothing changed
  JournalUnavailable,    // 503 a job with an id whose start could not be stored: not printed
  AgentStopped,          // 503 the agent stopped while the job was still running: it may have printed
  NoAgentForUser,        // 503 written by the router: the connection's user has no agent registered
};

// Every code, in the order above.
inline constexpr std::array ALL_ERROR_CODES{
    ErrorCode::MalformedRequest,   ErrorCode::BadJson,          ErrorCode::BadRequest,
    ErrorCode::UnreadableBody,     ErrorCode::BodyTooLarge,     ErrorCode::HostNotAllowed,
    ErrorCode::OriginNotAllowed,   ErrorCode::NotFound,         ErrorCode::MethodNotAllowed,
    ErrorCode::Unauthorized,       ErrorCode::CodeInvalid,      ErrorCode::CodeAttemptsExceeded,
    ErrorCode::TicketInvalid,      ErrorCode::RevocationsInvalid, ErrorCode::AgentBusy,
    ErrorCode::PrinterBusy,        ErrorCode::PrinterUnreachable, ErrorCode::PrinterTimeout,
    ErrorCode::PrinterClosed,      ErrorCode::SerialOpenFailed, ErrorCode::SpoolerError,
    ErrorCode::UsbUnsupported,     ErrorCode::JobIdConflict,    ErrorCode::JobInterrupted,
    ErrorCode::JobUnknown,         ErrorCode::OutOfMemory,      ErrorCode::InternalError,
    ErrorCode::StoreUnavailable,   ErrorCode::JournalUnavailable, ErrorCode::AgentStopped,
    ErrorCode::NoAgentForUser,
};

// The list holds every code once, in the enum's order.
static_assert([] {
  for (std::size_t i = 0; i < ALL_ERROR_CODES.size(); ++i) {
    if (static_cast<std::size_t>(ALL_ERROR_CODES[i]) != i) return false;
  }
  return ALL_ERROR_CODES.back() == ErrorCode::NoAgentForUser;
}());

// "bad_json", "printer_unreachable", ...: the "code" member of the answer.
std::string_view error_code_name(ErrorCode code);

}  // namespace zunel
