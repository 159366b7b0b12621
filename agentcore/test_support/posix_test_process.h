#pragma once
// POSIX only: processes that tests start, and stop by their process id.

#include <sys/types.h>

#include <string>
#include <vector>

namespace zunel {

// A child started in the background; stopped (SIGTERM, then waited for)
// when the object goes. Its output goes to `log_path`, or nowhere.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv, const std::string& log_path = "/dev/null");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // Whether it still runs (reaps it if it has ended).
  bool running();
  void stop();

 private:
  pid_t pid_ = -1;
};

struct CommandResult {
  int exit_code = -1;
  std::string output;  // standard output and error together
};

// Runs argv[0] (looked up in PATH) to completion.
CommandResult run_command(const std::vector<std::string>& argv);

}  // namespace zunel
