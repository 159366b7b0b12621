#pragma once
// The agent's own directories and files: a private directory made one way
// for every caller (on POSIX 0700 and owned by this user), and the one
// whole-file reader.

#include <filesystem>
#include <optional>
#include <string>

#include "base/outcome.h"

namespace zunel {

// Creates `dir` and its missing parents; an existing directory is fine. On
// POSIX new directories are 0700, and `dir` itself must end up a real
// directory owned by this user and closed to others. The error is the
// operating system's text.
[[nodiscard]] Status create_private_dirs(const std::filesystem::path& dir);

// Reads the whole file; nothing when it is missing, a directory or unreadable.
std::optional<std::string> read_whole_file(const std::filesystem::path& file);

}  // namespace zunel
