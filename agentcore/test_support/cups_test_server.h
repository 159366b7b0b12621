#pragma once
// POSIX only, for tests: a private CUPS server, started as root with its own
// configuration and every directory under one temporary directory,
// listening only on a domain socket there. The system's CUPS is not touched.

#include <map>
#include <memory>
#include <string>

#include "posix_test_process.h"
#include "temp_dir.h"

namespace zunel {

class CupsTestServer {
 public:
  // Starts the server and waits until it answers; see ready(). Each of
  // `backends` (name -> script text) is a backend of its own, beside the
  // system's (the server then has a program directory of its own), so that a
  // test can stand for a printer that reports, e.g., running out of paper.
  explicit CupsTestServer(const std::map<std::string, std::string>& backends = {});
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
  // A queue whose device is `uri` (e.g. "mediaempty:/" for a backend above).
  CommandResult add_queue(const std::string& name, const std::string& uri);
  // A raw job of `text` to the queue.
  CommandResult submit(const std::string& queue, const std::string& text);
  void stop();

 private:
  testing::TempDir dir_;
  std::string socket_;
  std::unique_ptr<ChildProcess> cupsd_;
  bool ready_ = false;
};

}  // namespace zunel
