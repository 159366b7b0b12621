#include "printing/status/confirmation.h"

#include <thread>

#include "base/overloaded.h"
#include "printing/printing.h"
#include "printing/write_all.h"
#include "printing/spooler_printer.h"
#include "printing/status/device_query.h"
#include "printing/status/printer_status_json.h"
#include "printing/status/spooled_job.h"
#include "printing/status/status_query.h"

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
    unconfirmed.status = query_device_status(channel, protocol, default_status_timeout(protocol), clock);
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

Confirmation confirm_spooled_job(Spooler& spooler, const std::string& printer, std::uint32_t job_id,
                                 milliseconds timeout, const MonotonicClock& clock,
                                 const std::function<void(milliseconds)>& wait) {
  const milliseconds deadline = clock.now() + timeout;
  Confirmation result;
  if (const SpoolerPrinter opened(spooler, printer); opened.is_open()) {
    for (;;) {
      SpoolerJobReport report;
      if (!spooler.get_job(opened.handle(), job_id, report)) break;  // not known: not confirmed
      const SpooledJob state = spooled_job_state(report);
      if (state == SpooledJob::Transmitted) result.confirmed = Confirmed::Transmitted;
      if (state != SpooledJob::Queued) break;
      if (clock.now() >= deadline) {
        result.confirmed = Confirmed::Spooled;
        break;
      }
      wait(std::min(SPOOLER_POLL_INTERVAL, deadline - clock.now()));
    }
  }
  if (result.confirmed == Confirmed::NotConfirmed) result.status = query_spooler_status(spooler, printer, clock);
  return result;
}

Outcome<Confirmation, PrintError> print_and_confirm(const PrintTarget& target, std::span<const std::uint8_t> bytes,
                                                    const ConfirmRequest& request, PrintPlatform& platform,
                                                    RandomSource& random, const MonotonicClock& clock) {
  auto sent = send_job(target, bytes, platform, clock);
  if (!sent) return sent.error();
  return std::visit(
      Overloaded{
          [&](const std::unique_ptr<TcpConnection>& connection) {
            return confirm_connected(*tcp_status_channel(*connection, clock, JOB_STALL_LIMIT), request, random,
                                     clock);
          },
          [&](const std::unique_ptr<SerialLine>& line) {
            return confirm_connected(*serial_status_channel(*line, clock, JOB_STALL_LIMIT), request, random, clock);
          },
          [&](const SpooledJobId& job) {
            const auto& spooler_target = std::get<PrintTarget::WinSpool>(target.kind);
            return confirm_spooled_job(platform.spooler, spooler_target.printer, job.id, request.timeout, clock,
                                       [](milliseconds pause) { std::this_thread::sleep_for(pause); });
          },
      },
      *sent);
}

}  // namespace zunel
