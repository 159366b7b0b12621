#pragma once
// Serial ports as the serial channel uses them: open with fixed line
// settings, writes bounded by each call's own wait, a flush that waits for the data to leave; and,
// for status queries, bounded reads and a purge of stale input.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/outcome.h"

namespace zunel {

// The line settings of every job; only the baud rate comes from the request.
// DTR and RTS are left in the port's default state (inactive).
struct SerialSettings {
  enum class Parity { None };
  enum class StopBits { One };
  enum class FlowControl { None };

  std::uint32_t baud_rate = 0;
  unsigned data_bits = 8;
  Parity parity = Parity::None;
  StopBits stop_bits = StopBits::One;
  FlowControl flow_control = FlowControl::None;
  bool operator==(const SerialSettings&) const = default;
};

// An open, configured port. Destroying it closes the port.
class SerialLine {
 public:
  virtual ~SerialLine() = default;
  // One write call over `data`, waiting at most `wait`: the count the port
  // took, which may be less than `size`, and 0 when it took nothing in that
  // time. Errors read as os_error_text().
  [[nodiscard]] virtual Outcome<std::size_t> write_some(const std::uint8_t* data, std::size_t size,
                                                        std::chrono::milliseconds wait) = 0;
  // Returns once the written data has left the port's buffers.
  [[nodiscard]] virtual Status flush() = 0;
  // Waits up to `timeout` (0: not at all) for input and takes what has
  // arrived, at most `size`: the count taken, 0 when nothing came in time.
  // Errors read as os_error_text().
  [[nodiscard]] virtual Outcome<std::size_t> read_some(std::uint8_t* buffer, std::size_t size,
                                                       std::chrono::milliseconds timeout) = 0;
  // Discards whatever input the port holds and has not been read.
  [[nodiscard]] virtual Status purge_input() = 0;
};

class SerialPorts {
 public:
  virtual ~SerialPorts() = default;
  // Opens `name` for reading and writing, unshared, and applies `settings`.
  // The error is serial_open_error()'s: the port named, then the system's
  // message text alone, without the " (os error N)" suffix; nothing stays open.
  [[nodiscard]] virtual Outcome<std::unique_ptr<SerialLine>> open(const std::string& name,
                                                                  const SerialSettings& settings) = 0;
};

// The failure to open or configure the port `name`, as the page is told it:
// "puerto serie '<name>' no encontrado: <system text>" when the system has no
// such port (`not_found`), "no se pudo abrir el puerto serie '<name>': <system
// text>" otherwise; the system's text is os_error_message()'s, without its code.
std::string serial_open_error(std::string_view name, std::string_view system_text, bool not_found);

// The real serial ports of this OS; lives for the whole process.
SerialPorts& system_serial_ports();

// The name under which Windows opens a serial port: in the device namespace
// (`\\.\` in front) unless it begins with a backslash, so that COM10 and
// above work. The empty name becomes `\\.\`.
std::string windows_serial_device_name(const std::string& name);

// Whether a target's port names a serial port of this system, checked
// before anything is opened, so that a job or a status query never reaches
// a terminal, a file or another device: the rule of this OS below. A test
// build (test_hooks_enabled()) takes any name while the environment has
// ZUNEL_TEST_SERIAL_ANY_PATH=1, for its pseudo-terminals.
bool serial_port_name_allowed(const std::string& name);

// Windows: COM and a number from 1, any letter case, alone or in the
// device namespace (\\.\COM5, \\?\COM5).
bool windows_serial_port_name(const std::string& name);

// Linux: the serial device families, /dev/ttyS<n> (on-board UARTs),
// /dev/ttyUSB<n> (USB adapters), /dev/ttyACM<n> (USB CDC printers),
// /dev/ttyAMA<n> (ARM UARTs), /dev/rfcomm<n> (Bluetooth serial), and the
// stable names udev makes for them, /dev/serial/by-id/<name> and
// /dev/serial/by-path/<name>. Never /dev/tty, /dev/pts/<n>, consoles or
// files.
bool linux_serial_port_name(const std::string& name);

}  // namespace zunel
