#pragma once
// The stand-in for the Startup shortcut on desktops that follow the XDG
// rules: a desktop entry in the user's autostart folder that runs the agent
// with "run" at logon.

#include <filesystem>
#include <optional>
#include <string>

#include "base/outcome.h"

namespace zunel {

inline constexpr std::string_view XDG_ENTRY_FILE_NAME = "ZunelPrintAgent.desktop";

// $XDG_CONFIG_HOME/autostart/ZunelPrintAgent.desktop, or
// $HOME/.config/autostart/... when XDG_CONFIG_HOME is unset or not absolute.
// Fails with "no se pudo resolver %APPDATA%" when neither gives an absolute
// path, keeping the text users of both platforms see.
Outcome<std::filesystem::path> xdg_autostart_entry_path(const std::optional<std::string>& xdg_config_home,
                                                        const std::optional<std::string>& home);

// The whole desktop entry for `executable` (an absolute path, UTF-8), with
// the path quoted and escaped as the desktop entry format requires.
std::string desktop_entry_text(const std::string& executable);

}  // namespace zunel
