#include "printing/confirmation.h"

#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "printing/printing.h"
#include "printing/serial_channel.h"
#include "printing/spooler_channel.h"
#include "printing/status_body_reader.h"
#include "printing/tcp_channel.h"

namespace zunel {
namespace {

using std::chrono::milliseconds;

const char* confirmed_name(Confirmed confirmed) {
  switch (confirmed) {
    case Confirmed::Printed:
      return "printed";
    case Confirmed::Processed:
      return "processed";
    case Confirmed::Transmitted:
      return "transmitted";
    case Confirmed::Spooled:
      return "spooled";
    case Confirmed::NotConfirmed:
      break;
  }
  return "not_confirmed";
}

bool send_text(StatusChannel& channel, std::string_view text) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  return channel.send({data, text.size()}).ok();
}

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

// Frames of a ZPL answer read until `count` have closed or the deadline.
std::vector<std::string> read_zpl_frames(StatusChannel& channel, milliseconds deadline, std::size_t count,
                                         const MonotonicClock& clock) {
  std::vector<std::uint8_t> raw;
  std::size_t closed = 0;
  read_until(channel, clock, deadline, raw, [&](std::uint8_t b) { return b == 0x03 && ++closed == count; });
  return zpl_frames(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()));
}

Confirmed confirm_zpl(StatusChannel& channel, milliseconds deadline, const MonotonicClock& clock) {
  if (!channel.discard_input(clock, deadline).ok()) return Confirmed::NotConfirmed;
  while (clock.now() < deadline) {
    if (!send_text(channel, "~HQES")) return Confirmed::NotConfirmed;
    const std::vector<std::string> hqes = read_zpl_frames(channel, deadline, 1, clock);
    const std::optional<std::uint32_t> flags = hqes.empty() ? std::nullopt : zpl_error_flags(hqes[0]);
    if (!flags) return Confirmed::NotConfirmed;  // silent: it will not say more
    if (*flags == 0) {
      if (!send_text(channel, "~HS")) return Confirmed::NotConfirmed;
      const std::optional<bool> done = zpl_jobs_done(read_zpl_frames(channel, deadline, 3, clock));
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

// Four random decimal digits: a printer sends GS ( H ids in that range.
std::optional<std::array<std::uint8_t, 4>> fresh_id(RandomSource& random) {
  std::array<std::uint8_t, 4> id{};
  if (!random.fill(id).ok()) return std::nullopt;
  for (std::uint8_t& d : id) d = static_cast<std::uint8_t>('0' + d % 10);
  return id;
}

Confirmation confirm_connected(StatusChannel& channel, const ConfirmRequest& request, RandomSource& random,
                               const MonotonicClock& clock) {
  // The body reader requires the protocol for these targets.
  const StatusProtocol protocol = request.protocol.value_or(StatusProtocol::EscPos);
  const auto id = fresh_id(random);
  if (!id) {
    // No id, no question: the status alone.
    Confirmation unconfirmed;
    unconfirmed.status = query_device_status(channel, protocol, STATUS_DEFAULT_TIMEOUT, clock);
    return unconfirmed;
  }
  return confirm_on_device(channel, protocol, request.timeout, *id, clock);
}

}  // namespace

std::string confirmation_json(const Confirmation& confirmation) {
  std::string json = "{\"ok\":true,\"confirmed\":\"";
  json += confirmed_name(confirmation.confirmed);
  json += '"';
  if (confirmation.status) json += ",\"status\":" + printer_status_json(*confirmation.status);
  json += '}';
  return json;
}

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
    const milliseconds status_timeout =
        protocol == StatusProtocol::Zpl ? STATUS_DEFAULT_ZPL_TIMEOUT : STATUS_DEFAULT_TIMEOUT;
    result.status = query_device_status(channel, protocol, status_timeout, clock);
    // What the query could not tell, the fence's reply did.
    if (paper_end && result.status->paper == PaperState::Unknown) result.status->paper = PaperState::Out;
  }
  return result;
}

Confirmation confirm_spooled_job(Spooler& spooler, const std::string& printer, std::uint32_t job_id,
                                 milliseconds timeout, const MonotonicClock& clock,
                                 const std::function<void(milliseconds)>& wait) {
  const milliseconds deadline = clock.now() + timeout;
  Confirmation result;
  SpoolerHandle handle = 0;
  if (spooler.open_printer(printer, handle)) {
    for (;;) {
      SpoolerJobReport report;
      if (!spooler.get_job(handle, job_id, report)) break;  // not known: not confirmed
      const SpooledJob state = spooled_job_state(report);
      if (state == SpooledJob::Transmitted) result.confirmed = Confirmed::Transmitted;
      if (state != SpooledJob::Queued) break;
      if (clock.now() >= deadline) {
        result.confirmed = Confirmed::Spooled;
        break;
      }
      wait(std::min(SPOOLER_POLL_INTERVAL, deadline - clock.now()));
    }
    spooler.close_printer(handle);
  }
  if (result.confirmed == Confirmed::NotConfirmed) result.status = query_spooler_status(spooler, printer, clock);
  return result;
}

Outcome<Confirmation, PrintError> print_and_confirm(const PrintTarget& target, std::span<const std::uint8_t> bytes,
                                                    const ConfirmRequest& request, PrintPlatform& platform,
                                                    RandomSource& random, const MonotonicClock& clock) {
  if (const auto* network = std::get_if<PrintTarget::Network>(&target.kind)) {
    auto connection = open_tcp(platform.network, network->host, network->port, TCP_CONNECT_TIMEOUT);
    if (!connection) return print_error(PrintFailure::Unreachable, fail(connection.error()));
    if (auto sent = send_tcp_job(**connection, bytes, clock); !sent) {
      return write_failed(fail(sent.error()), (*connection)->send_timed_out());
    }
    return confirm_connected(*tcp_status_channel(**connection), request, random, clock);
  }
  if (const auto* serial = std::get_if<PrintTarget::Serial>(&target.kind)) {
    auto line = open_serial(platform.serial_ports, serial->port, serial->baud);
    if (!line) return print_error(PrintFailure::SerialOpenFailed, fail(line.error()));
    if (auto written = write_serial_job(**line, serial->baud, bytes, clock); !written) {
      return write_failed(fail(written.error()), false);
    }
    return confirm_connected(*serial_status_channel(**line), request, random, clock);
  }
  if (const auto* spooler = std::get_if<PrintTarget::WinSpool>(&target.kind)) {
    auto job = spool_winspool_job(platform.spooler, spooler->printer, bytes);
    if (!job) return print_error(PrintFailure::Spooler, fail(job.error()));
    return confirm_spooled_job(platform.spooler, spooler->printer, *job, request.timeout, clock,
                               [](milliseconds pause) { std::this_thread::sleep_for(pause); });
  }
  return print_error(PrintFailure::UsbUnsupported, fail(USB_UNSUPPORTED));
}

}  // namespace zunel
