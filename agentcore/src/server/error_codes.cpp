#include "server/error_codes.h"

namespace zunel {

std::string_view error_code_name(ErrorCode code) {
  // One case per code and no default: a new code does not compile quietly
  // without its name.
  switch (code) {
    case ErrorCode::MalformedRequest: return "malformed_request";
    case ErrorCode::BadJson: return "bad_json";
    case ErrorCode::BadRequest: return "bad_request";
    case ErrorCode::UnreadableBody: return "unreadable_body";
    case ErrorCode::BodyTooLarge: return "body_too_large";
    case ErrorCode::HostNotAllowed: return "host_not_allowed";
    case ErrorCode::OriginNotAllowed: return "origin_not_allowed";
    case ErrorCode::NotFound: return "not_found";
    case ErrorCode::MethodNotAllowed: return "method_not_allowed";
    case ErrorCode::Unauthorized: return "unauthorized";
    case ErrorCode::CodeInvalid: return "code_invalid";
    case ErrorCode::CodeAttemptsExceeded: return "code_attempts_exceeded";
    case ErrorCode::TicketInvalid: return "ticket_invalid";
    case ErrorCode::RevocationsInvalid: return "revocations_invalid";
    case ErrorCode::AgentBusy: return "agent_busy";
    case ErrorCode::PrinterBusy: return "printer_busy";
    case ErrorCode::PrinterUnreachable: return "printer_unreachable";
    case ErrorCode::PrinterTimeout: return "printer_timeout";
    case ErrorCode::PrinterClosed: return "printer_closed";
    case ErrorCode::SerialOpenFailed: return "serial_open_failed";
    case ErrorCode::SpoolerError: return "spooler_error";
    case ErrorCode::UsbUnsupported: return "usb_unsupported";
    case ErrorCode::JobIdConflict: return "job_id_conflict";
    case ErrorCode::JobInterrupted: return "job_interrupted";
    case ErrorCode::JobUnknown: return "job_unknown";
    case ErrorCode::OutOfMemory: return "out_of_memory";
    case ErrorCode::InternalError: return "internal_error";
    case ErrorCode::StoreUnavailable: return "store_unavailable";
    case ErrorCode::JournalUnavailable: return "journal_unavailable";
    case ErrorCode::AgentStopped: return "agent_stopped";
    case ErrorCode::NoAgentForUser: return "no_agent_for_user";
  }
  return "internal_error";
}

}  // namespace zunel
