#pragma once
// The autostart commands: install (Startup entry, start the agent, verify it
// answers), uninstall, status and cleanup of earlier installations. The
// dispatcher prints their results; every printed line goes through
// transliterate_for_console first.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/outcome.h"
#include "service/autostart_platform.h"
#include "service/install_error.h"

namespace zunel {

// This executable as `install` names it: its version and its build.
struct OwnBuild {
  std::string_view version;
  std::string_view build;
};

// Writes the Startup entry, then makes sure this executable's agent runs:
// started detached if none answered, and probed until it does (5 tries,
// 500 ms apart). This user's agent of another version or build, or from
// another executable file, is stopped (or, when it cannot be, its process
// ended) first and replaced, and the text names both builds; another user's
// agent fails the install. Yields the success text.
Outcome<std::string, InstallError> install_autostart(const AutostartPlatform& platform, OwnBuild own);

// Removes the Startup entry, the legacy task and, when given, a previous
// installation folder. Never removed: the running executable's folder, any
// folder holding it, and a file-system root. Yields the success text.
Outcome<std::string, InstallError> cleanup_previous_installs(
    const AutostartPlatform& platform, const std::optional<std::filesystem::path>& folder);

// Removes the Startup entry and the legacy task; a running agent keeps running.
Status uninstall_autostart(const AutostartPlatform& platform);

// One line: whether the Startup entry exists and whether the agent answers,
// or that the agent that answers is another user's.
std::string autostart_status(const AutostartPlatform& platform);

}  // namespace zunel
