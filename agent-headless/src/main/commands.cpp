#include "main/commands.h"

#include <filesystem>
#include <iostream>

#include "base/constants.h"
#include "control/control_client.h"
#include "control/control_commands.h"
#include "base/journal_file.h"
#include "main/data_dir.h"
#include "main/journal_log.h"
#include "main/run.h"
#include "service/autostart.h"

namespace zunel {
namespace {

// The token is read before anything is sent, from the file the running
// agent wrote at its start.
int control_command(ControlCommand command, std::string_view id = {}) {
  return run_control_command(
      command, read_control_token(resolve_data_dir()), id,
      [](const std::string& request) { return control_request(CONTROL_PORT, request); },
      std::cout, std::cerr);
}

Outcome<std::string, ExplainedFailure> explained(
    const Outcome<std::string, InstallError>& outcome) {
  if (outcome.ok()) return outcome.value();
  return ExplainedFailure{render_install_error(outcome.error()),
                          install_exit_code(outcome.error().kind)};
}

}  // namespace

Commands real_commands() {
  Commands c;
  c.run = run_agent;
  c.pair = [] { return control_command(ControlCommand::Pair); };
  c.list = [] { return control_command(ControlCommand::Info); };
  c.revoke = [](const std::string& id) { return control_command(ControlCommand::Revoke, id); };
  c.install = [] { return explained(install_autostart(system_autostart_platform())); };
  c.cleanup = [](const std::optional<std::string>& folder) {
    std::optional<std::filesystem::path> path;
    if (folder) path = std::filesystem::path(std::u8string(folder->begin(), folder->end()));
    return explained(cleanup_previous_installs(system_autostart_platform(), path));
  };
  c.uninstall = [] { return uninstall_autostart(system_autostart_platform()); };
  c.status = [] { return autostart_status(system_autostart_platform()); };
  c.log = [](std::size_t count, bool json) {
    const auto lines = read_journal_tail(state_dir_of(resolve_data_dir()), count);
    if (!json) return render_journal(lines);
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    return text;
  };
  return c;
}

}  // namespace zunel
