#include "printing/status_query.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "printing/printing.h"
#include "printing/write_all.h"

namespace zunel {
namespace {

using std::chrono::milliseconds;

bool send_text(StatusChannel& channel, std::string_view text) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  return channel.send({data, text.size()}).ok();
}

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
  // Framing: no length, only STX ... ETX; one frame for ~HQES, three for ~HS.
  const auto read_frames = [&](std::size_t count) {
    std::vector<std::uint8_t> seen;
    std::size_t closed = 0;
    read_until(channel, clock, deadline, seen, [&](std::uint8_t b) { return b == 0x03 && ++closed == count; });
    return zpl_frames(std::string_view(reinterpret_cast<const char*>(seen.data()), seen.size()));
  };
  if (!send_text(channel, "~HQES")) return;
  const std::vector<std::string> hqes = read_frames(1);
  const std::optional<std::uint32_t> flags = hqes.size() == 1 ? zpl_error_flags(hqes[0]) : std::nullopt;
  if (!flags) return;
  // Media out, ribbon out, head open and head too hot silence ~HS.
  std::vector<std::string> lines;
  if ((*flags & 0x17) == 0) {
    if (!send_text(channel, "~HS")) return;
    lines = read_frames(3);
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

std::uint64_t elapsed_since(const MonotonicClock& clock, milliseconds start) {
  const auto elapsed = (clock.now() - start).count();
  return elapsed > 0 ? static_cast<std::uint64_t>(elapsed) : 0;
}

PrinterStatus unreachable(const MonotonicClock& clock, milliseconds start) {
  PrinterStatus status;
  status.online = false;
  status.elapsed_ms = elapsed_since(clock, start);
  return status;
}

class TcpStatusChannel final : public StatusChannel {
 public:
  explicit TcpStatusChannel(TcpConnection& connection) : connection_(connection) {}

  Status send(std::span<const std::uint8_t> bytes) override {
    return write_all(bytes, [this](const std::uint8_t* data, std::size_t size) {
      return connection_.send_some(data, size);
    });
  }

  Outcome<std::size_t> receive(std::uint8_t* buffer, std::size_t size, milliseconds timeout) override {
    return connection_.receive_some(buffer, size, timeout);
  }

  Status discard_input(const MonotonicClock& clock, milliseconds deadline) override {
    std::array<std::uint8_t, 256> buffer;
    // Whatever has arrived, without waiting; a printer that never stops
    // sending is cut off by the deadline.
    while (clock.now() < deadline) {
      auto got = connection_.receive_some(buffer.data(), buffer.size(), milliseconds(0));
      if (!got) return fail(got.error());
      if (*got == 0) return {};
    }
    return {};
  }

 private:
  TcpConnection& connection_;
};

class SerialStatusChannel final : public StatusChannel {
 public:
  explicit SerialStatusChannel(SerialLine& line) : line_(line) {}

  Status send(std::span<const std::uint8_t> bytes) override {
    return write_all(bytes, [this](const std::uint8_t* data, std::size_t size) {
      return line_.write_some(data, size);
    });
  }

  Outcome<std::size_t> receive(std::uint8_t* buffer, std::size_t size, milliseconds timeout) override {
    return line_.read_some(buffer, size, timeout);
  }

  Status discard_input(const MonotonicClock&, milliseconds) override { return line_.purge_input(); }

 private:
  SerialLine& line_;
};

}  // namespace

std::unique_ptr<StatusChannel> tcp_status_channel(TcpConnection& connection) {
  return std::make_unique<TcpStatusChannel>(connection);
}

std::unique_ptr<StatusChannel> serial_status_channel(SerialLine& line) {
  return std::make_unique<SerialStatusChannel>(line);
}

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
  status.elapsed_ms = elapsed_since(clock, start);
  return status;
}

PrinterStatus query_tcp_status(TcpNetwork& network, const std::string& host, std::uint16_t port,
                               StatusProtocol protocol, milliseconds timeout, const MonotonicClock& clock,
                               milliseconds connect_timeout) {
  const milliseconds start = clock.now();
  auto addresses = network.resolve(host, port);
  if (!addresses) return unreachable(clock, start);
  std::unique_ptr<TcpConnection> connection;
  for (const TcpAddress& address : *addresses) {
    auto attempt = network.connect(address, connect_timeout);
    if (attempt) {
      connection = std::move(*attempt);
      break;
    }
  }
  if (!connection) return unreachable(clock, start);
  // Each send bounded by the query's time-out as well.
  if (!connection->set_send_timeout(timeout).ok()) {
    PrinterStatus status;
    status.reachable = true;
    status.elapsed_ms = elapsed_since(clock, start);
    return status;
  }
  TcpStatusChannel channel(*connection);
  PrinterStatus status = query_device_status(channel, protocol, timeout, clock);
  status.elapsed_ms = elapsed_since(clock, start);
  return status;
}

PrinterStatus query_serial_status(SerialPorts& ports, const std::string& port, std::uint32_t baud,
                                  StatusProtocol protocol, milliseconds timeout, const MonotonicClock& clock) {
  const milliseconds start = clock.now();
  SerialSettings settings;
  settings.baud_rate = baud;
  settings.write_timeout = timeout;
  auto line = ports.open(port, settings);
  if (!line) return unreachable(clock, start);
  SerialStatusChannel channel(**line);
  PrinterStatus status = query_device_status(channel, protocol, timeout, clock);
  status.elapsed_ms = elapsed_since(clock, start);
  return status;
}

PrinterStatus query_spooler_status(Spooler& spooler, const std::string& printer, const MonotonicClock& clock) {
  const milliseconds start = clock.now();
  SpoolerHandle handle = 0;
  if (!spooler.open_printer(printer, handle)) {
    PrinterStatus status = unreachable(clock, start);
    status.source = StatusSource::Spooler;
    return status;
  }
  PrinterStatus status;
  status.source = StatusSource::Spooler;
  status.reachable = true;
  SpoolerPrinterReport report;
  if (spooler.get_printer(handle, report)) {
    status.answered = true;
    if (const auto* win = std::get_if<WinspoolPrinterReport>(&report)) apply_winspool_report(*win, status);
    if (const auto* cups = std::get_if<CupsPrinterReport>(&report)) apply_cups_report(*cups, status);
  }
  spooler.close_printer(handle);
  status.elapsed_ms = elapsed_since(clock, start);
  return status;
}

Outcome<PrinterStatus> query_printer_status(const StatusRequest& request, PrintPlatform& platform,
                                            const MonotonicClock& clock) {
  const PrintTarget::Network* network = std::get_if<PrintTarget::Network>(&request.target.kind);
  const PrintTarget::Serial* serial = std::get_if<PrintTarget::Serial>(&request.target.kind);
  if (const auto* spooler = std::get_if<PrintTarget::WinSpool>(&request.target.kind)) {
    return query_spooler_status(platform.spooler, spooler->printer, clock);
  }
  if (network == nullptr && serial == nullptr) return fail(USB_UNSUPPORTED);
  if (!request.protocol) return fail("protocol required");
  if (network != nullptr) {
    return query_tcp_status(platform.network, network->host, network->port, *request.protocol, request.timeout,
                            clock);
  }
  return query_serial_status(platform.serial_ports, serial->port, serial->baud, *request.protocol, request.timeout,
                             clock);
}

}  // namespace zunel
