#include "printing/status/device_query.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "printing/status/escpos_status.h"
#include "printing/status/star_status.h"
#include "printing/status/status_exchange.h"
#include "printing/status/zpl_status.h"

namespace zunel {
namespace {

using std::chrono::milliseconds;

// Each query's reply must be the first byte that comes after it (XON, XOFF
// and automatic status frames aside), and nothing may follow it: a printer
// answers DLE EOT with exactly one byte. Noise, a banner or a flood is no
// answer, and ends the exchange at once.
void ask_escpos(StatusChannel& channel, const MonotonicClock& clock, milliseconds deadline, PrinterStatus& status) {
  EscPosReplyFilter filter;
  EscPosReplies replies;
  std::optional<std::uint8_t>* slots[] = {&replies.printer, &replies.offline_cause, &replies.error_cause,
                                          &replies.paper_sensor};
  std::array<std::uint8_t, 256> buffer;
  for (std::uint8_t n = 1; n <= 4; ++n) {
    const std::array<std::uint8_t, 3> query{0x10, 0x04, n};
    if (!channel.send(query).ok()) return;
    std::optional<std::uint8_t>& reply = *slots[n - 1];
    // A query without its reply ends the exchange: the next reply could not
    // be told from a late one.
    while (!reply) {
      const milliseconds left = deadline - clock.now();
      if (left.count() <= 0) return;
      auto got = channel.receive(buffer.data(), buffer.size(), left);
      if (!got || *got == 0) return;
      for (std::size_t i = 0; i < *got; ++i) {
        if (reply) return;  // more than the one reply
        reply = filter.take(buffer[i]);
        if (filter.invalid()) return;
      }
    }
  }
  // Nothing more waiting once the four have come, or it was a flood.
  if (auto more = channel.receive(buffer.data(), buffer.size(), milliseconds(0)); !more || *more != 0) return;
  status.answered = true;
  status.raw = {*replies.printer, *replies.offline_cause, *replies.error_cause, *replies.paper_sensor};
  apply_escpos_replies(replies, status);
}

// The block's header must be the first byte that comes.
void ask_star(StatusChannel& channel, const MonotonicClock& clock, milliseconds deadline, PrinterStatus& status) {
  if (!send_text(channel, "\x1b\x06\x01")) return;
  std::vector<std::uint8_t> block;
  std::size_t length = 0;
  read_until(channel, clock, deadline, block, [&](std::uint8_t) {
    if (block.size() == 1) length = star_block_length(block[0]);
    return length < 7 || block.size() == length;
  });
  if (length < 7 || block.size() != length) return;
  status.answered = true;
  status.raw = block;
  apply_star_block(block, status);
}

// ~HQES must give its error flags, and ~HS (unless the flags say the
// printer will not answer it) its three lines; `raw` holds those frames.
void ask_zpl(StatusChannel& channel, const MonotonicClock& clock, milliseconds deadline, PrinterStatus& status) {
  if (!send_text(channel, "~HQES")) return;
  const std::vector<std::string> hqes = read_zpl_frames(channel, clock, deadline, 1);
  const std::optional<std::uint32_t> flags = hqes.size() == 1 ? zpl_error_flags(hqes[0]) : std::nullopt;
  if (!flags) return;
  std::vector<std::string> lines;
  if ((*flags & ZPL_HS_SILENCED) == 0) {
    if (!send_text(channel, "~HS")) return;
    lines = read_zpl_frames(channel, clock, deadline, 3);
    if (!zpl_host_status_valid(lines)) return;
  }
  status.answered = true;
  for (const std::vector<std::string>* frames : {&hqes, static_cast<const std::vector<std::string>*>(&lines)}) {
    for (const std::string& frame : *frames) {
      status.raw.push_back(0x02);
      status.raw.insert(status.raw.end(), frame.begin(), frame.end());
      status.raw.push_back(0x03);
    }
  }
  apply_zpl_answers(flags, lines, status);
}

}  // namespace

PrinterStatus query_device_status(StatusChannel& channel, StatusProtocol protocol, milliseconds timeout,
                                  const MonotonicClock& clock) {
  const milliseconds start = clock.now();
  const milliseconds deadline = start + timeout;
  PrinterStatus status;
  status.reachable = true;
  if (channel.discard_input(clock, deadline).ok()) {
    switch (protocol) {
      case StatusProtocol::EscPos:
        ask_escpos(channel, clock, deadline, status);
        break;
      case StatusProtocol::Star:
        ask_star(channel, clock, deadline, status);
        break;
      case StatusProtocol::Zpl:
        ask_zpl(channel, clock, deadline, status);
        break;
    }
  }
  status.elapsed_ms = elapsed_ms_since(clock, start);
  return status;
}

}  // namespace zunel
