#include "main/local_files.h"

#include <unistd.h>

#include <cstdlib>

namespace zunel {
namespace {

namespace fs = std::filesystem;

std::optional<fs::path> absolute_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return fs::path(value);
}

}  // namespace

std::optional<fs::path> roaming_app_data_dir() {
  if (auto xdg = absolute_env("XDG_DATA_HOME")) return xdg;
  if (auto home = absolute_env("HOME")) return *home / ".local" / "share";
  return std::nullopt;
}

fs::path temp_fallback_data_dir() {
  const fs::path tmp = absolute_env("TMPDIR").value_or(fs::path("/tmp"));
  return tmp / ("zunel-print-agent-" + std::to_string(getuid()));
}

std::string display_path(const fs::path& path) { return path.string(); }

}  // namespace zunel
