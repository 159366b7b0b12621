#include "printing/printer_status.h"

#include <algorithm>
#include <array>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <charconv>
#include <variant>

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

// The first fault whose bit is set in `bits`, in the order given.
struct FaultBit {
  std::uint32_t mask;
  PrinterFault fault;
};

template <std::size_t N>
std::optional<PrinterFault> first_fault(std::uint32_t bits, const std::array<FaultBit, N>& table) {
  for (const FaultBit& f : table) {
    if ((bits & f.mask) != 0) return f.fault;
  }
  return std::nullopt;
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// A field of a comma-separated ~HS line as a number; nothing when absent or
// not all digits.
std::optional<unsigned> hs_field(const std::vector<std::string_view>& fields, std::size_t i) {
  if (i >= fields.size() || fields[i].empty()) return std::nullopt;
  unsigned value = 0;
  const auto* end = fields[i].data() + fields[i].size();
  const auto [ptr, ec] = std::from_chars(fields[i].data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::vector<std::string_view> split_commas(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const std::size_t comma = line.find(',');
    fields.push_back(line.substr(0, comma));
    if (comma == std::string_view::npos) return fields;
    line.remove_prefix(comma + 1);
  }
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

PrinterStatus busy_printer_status(StatusSource source, std::uint64_t elapsed_ms) {
  PrinterStatus status;
  status.source = source;
  status.busy = true;
  status.elapsed_ms = elapsed_ms;
  return status;
}

std::optional<std::uint8_t> EscPosReplyFilter::take(std::uint8_t b) {
  if (frame_left_ > 0) {
    --frame_left_;
    return std::nullopt;
  }
  if ((b & 0x93) == 0x12) return b;
  if ((b & 0x93) == 0x10) {
    frame_left_ = 3;
  } else if (b != 0x11 && b != 0x13) {
    invalid_ = true;
  }
  return std::nullopt;
}

void apply_escpos_replies(const EscPosReplies& r, PrinterStatus& status) {
  if (r.printer) {
    status.online = (*r.printer & 0x08) == 0;
    status.drawer_pin3_high = (*r.printer & 0x04) != 0;
  }
  if (r.offline_cause) status.cover_open = (*r.offline_cause & 0x04) != 0;
  constexpr std::array<FaultBit, 4> ERROR_CAUSES{{{0x20, PrinterFault::Unrecoverable},
                                                  {0x08, PrinterFault::Cutter},
                                                  {0x04, PrinterFault::Mechanical},
                                                  {0x40, PrinterFault::AutoRecoverable}}};
  if (r.error_cause) {
    status.error = first_fault(*r.error_cause, ERROR_CAUSES);
  } else if (r.offline_cause && (*r.offline_cause & 0x40) != 0) {
    status.error = PrinterFault::Other;
  }
  const bool paper_end_stop = r.offline_cause && (*r.offline_cause & 0x20) != 0;
  if (r.paper_sensor) {
    if ((*r.paper_sensor & 0x60) != 0 || paper_end_stop) {
      status.paper = PaperState::Out;
    } else if ((*r.paper_sensor & 0x0c) != 0) {
      status.paper = PaperState::NearEnd;
    } else {
      status.paper = PaperState::Ok;
    }
  } else if (paper_end_stop) {
    status.paper = PaperState::Out;
  }
}

EscPosConfirmReader::Heard EscPosConfirmReader::take(std::uint8_t b) {
  if (invalid_) return Heard::Invalid;
  const auto invalid = [this] {
    invalid_ = true;
    return Heard::Invalid;
  };
  if (frame_size_ == 1 && b != 0x22) return invalid();
  if (frame_size_ > 0) {
    frame_[frame_size_++] = b;
    if (frame_size_ < frame_.size()) return Heard::Nothing;
    frame_size_ = 0;
    if (frame_[6] != 0x00) return invalid();
    const bool ours = std::equal(id_.begin(), id_.end(), frame_.begin() + 2);
    return ours ? Heard::Printed : Heard::Nothing;  // another id: an earlier job's
  }
  if (skip_ > 0) {
    --skip_;
    return Heard::Nothing;
  }
  if (b == 0x37) {
    frame_[0] = b;
    frame_size_ = 1;
    return Heard::Nothing;
  }
  if ((b & 0x93) == 0x10) {
    skip_ = 3;  // an automatic status frame's other three bytes
    return Heard::Nothing;
  }
  if ((b & 0x93) == 0x12 || b == 0x11 || b == 0x13) return Heard::Nothing;  // DLE EOT reply, XON, XOFF
  if ((b & 0x90) != 0 || fenced_) return invalid();  // one GS r 1 asked, one reply
  fenced_ = true;
  return Heard::Fence;
}

std::size_t star_block_length(std::uint8_t header) {
  if ((header & 0x91) != 0x01) return 0;
  // Bits 5, 3, 2 and 1 hold the length, bit 5 the highest.
  return static_cast<std::size_t>((header >> 2 & 0x08) | (header >> 1 & 0x07));
}

void apply_star_block(std::span<const std::uint8_t> block, PrinterStatus& status) {
  const std::uint8_t printer = block[2], errors = block[3], paper = block[5];
  status.online = (printer & 0x08) == 0;
  status.cover_open = (printer & 0x20) != 0;
  constexpr std::array<FaultBit, 4> ERRORS{{{0x20, PrinterFault::Unrecoverable},
                                            {0x08, PrinterFault::Cutter},
                                            {0x04, PrinterFault::Mechanical},
                                            {0x40, PrinterFault::AutoRecoverable}}};
  status.error = first_fault(errors, ERRORS);
  status.paper = (paper & 0x08) != 0   ? PaperState::Out
                 : (paper & 0x04) != 0 ? PaperState::NearEnd
                                       : PaperState::Ok;
}

std::optional<std::uint32_t> zpl_error_flags(std::string_view text) {
  const std::size_t at = text.find("ERRORS:");
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view line = text.substr(at + 7);
  line = line.substr(0, line.find_first_of("\r\n\x03"));
  // "f gggggggg hhhhhhhh": the flags are the last group.
  std::vector<std::string_view> words;
  while (!line.empty()) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const std::size_t end = line.find(' ');
    words.push_back(line.substr(0, end));
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
  }
  if (words.size() != 3) return std::nullopt;
  std::uint32_t flags = 0;
  const std::string_view last = words[2];
  const auto [ptr, ec] = std::from_chars(last.data(), last.data() + last.size(), flags, 16);
  if (ec != std::errc() || ptr != last.data() + last.size()) return std::nullopt;
  return flags;
}

std::vector<std::string> zpl_frames(std::string_view text) {
  std::vector<std::string> frames;
  for (;;) {
    const std::size_t stx = text.find('\x02');
    if (stx == std::string_view::npos) return frames;
    const std::size_t etx = text.find('\x03', stx + 1);
    if (etx == std::string_view::npos) return frames;
    // A frame restarted before its end: the later start counts.
    const std::size_t restart = text.rfind('\x02', etx);
    frames.emplace_back(text.substr(restart + 1, etx - restart - 1));
    text.remove_prefix(etx + 1);
  }
}

void apply_zpl_answers(std::optional<std::uint32_t> error_flags, const std::vector<std::string>& hs_lines,
                       PrinterStatus& status) {
  bool paused = false, errors = false, hs_known = false;
  if (error_flags) {
    const std::uint32_t f = *error_flags;
    status.paper = (f & 0x1) != 0 ? PaperState::Out : PaperState::Ok;
    status.cover_open = (f & 0x4) != 0;
    constexpr std::array<FaultBit, 6> FLAGS{{{0x4, PrinterFault::HeadOpen},
                                             {0x2, PrinterFault::RibbonOut},
                                             {0x8, PrinterFault::Cutter},
                                             {0x30, PrinterFault::AutoRecoverable},  // head or motor too hot
                                             {0x40, PrinterFault::Mechanical},       // bad head element
                                             {0xffffff80, PrinterFault::Other}}};
    status.error = first_fault(f, FLAGS);
    errors = f != 0;
  }
  if (hs_lines.size() >= 3) {
    const auto first = split_commas(hs_lines[0]);
    const auto second = split_commas(hs_lines[1]);
    const auto paper_out = hs_field(first, 1), pause = hs_field(first, 2);
    const auto head_up = hs_field(second, 2), ribbon_out = hs_field(second, 3);
    if (paper_out && pause && head_up && ribbon_out) {
      hs_known = true;
      paused = *pause != 0;
      if (*paper_out != 0) status.paper = PaperState::Out;
      else if (!error_flags) status.paper = PaperState::Ok;
      if (*head_up != 0) status.cover_open = true;
      else if (!error_flags) status.cover_open = false;
      if (!status.error && *head_up != 0) status.error = PrinterFault::HeadOpen;
      if (!status.error && *ribbon_out != 0) status.error = PrinterFault::RibbonOut;
      errors = errors || *paper_out != 0 || *head_up != 0 || *ribbon_out != 0;
    }
  }
  if (errors || paused) {
    status.online = false;
  } else if (error_flags && hs_known) {
    status.online = true;
  }
}

bool zpl_host_status_valid(const std::vector<std::string>& hs_lines) {
  if (hs_lines.size() != 3) return false;
  const auto first = split_commas(hs_lines[0]);
  const auto second = split_commas(hs_lines[1]);
  return hs_field(first, 1) && hs_field(first, 2) && hs_field(second, 2) && hs_field(second, 3);
}

std::optional<bool> zpl_jobs_done(const std::vector<std::string>& hs_lines) {
  if (hs_lines.size() < 3) return std::nullopt;
  const auto first = split_commas(hs_lines[0]);
  const auto second = split_commas(hs_lines[1]);
  const auto formats = hs_field(first, 4), partial = hs_field(first, 7), labels = hs_field(second, 8);
  if (!formats || !partial || !labels) return std::nullopt;
  return *formats == 0 && *partial == 0 && *labels == 0;
}

SpooledJob spooled_job_state(const SpoolerJobReport& report) {
  if (const auto* win = std::get_if<WinspoolJobReport>(&report)) {
    constexpr std::uint32_t DELETING = 0x4, PRINTED = 0x80, DELETED = 0x100, COMPLETE = 0x1000;
    if (!win->found || (win->status & (PRINTED | COMPLETE)) != 0) return SpooledJob::Transmitted;
    if ((win->status & (DELETING | DELETED)) != 0) return SpooledJob::Failed;
    return SpooledJob::Queued;
  }
  const int state = std::get<CupsJobReport>(report).state;
  if (state == 9) return SpooledJob::Transmitted;
  if (state == 7 || state == 8) return SpooledJob::Failed;
  return SpooledJob::Queued;
}

void apply_winspool_report(const WinspoolPrinterReport& report, PrinterStatus& status) {
  constexpr std::uint32_t PAUSED = 0x1, PAPER_OUT = 0x10, OFFLINE = 0x80, BUSY = 0x200, PRINTING = 0x400,
                          NOT_AVAILABLE = 0x1000, PROCESSING = 0x4000, DOOR_OPEN = 0x400000,
                          WORK_OFFLINE = 0x400;
  const std::uint32_t s = report.status;
  if ((report.attributes & WORK_OFFLINE) != 0 || (s & (OFFLINE | NOT_AVAILABLE)) != 0) status.online = false;
  if ((s & PAPER_OUT) != 0) status.paper = PaperState::Out;
  if ((s & DOOR_OPEN) != 0) status.cover_open = true;
  constexpr std::array<FaultBit, 2> FAULTS{{
      {0x8, PrinterFault::Mechanical},  // paper jam
      // error, paper problem, output bin full, no toner, user intervention
      {0x2 | 0x40 | 0x800 | 0x40000 | 0x100000, PrinterFault::Other},
  }};
  status.error = first_fault(s, FAULTS);

  QueueStatus queue;
  queue.jobs = report.jobs;
  queue.state = (s & PAUSED) != 0                                        ? QueueState::Stopped
                : report.jobs > 0 || (s & (BUSY | PRINTING | PROCESSING)) ? QueueState::Processing
                                                                          : QueueState::Idle;
  // The status bits, lowest first, as the spooler names them.
  static constexpr std::array<const char*, 25> NAMES{
      "paused",        "error",       "pending-deletion", "paper-jam",   "paper-out",
      "manual-feed",   "paper-problem", "offline",        "io-active",   "busy",
      "printing",      "output-bin-full", "not-available", "waiting",    "processing",
      "initializing",  "warming-up",  "toner-low",        "no-toner",    "page-punt",
      "user-intervention", "out-of-memory", "door-open",  "server-unknown", "power-save"};
  for (std::size_t bit = 0; bit < NAMES.size(); ++bit) {
    if ((s >> bit & 1) != 0) queue.reasons.emplace_back(NAMES[bit]);
  }
  if ((report.attributes & WORK_OFFLINE) != 0) queue.reasons.emplace_back("work-offline");
  status.queue = std::move(queue);
}

void apply_cups_report(const CupsPrinterReport& report, PrinterStatus& status) {
  QueueStatus queue;
  switch (report.state) {
    case 3:
      queue.state = QueueState::Idle;
      break;
    case 4:
      queue.state = QueueState::Processing;
      break;
    case 5:
      queue.state = QueueState::Stopped;
      break;
    default:
      return;  // not a state this answer can name
  }
  queue.jobs = report.jobs;
  for (const std::string& reason : report.reasons) {
    if (reason == "none") continue;
    queue.reasons.push_back(reason);
    if (starts_with(reason, "offline")) status.online = false;
    if (starts_with(reason, "media-empty")) status.paper = PaperState::Out;
    if (starts_with(reason, "media-low") && status.paper != PaperState::Out) status.paper = PaperState::NearEnd;
    if (starts_with(reason, "cover-open") || starts_with(reason, "door-open")) status.cover_open = true;
    if (starts_with(reason, "media-jam") && !status.error) status.error = PrinterFault::Mechanical;
  }
  status.queue = std::move(queue);
}

}  // namespace zunel
