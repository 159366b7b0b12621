#pragma once
// POSIX only, for tests: the printer emulator (tests/e2e/printer_emulator.py)
// as a child process, with its loopback TCP port, its pseudo-terminal and
// its control port. Stopped by its process id when the object goes.

#include <cstdint>
#include <memory>
#include <string>

#include "posix_test_process.h"
#include "temp_dir.h"

namespace zunel {

class PrinterEmulatorProcess {
 public:
  // Starts the emulator and waits (up to 10 s) for its ready line; see ready().
  PrinterEmulatorProcess();
  PrinterEmulatorProcess(const PrinterEmulatorProcess&) = delete;
  PrinterEmulatorProcess& operator=(const PrinterEmulatorProcess&) = delete;

  bool ready() const { return tcp_port_ != 0 && !pty_.empty() && control_port_ != 0; }
  std::uint16_t tcp_port() const { return tcp_port_; }
  const std::string& pty() const { return pty_; }
  // The emulator's output so far, for failure messages.
  std::string log() const;

  // Sends one control command (a JSON object's members, e.g.
  // R"("cmd":"set","paper":"out")") and returns the answer line.
  std::string control(const std::string& members);
  // Every byte the printer received so far, as hex.
  std::string received_hex();

 private:
  testing::TempDir dir_;
  std::unique_ptr<ChildProcess> child_;
  std::uint16_t tcp_port_ = 0;
  std::uint16_t control_port_ = 0;
  std::string pty_;
};

}  // namespace zunel
