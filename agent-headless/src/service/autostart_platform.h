#pragma once
// The operating-system pieces that install, uninstall, status and cleanup
// use, each behind a small interface so that tests can hand in recording
// fakes. One implementation file per OS builds the real ones.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "base/outcome.h"
#include "service/agent_probe.h"
#include "service/port_diagnosis.h"
#include "service/running_agent.h"
#include "service/system_error.h"

namespace zunel {

enum class EntryType {
  File,       // a file or anything else that is removed as one entry
  Link,       // a symbolic link or junction (seen without following it)
  Directory,  // a real directory
};

struct EntryInfo {
  EntryType type = EntryType::File;
  std::uint64_t size = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Creates `dir` and any missing parents; an existing directory is fine.
  virtual Outcome<void, SystemError> create_directories(const std::filesystem::path& dir) = 0;
  // Metadata, following links when `follow_links`.
  virtual Outcome<EntryInfo, SystemError> metadata(const std::filesystem::path& path,
                                                   bool follow_links) = 0;
  // The absolute form of an existing path, with "." and ".." resolved.
  virtual Outcome<std::filesystem::path, SystemError> absolute(
      const std::filesystem::path& path) = 0;
  // Deletes a file, or a link (never what it points to), as one entry.
  virtual Outcome<void, SystemError> remove_entry(const std::filesystem::path& path) = 0;
  // Deletes a real directory with all its contents, links inside not followed.
  virtual Outcome<void, SystemError> remove_tree(const std::filesystem::path& dir) = 0;
};

// The entry in the user's Startup folder that starts the agent at logon: a
// shell link on Windows, an XDG autostart desktop entry elsewhere.
class StartupEntry {
 public:
  virtual ~StartupEntry() = default;
  // Where the entry lives; fails with "no se pudo resolver %APPDATA%" when
  // the folder cannot be determined.
  virtual Outcome<std::filesystem::path> entry_path() = 0;
  // Writes the whole entry at `entry`, replacing any existing one, so that it
  // runs `executable` (absolute, `executable_size` bytes) with "run".
  virtual Outcome<void, SystemError> write_entry(const std::filesystem::path& entry,
                                                 const std::filesystem::path& executable,
                                                 std::uint64_t executable_size) = 0;
  // What the entry at `entry` starts, as one line for people: the program
  // and its arguments.
  virtual Outcome<std::string, SystemError> read_target(const std::filesystem::path& entry) = 0;
};

// The process that listens on a loopback port, as the system tells it.
struct ListeningProcess {
  std::uint32_t pid = 0;  // 0: the system does not say which process it is
  // It runs as the user who runs this command (on Windows also in this logon
  // session). False when the system does not let this user look at it.
  bool this_user = false;
  std::filesystem::path executable;  // its file; empty when the system does not say
};

class Processes {
 public:
  virtual ~Processes() = default;
  // The running process's own executable file.
  virtual Outcome<std::filesystem::path, SystemError> own_executable() = 0;
  // Starts `executable run` detached, with ZUNEL_NO_CONSOLE=1 added to the
  // environment, and does not wait for it.
  virtual Outcome<void, SystemError> start_agent(const std::filesystem::path& executable) = 0;
  // Ends and deletes the scheduled task of older installations; outcome ignored.
  virtual void remove_legacy_task() = 0;
  // The process that listens on 127.0.0.1:`port`; nothing when no listener
  // is found. Where the system's table does not name the listener's process
  // (Wine's), the one process of this user running an executable of this
  // product, other than this one, stands for it.
  virtual Outcome<std::optional<ListeningProcess>, SystemError> listening_process(
      std::uint16_t port) = 0;
  // Ends `process`, only while its pid still names a process of this user
  // running that executable, and waits up to `wait` for it to be gone.
  virtual Outcome<void, SystemError> end_process(const ListeningProcess& process,
                                                 std::chrono::milliseconds wait) = 0;
};

struct AutostartPlatform {
  StartupEntry& startup;
  FileSystem& files;
  Processes& processes;
  AgentProbe& probe;
  PortBinder& binder;
  Sleeper& sleeper;
  RunningAgent& agent;
};

// Whether `file` is an executable of this product, whatever its folder: its
// name starts with the command's name (any case).
bool is_product_executable(const std::filesystem::path& file);

// The real pieces of this OS, with the running agent as `agent` shows it.
AutostartPlatform system_autostart_platform(RunningAgent& agent);
FileSystem& system_file_system();
StartupEntry& system_startup_entry();
Processes& system_processes();

}  // namespace zunel
