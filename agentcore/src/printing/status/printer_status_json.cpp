#include "printing/status/printer_status_json.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include "base/hex.h"
#include "base/json_members.h"

namespace zunel {
namespace {

namespace json = boost::json;

const char* paper_name(PaperState paper) {
  switch (paper) {
    case PaperState::Ok:
      return "ok";
    case PaperState::NearEnd:
      return "near_end";
    case PaperState::Out:
      return "out";
    case PaperState::Unknown:
      break;
  }
  return "unknown";
}

const char* fault_name(PrinterFault fault) {
  switch (fault) {
    case PrinterFault::Cutter:
      return "cutter";
    case PrinterFault::Mechanical:
      return "mechanical";
    case PrinterFault::Unrecoverable:
      return "unrecoverable";
    case PrinterFault::AutoRecoverable:
      return "auto_recoverable";
    case PrinterFault::HeadOpen:
      return "head_open";
    case PrinterFault::RibbonOut:
      return "ribbon_out";
    case PrinterFault::Other:
      break;
  }
  return "other";
}

const char* queue_state_name(QueueState state) {
  switch (state) {
    case QueueState::Idle:
      return "idle";
    case QueueState::Processing:
      return "processing";
    case QueueState::Stopped:
      break;
  }
  return "stopped";
}

}  // namespace

std::string printer_status_json(const PrinterStatus& status) {
  json::object o;
  o["source"] = status.source == StatusSource::Device ? "device" : "spooler";
  // A busy answer asked nothing: whether the printer can be reached is not
  // known, which is not the same as unreachable.
  o["reachable"] = status.busy ? json::value(nullptr) : json::value(status.reachable);
  o["answered"] = status.answered;
  o["busy"] = status.busy;
  o["online"] = json_or_null(status.online);
  o["paper"] = paper_name(status.paper);
  o["cover_open"] = json_or_null(status.cover_open);
  o["error"] = status.error ? json::value(fault_name(*status.error)) : json::value(nullptr);
  o["drawer_pin3_high"] = json_or_null(status.drawer_pin3_high);
  if (status.queue) {
    json::object queue;
    queue["state"] = queue_state_name(status.queue->state);
    json::array reasons;
    for (const std::string& reason : status.queue->reasons) reasons.emplace_back(reason);
    queue["reasons"] = std::move(reasons);
    queue["jobs"] = status.queue->jobs;
    o["queue"] = std::move(queue);
  } else {
    o["queue"] = nullptr;
  }
  o["raw"] = to_hex(status.raw);
  o["elapsed_ms"] = status.elapsed_ms;
  return json::serialize(o);
}

}  // namespace zunel
