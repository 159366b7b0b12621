#include "printing/status/confirmation.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "printing/status/device_query.h"
#include "printing/status/escpos_confirm_reader.h"
#include "printing/status/status_exchange.h"
#include "printing/status/status_query.h"
#include "printing/status/zpl_status.h"

namespace zunel {
namespace {

using std::chrono::milliseconds;

// GS r 1's reply bits for "roll paper end".
constexpr std::uint8_t GS_R_PAPER_END = 0x0c;

// `fence_reply` is the last GS r 1 reply heard, if any.
Confirmed confirm_escpos(StatusChannel& channel, milliseconds deadline, const std::array<std::uint8_t, 4>& id,
                         const MonotonicClock& clock, std::optional<std::uint8_t>& fence_reply) {
  // Replies to DLE EOT sequences inside the job's data, and automatic
  // status, go before the request.
  if (!channel.discard_input(clock, deadline).ok()) return Confirmed::NotConfirmed;
  if (!channel.send(escpos_confirm_request(id)).ok()) return Confirmed::NotConfirmed;
  EscPosConfirmReader reader(id);
  bool fence = false, printed = false, invalid = false;
  std::vector<std::uint8_t> seen;
  read_until(channel, clock, deadline, seen, [&](std::uint8_t b) {
    const EscPosConfirmReader::Heard heard = reader.take(b);
    if (heard == EscPosConfirmReader::Heard::Fence) fence_reply = b;
    fence = fence || heard == EscPosConfirmReader::Heard::Fence;
    printed = heard == EscPosConfirmReader::Heard::Printed;
    // Noise or a flood: nothing it sent is an answer, and waiting on will
    // not make one.
    invalid = heard == EscPosConfirmReader::Heard::Invalid;
    if (seen.size() >= STATUS_MAX_INPUT / 2) seen.clear();  // a chatty printer is read to the deadline
    return printed || invalid;
  });
  if (printed) return Confirmed::Printed;
  return fence && !invalid ? Confirmed::Processed : Confirmed::NotConfirmed;
}

Confirmed confirm_zpl(StatusChannel& channel, milliseconds deadline, const MonotonicClock& clock) {
  if (!channel.discard_input(clock, deadline).ok()) return Confirmed::NotConfirmed;
  while (clock.now() < deadline) {
    if (!send_text(channel, "~HQES")) return Confirmed::NotConfirmed;
    const std::vector<std::string> hqes = read_zpl_frames(channel, clock, deadline, 1);
    const std::optional<std::uint32_t> flags = hqes.empty() ? std::nullopt : zpl_error_flags(hqes[0]);
    if (!flags) return Confirmed::NotConfirmed;  // silent: it will not say more
    if (*flags == 0) {
      if (!send_text(channel, "~HS")) return Confirmed::NotConfirmed;
      const std::optional<bool> done = zpl_jobs_done(read_zpl_frames(channel, clock, deadline, 3));
      if (done == true) return Confirmed::Printed;
      if (!done) return Confirmed::NotConfirmed;
    }
    // Still printing, or held by an error that may be cleared: ask again.
    // The wait is a read, so that it ends with the deadline; nothing is
    // expected, and what comes is dropped.
    const milliseconds pause = std::min(ZPL_POLL_INTERVAL, deadline - clock.now());
    if (pause.count() <= 0) break;
    std::array<std::uint8_t, 64> stray;
    const milliseconds until = clock.now() + pause;
    while (clock.now() < until) {
      auto got = channel.receive(stray.data(), stray.size(), until - clock.now());
      if (!got) return Confirmed::NotConfirmed;
      if (*got == 0) break;
    }
  }
  return Confirmed::NotConfirmed;
}

}  // namespace

std::array<std::uint8_t, 14> escpos_confirm_request(const std::array<std::uint8_t, 4>& id) {
  return {0x1d, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30, id[0], id[1], id[2], id[3], 0x1d, 0x72, 0x01};
}

Confirmation confirm_on_device(StatusChannel& channel, StatusProtocol protocol, milliseconds timeout,
                               const std::array<std::uint8_t, 4>& id, const MonotonicClock& clock) {
  const milliseconds deadline = clock.now() + timeout;
  Confirmation result;
  std::optional<std::uint8_t> fence_reply;
  switch (protocol) {
    case StatusProtocol::EscPos:
      result.confirmed = confirm_escpos(channel, deadline, id, clock, fence_reply);
      break;
    case StatusProtocol::Zpl:
      result.confirmed = confirm_zpl(channel, deadline, clock);
      break;
    case StatusProtocol::Star:
      break;
  }
  // A fence that reports the roll's end: the bytes were processed, but the
  // printer said it has no paper, so the job is not called processed.
  const bool paper_end = fence_reply && (*fence_reply & GS_R_PAPER_END) != 0;
  if (result.confirmed == Confirmed::Processed && paper_end) result.confirmed = Confirmed::NotConfirmed;
  if (result.confirmed == Confirmed::NotConfirmed) {
    result.status = query_device_status(channel, protocol, default_status_timeout(protocol), clock);
    // What the query could not tell, the fence's reply did.
    if (paper_end && result.status->paper == PaperState::Unknown) result.status->paper = PaperState::Out;
  }
  return result;
}

}  // namespace zunel
