#pragma once
// The per-user folders of the agent, one implementation per OS: known
// folders and GetTempPathW on Windows; XDG folders and TMPDIR on POSIX.
// Private directories and files: base/private_files.h.

#include <filesystem>
#include <optional>
#include <string>

namespace zunel {

// The roaming application-data folder, when the platform can tell it:
// FOLDERID_RoamingAppData (and FOLDERID_LocalAppData must resolve too) on
// Windows; $XDG_DATA_HOME, else $HOME/.local/share, absolute paths only, on
// POSIX.
std::optional<std::filesystem::path> roaming_app_data_dir();

// Where the data directory goes when there is no roaming folder: the user's
// temporary directory plus "zunel-print-agent" (on POSIX, where /tmp is
// shared by all users, "zunel-print-agent-<uid>").
std::filesystem::path temp_fallback_data_dir();

// A path as shown in messages: UTF-8, characters that cannot be shown replaced.
std::string display_path(const std::filesystem::path& path);

}  // namespace zunel
