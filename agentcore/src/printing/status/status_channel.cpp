#include "printing/status/status_channel.h"

#include <array>

#include "printing/write_all.h"

namespace zunel {
namespace {

using std::chrono::milliseconds;

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

}  // namespace zunel
