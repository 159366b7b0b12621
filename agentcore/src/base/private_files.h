#pragma once
// The agent's own directories and files: a private directory made one way
// for every caller (on POSIX 0700 and owned by this user), the one writer of
// private files (on POSIX 0600, replaced whole) and the one whole-file
// reader.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/outcome.h"

namespace zunel {

// Creates `dir` and its missing parents; an existing directory is fine. On
// POSIX new directories are 0700, and `dir` itself must end up a real
// directory owned by this user and closed to others. The error is the
// operating system's text.
[[nodiscard]] Status create_private_dirs(const std::filesystem::path& dir);

// Writes `bytes` to a temporary file beside `target` ("<name>.tmp-..."),
// flushes it to disk and renames it over `target`, so that a crash or power
// loss at any moment leaves the old content or the new, never a mix or a
// truncated file. On POSIX the file is 0600 whatever the old one was (it
// holds secrets). On failure the temporary file is removed, `target` is
// untouched and the error is the operating system's text.
[[nodiscard]] Status write_private_file(const std::filesystem::path& target, std::string_view bytes);

// Reads the whole file; nothing when it is missing, a directory or unreadable.
std::optional<std::string> read_whole_file(const std::filesystem::path& file);

}  // namespace zunel
