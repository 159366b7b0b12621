#include "service/autostart_platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/stat.h>
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

// The symbolic link's target, or nothing when it cannot be read.
std::optional<std::string> read_link(const std::string& link) {
  std::string buffer(PATH_MAX, '\0');
  const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
  if (n < 0 || static_cast<std::size_t>(n) >= buffer.size()) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
}

// A process's executable: the file it was started from, even when that file
// has since been replaced (the kernel then adds " (deleted)").
fs::path process_executable(std::uint32_t pid) {
  auto target = read_link("/proc/" + std::to_string(pid) + "/exe");
  if (!target) return {};
  constexpr std::string_view DELETED = " (deleted)";
  if (target->size() > DELETED.size() && target->ends_with(DELETED)) {
    target->resize(target->size() - DELETED.size());
  }
  return fs::path(*target);
}

bool runs_as_this_user(std::uint32_t pid) {
  struct stat info {};
  return ::stat(("/proc/" + std::to_string(pid)).c_str(), &info) == 0 && info.st_uid == ::geteuid();
}

struct ListeningSocket {
  unsigned long long inode = 0;
  unsigned uid = 0;
};

// The listener on 127.0.0.1:`port` (or on every address) in the kernel's
// table of this network namespace's IPv4 sockets.
std::optional<ListeningSocket> find_listener(std::uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    unsigned address = 0, local_port = 0, state = 0, uid = 0;
    unsigned long long inode = 0;
    // "  sl  local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode"
    if (std::sscanf(line.c_str(), " %*u: %8X:%4X %*8X:%*4X %2X %*8X:%*8X %*2X:%*8X %*8X %u %*u %llu",
                    &address, &local_port, &state, &uid, &inode) != 5) {
      continue;
    }
    constexpr unsigned LISTEN = 0x0A;
    constexpr unsigned LOOPBACK = 0x0100007F;  // 127.0.0.1 as the table writes it
    if (state == LISTEN && local_port == port && (address == LOOPBACK || address == 0)) {
      return ListeningSocket{inode, uid};
    }
  }
  return std::nullopt;
}

// The process of this user that holds the socket `inode` open: only this
// user's processes show their descriptors.
std::optional<std::uint32_t> socket_holder(unsigned long long inode) {
  const std::string wanted = "socket:[" + std::to_string(inode) + "]";
  std::error_code ec;
  for (const auto& process : fs::directory_iterator("/proc", ec)) {
    const std::string name = process.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fd_ec;
    for (const auto& fd : fs::directory_iterator(process.path() / "fd", fd_ec)) {
      if (read_link(fd.path().string()) == wanted) return static_cast<std::uint32_t>(std::stoul(name));
    }
  }
  return std::nullopt;
}

// Process descriptors, through the system calls themselves: the C library's
// header of this Debian release declares them without C linkage.
int open_pidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int signal_pidfd(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// Waits up to `wait` for the process behind `pidfd` to end.
bool ended_within(int pidfd, std::chrono::milliseconds wait) {
  pollfd watch{pidfd, POLLIN, 0};
  return ::poll(&watch, 1, static_cast<int>(wait.count())) == 1;
}

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

  Outcome<std::optional<ListeningProcess>, SystemError> listening_process(std::uint16_t port) override {
    const auto listener = find_listener(port);
    if (!listener) return std::optional<ListeningProcess>{};
    ListeningProcess found;
    if (listener->uid != ::geteuid()) return std::optional<ListeningProcess>(found);  // another user's
    const auto pid = socket_holder(listener->inode);
    if (!pid) return std::optional<ListeningProcess>(found);
    found.pid = *pid;
    found.this_user = runs_as_this_user(*pid);
    found.executable = process_executable(*pid);
    return std::optional<ListeningProcess>(found);
  }

  // Asks the process to end (SIGTERM), then, after half the wait, makes it
  // (SIGKILL). The process descriptor pins the process: a pid reused
  // meanwhile is never signalled.
  Outcome<void, SystemError> end_process(const ListeningProcess& process,
                                         std::chrono::milliseconds wait) override {
    const pid_t pid = static_cast<pid_t>(process.pid);
    const int pidfd = open_pidfd(pid);
    if (pidfd < 0) {
      if (errno == ESRCH) return {};  // already gone
      return system_error_from_code(errno);
    }
    struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{pidfd};
    if (!runs_as_this_user(process.pid) || process_executable(process.pid) != process.executable) {
      if (ended_within(pidfd, std::chrono::milliseconds(0))) return {};
      return SystemError{"el proceso " + std::to_string(process.pid) + " ya no es el agente de este usuario",
                         std::nullopt, false};
    }
    for (const int signal : {SIGTERM, SIGKILL}) {
      if (signal_pidfd(pidfd, signal) != 0) {
        if (errno == ESRCH) return {};
        return system_error_from_code(errno);
      }
      if (ended_within(pidfd, wait / 2)) return {};
    }
    return SystemError{"el proceso " + std::to_string(process.pid) + " sigue corriendo tras " +
                           std::to_string(wait.count() / 1000) + " s",
                       std::nullopt, false};
  }
};

}  // namespace

Processes& system_processes() {
  static PosixProcesses processes;
  return processes;
}

}  // namespace zunel
