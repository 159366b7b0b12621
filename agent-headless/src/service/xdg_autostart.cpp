#include "service/xdg_autostart.h"

namespace zunel {
namespace {

bool is_absolute(const std::optional<std::string>& value) {
  return value && !value->empty() && (*value)[0] == '/';
}

// One argument of an Exec line: in double quotes, with the characters that
// are special inside them escaped, and "%" doubled so that it is not read as
// a field code.
std::string quoted_exec_argument(const std::string& argument) {
  std::string out = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out + "\"";
}

// Escapes of the format's string values; the Exec value passes through them
// before it is split into arguments.
std::string escaped_string_value(const std::string& value) {
  std::string out;
  for (char c : value) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

Outcome<std::filesystem::path> xdg_autostart_entry_path(const std::optional<std::string>& xdg_config_home,
                                                        const std::optional<std::string>& home) {
  std::filesystem::path config;
  if (is_absolute(xdg_config_home)) {
    config = *xdg_config_home;
  } else if (is_absolute(home)) {
    config = std::filesystem::path(*home) / ".config";
  } else {
    return fail("no se pudo resolver %APPDATA%");
  }
  return config / "autostart" / XDG_ENTRY_FILE_NAME;
}

std::string desktop_entry_text(const std::string& executable) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Zunel print agent\n"
         "Exec=" + escaped_string_value(quoted_exec_argument(executable) + " run") + "\n"
         "NoDisplay=true\n"
         "X-GNOME-Autostart-enabled=true\n";
}

}  // namespace zunel
