#include "printing/status/status_channel.h"

#include <array>

#include "printing/write_all.h"

namespace zunel {
namespace {

using std::chrono::milliseconds;

class TcpStatusChannel final : public StatusChannel {
 public:
  TcpStatusChannel(TcpConnection& connection, const MonotonicClock& clock, milliseconds stall_limit)
      : connection_(connection), clock_(clock), limits_{.stall_limit = stall_limit} {}

  Status send(std::span<const std::uint8_t> bytes) override {
    return write_all(
        bytes,
        [this](const std::uint8_t* data, std::size_t size, milliseconds wait) {
          return connection_.send_some(data, size, wait);
        },
        clock_, limits_);
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
  const MonotonicClock& clock_;
  const WriteLimits limits_;
};

class SerialStatusChannel final : public StatusChannel {
 public:
  SerialStatusChannel(SerialLine& line, const MonotonicClock& clock, milliseconds stall_limit)
      : line_(line), clock_(clock), limits_{.stall_limit = stall_limit} {}

  Status send(std::span<const std::uint8_t> bytes) override {
    return write_all(
        bytes,
        [this](const std::uint8_t* data, std::size_t size, milliseconds wait) {
          return line_.write_some(data, size, wait);
        },
        clock_, limits_);
  }

  Outcome<std::size_t> receive(std::uint8_t* buffer, std::size_t size, milliseconds timeout) override {
    return line_.read_some(buffer, size, timeout);
  }

  Status discard_input(const MonotonicClock&, milliseconds) override { return line_.purge_input(); }

 private:
  SerialLine& line_;
  const MonotonicClock& clock_;
  const WriteLimits limits_;
};

}  // namespace

std::unique_ptr<StatusChannel> tcp_status_channel(TcpConnection& connection, const MonotonicClock& clock,
                                                  milliseconds stall_limit) {
  return std::make_unique<TcpStatusChannel>(connection, clock, stall_limit);
}

std::unique_ptr<StatusChannel> serial_status_channel(SerialLine& line, const MonotonicClock& clock,
                                                     milliseconds stall_limit) {
  return std::make_unique<SerialStatusChannel>(line, clock, stall_limit);
}

}  // namespace zunel
