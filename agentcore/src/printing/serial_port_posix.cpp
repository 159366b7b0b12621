#include "printing/serial_port.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "base/build_config.h"
#include "base/os_error.h"

namespace zunel {
namespace {

namespace asio = boost::asio;

// The open failure with errno value `code`.
Error open_error(const std::string& name, int code) {
  const bool not_found = code == ENOENT || code == ENODEV || code == ENXIO;
  return fail(serial_open_error(name, os_error_message(code), not_found));
}

// The open failure the serial-port library reported.
Error open_error(const std::string& name, const boost::system::error_code& ec) {
  if (ec.category() == boost::system::system_category()) return open_error(name, ec.value());
  return fail(serial_open_error(name, ec.message(), false));
}

class PosixSerialLine final : public SerialLine {
 public:
  PosixSerialLine(std::unique_ptr<asio::io_context> context, std::unique_ptr<asio::serial_port> port)
      : context_(std::move(context)), port_(std::move(port)) {}

  Outcome<std::size_t> write_some(const std::uint8_t* data, std::size_t size,
                                  std::chrono::milliseconds wait) override {
    // The port is non-blocking (Asio opens it so); waiting here bounds the call.
    const int fd = port_->native_handle();
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
      const ssize_t n = ::write(fd, data, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(os_error_text(errno));
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::size_t{0};
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
        return fail(os_error_text(errno));
      }
    }
  }

  Status flush() override {
    while (::tcdrain(port_->native_handle()) != 0) {
      if (errno != EINTR) return fail(os_error_text(errno));
    }
    return {};
  }

  Outcome<std::size_t> read_some(std::uint8_t* buffer, std::size_t size,
                                 std::chrono::milliseconds timeout) override {
    const int fd = port_->native_handle();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const ssize_t n = ::read(fd, buffer, size);
      if (n > 0) return static_cast<std::size_t>(n);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return fail(os_error_text(errno));
      // Nothing yet (a pseudo-terminal whose other end is closed also reads 0).
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::size_t{0};
      pollfd p{fd, POLLIN, 0};
      const int r = ::poll(&p, 1, static_cast<int>(left.count()));
      if (r < 0 && errno != EINTR) return fail(os_error_text(errno));
      if (r == 0) return std::size_t{0};
      // A hung-up line polls ready and reads nothing: wait out the time-out
      // rather than spin.
      if (r > 0 && (p.revents & POLLIN) == 0) {
        ::poll(nullptr, 0, static_cast<int>(left.count()));
        return std::size_t{0};
      }
    }
  }

  Status purge_input() override {
    if (::tcflush(port_->native_handle(), TCIFLUSH) != 0) return fail(os_error_text(errno));
    return {};
  }

 private:
  std::unique_ptr<asio::io_context> context_;
  std::unique_ptr<asio::serial_port> port_;  // closed by its destructor
};

class PosixSerialPorts final : public SerialPorts {
 public:
  Outcome<std::unique_ptr<SerialLine>> open(const std::string& name, const SerialSettings& settings) override {
    // The system would open the part before a NUL: that device is not the one named.
    if (name.find('\0') != std::string::npos) return open_error(name, ENOENT);
    auto context = std::make_unique<asio::io_context>();
    auto port = std::make_unique<asio::serial_port>(*context);
    boost::system::error_code ec;
    port->open(name, ec);
    if (ec) return open_error(name, ec);
    // Unshared, as on Windows: a second open of the port fails while the job runs.
    if (::ioctl(port->native_handle(), TIOCEXCL) != 0) return open_error(name, errno);
    // The only settings asked for are the ones SerialSettings can hold.
    port->set_option(asio::serial_port::baud_rate(settings.baud_rate), ec);
    if (!ec) port->set_option(asio::serial_port::character_size(settings.data_bits), ec);
    if (!ec) port->set_option(asio::serial_port::parity(asio::serial_port::parity::none), ec);
    if (!ec) port->set_option(asio::serial_port::stop_bits(asio::serial_port::stop_bits::one), ec);
    if (!ec) port->set_option(asio::serial_port::flow_control(asio::serial_port::flow_control::none), ec);
    if (ec) return open_error(name, ec);  // the port closes with `port`
    return std::unique_ptr<SerialLine>(
        std::make_unique<PosixSerialLine>(std::move(context), std::move(port)));
  }
};

}  // namespace

SerialPorts& system_serial_ports() {
  static PosixSerialPorts ports;
  return ports;
}

bool serial_port_name_allowed(const std::string& name) {
  if (test_hooks_enabled()) {
    const char* any = std::getenv("ZUNEL_TEST_SERIAL_ANY_PATH");
    if (any != nullptr && std::string_view(any) == "1") return true;
  }
  return linux_serial_port_name(name);
}

}  // namespace zunel
