#include "main/commands.h"

#include <filesystem>
#include <iostream>
#include <thread>

#include "base/build_config.h"
#include "base/constants.h"
#include "control/control_agent.h"
#include "control/control_client.h"
#include "control/control_commands.h"
#include "base/journal_file.h"
#include "main/console_output.h"
#include "main/data_dir.h"
#include "main/journal_log.h"
#include "main/report.h"
#include "main/run.h"
#include "router/router_role.h"
#include "service/agent_probe.h"
#include "service/autostart.h"

namespace zunel {
namespace {

// This user's way to the running agent. The token is read first, from the
// file the running agent wrote at its start.
ControlLink control_link() {
  return ControlLink{
      read_control_token(resolve_data_dir()),
      [](const std::string& request) { return control_request(CONTROL_PORT, request); },
      [] { return system_agent_probe().agent_answers(HTTP_PORT); },
      [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }};
}

int control_command(ControlCommand command, std::string_view id = {}) {
  return run_control_command(command, id, control_link(), std::cout, std::cerr);
}

Outcome<std::string, ExplainedFailure> explained(
    const Outcome<std::string, InstallError>& outcome) {
  if (outcome.ok()) return outcome.value();
  return ExplainedFailure{render_install_error(outcome.error()),
                          install_exit_code(outcome.error().kind)};
}

}  // namespace

Commands real_commands(std::string_view version) {
  Commands c;
  c.version = std::string(version);
  c.run = [version] { return run_agent(version); };
  c.pair = [] { return control_command(ControlCommand::Pair); };
  c.list = [] { return control_command(ControlCommand::Info); };
  c.revoke = [](const std::string& id) { return control_command(ControlCommand::Revoke, id); };
  c.stop = [] { return control_command(ControlCommand::Stop); };
  c.router = [] { return run_router(std::cerr); };
  c.install = [version] {
    ControlChannelAgent agent(control_link());
    return explained(install_autostart(system_autostart_platform(agent), {version, agent_build()}));
  };
  c.cleanup = [](const std::optional<std::string>& folder) {
    std::optional<std::filesystem::path> path;
    if (folder) path = std::filesystem::path(std::u8string(folder->begin(), folder->end()));
    ControlChannelAgent agent(control_link());
    return explained(cleanup_previous_installs(system_autostart_platform(agent), path));
  };
  c.uninstall = [] {
    ControlChannelAgent agent(control_link());
    return uninstall_autostart(system_autostart_platform(agent));
  };
  c.status = [] {
    ControlChannelAgent agent(control_link());
    return autostart_status(system_autostart_platform(agent));
  };
  c.log = [](std::size_t count, bool json) {
    const auto lines = read_journal_tail(state_dir_of(resolve_data_dir()), count);
    if (!json) return render_journal(lines);
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    return text;
  };
  c.report = [version] { return support_report(gather_report_facts(version, control_link())); };
  c.output_is_file = standard_output_is_file;
  return c;
}

}  // namespace zunel
