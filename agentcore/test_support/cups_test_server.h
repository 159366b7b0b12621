#pragma once
// POSIX only, for tests: a private CUPS server, started as root with its own
// configuration and every directory under one temporary directory,
// listening only on a domain socket there. The system's CUPS is not touched.

#include <memory>
#include <string>

#include "posix_test_process.h"
#include "temp_dir.h"

namespace zunel {

class CupsTestServer {
 public:
  // Starts the server and waits until it answers; see ready().
  CupsTestServer();
  // Stops the server by its process id.
  ~CupsTestServer();
  CupsTestServer(const CupsTestServer&) = delete;
  CupsTestServer& operator=(const CupsTestServer&) = delete;

  bool ready() const { return ready_; }
  // The domain socket, for CUPS_SERVER or a client's server name.
  const std::string& socket() const { return socket_; }
  // The server's error log, for failure messages.
  std::string log() const;

  // A raw queue (no driver, no filtering) that prints to 127.0.0.1:port
  // through the socket backend. The lpadmin output on failure.
  CommandResult add_raw_queue(const std::string& name, std::uint16_t port);
  CommandResult pause_queue(const std::string& name);
  void stop();

 private:
  testing::TempDir dir_;
  std::string socket_;
  std::unique_ptr<ChildProcess> cupsd_;
  bool ready_ = false;
};

}  // namespace zunel
