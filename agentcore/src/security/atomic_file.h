#pragma once
// Replacing a file so that a crash or power loss at any moment leaves either
// the old or the new content, never a mix or a truncated file.

#include <filesystem>
#include <string_view>

#include "base/outcome.h"

namespace zunel {

// Writes `bytes` to a temporary file beside `target`, flushes it to disk and
// renames it over `target`. On POSIX the file is created 0600 (it holds
// secrets). On failure the temporary file is removed and `target` is untouched.
[[nodiscard]] Status replace_file_atomically(const std::filesystem::path& target, std::string_view bytes);

}  // namespace zunel
