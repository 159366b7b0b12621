#include "printing/status/escpos_status.h"

#include "printing/status/fault_bits.h"

namespace zunel {

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
  if (r.error_cause) {
    status.error = first_fault(*r.error_cause, PRINTER_ERROR_BITS);
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

}  // namespace zunel
