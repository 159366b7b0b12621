#pragma once
// The agent's own files that grow by appended lines and are read back when
// it starts (the job store): opened only when they are regular files inside
// the agent's directory, never through a symbolic link, a FIFO or a device,
// and read back within a bound. One implementation per OS.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "base/outcome.h"

namespace zunel {

// A file opened for appending. Not safe for concurrent use: its owner
// orders the calls.
class AppendFile {
 public:
  virtual ~AppendFile() = default;
  // Writes all of `bytes` at the end. When only part could be written (a
  // full disk) the file is cut back to where it was, so no torn line is
  // left behind; the error is the system's text.
  [[nodiscard]] virtual Status append(std::string_view bytes) = 0;
  // To stable storage: fdatasync, FlushFileBuffers.
  [[nodiscard]] virtual Status sync() = 0;
  virtual std::uint64_t size() const = 0;
};

// Where the agent's appended files live; tests replace it with a recording
// fake (a disk that fills, a sync that fails).
class AppendFiles {
 public:
  virtual ~AppendFiles() = default;
  // Opens `path` for appending, creating it (0600 on POSIX) when it is
  // missing. Refused when it is anything but a regular file.
  [[nodiscard]] virtual Outcome<std::unique_ptr<AppendFile>> open(const std::filesystem::path& path) = 0;
  // Replaces `path` with `text`, synced (private_files' writer).
  [[nodiscard]] virtual Status replace(const std::filesystem::path& path, std::string_view text) = 0;
  // At most the last `max_bytes` of `path`, with its whole size; an empty
  // text when it is missing. Refused (and nothing opened that could block)
  // when it is not a regular file.
  struct Tail {
    std::string text;
    std::uint64_t size = 0;  // of the whole file
  };
  [[nodiscard]] virtual Outcome<Tail> read_tail(const std::filesystem::path& path, std::size_t max_bytes) = 0;
};

// The system's files.
AppendFiles& system_append_files();

// The files the agent keeps its jobs in: the system's, except in a test
// build (test_hooks_enabled()) while the environment has
// ZUNEL_TEST_FAILING_SYNC=1, where every sync fails as on a failing disk.
AppendFiles& agent_append_files();

}  // namespace zunel
