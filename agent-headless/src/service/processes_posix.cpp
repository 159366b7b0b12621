#include "service/autostart_platform.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zunel {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view NO_CONSOLE = "ZUNEL_NO_CONSOLE=";

// Frees the spawn attributes and file actions however the start ends.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

class PosixProcesses final : public Processes {
 public:
  Outcome<fs::path, SystemError> own_executable() override {
    std::string buffer(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return system_error_from_code(errno);
    if (static_cast<std::size_t>(n) >= buffer.size()) return system_error_from_code(ENAMETOOLONG);
    buffer.resize(static_cast<std::size_t>(n));
    return fs::path(buffer);
  }

  // The agent gets a session of its own (it outlives this process and the
  // terminal), standard streams on /dev/null, and ZUNEL_NO_CONSOLE=1.
  Outcome<void, SystemError> start_agent(const fs::path& executable) override {
    SpawnSetup setup;
    int rc = posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSID);
    for (int fd = 0; fd < 3 && rc == 0; ++fd) {
      rc = posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null",
                                            fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    if (rc != 0) return system_error_from_code(rc);

    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::string_view(*entry).rfind(NO_CONSOLE, 0) != 0) environment.emplace_back(*entry);
    }
    environment.push_back(std::string(NO_CONSOLE) + "1");
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::string program = executable.string();
    std::string run = "run";
    char* argv[] = {program.data(), run.data(), nullptr};
    pid_t pid = 0;
    rc = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv, envp.data());
    if (rc != 0) return system_error_from_code(rc);
    return {};  // not waited for
  }

  // Scheduled tasks of older installations exist only on Windows.
  void remove_legacy_task() override {}
};

}  // namespace

Processes& system_processes() {
  static PosixProcesses processes;
  return processes;
}

}  // namespace zunel
