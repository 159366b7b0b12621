#include "main/commands.h"

#include <filesystem>
#include <iostream>

#include "main/run.h"
#include "service/autostart.h"

namespace zunel {
namespace {

// A command whose module has not landed yet.
int not_available(const char* name) {
  std::cerr << "zunel-print-agent " << name << ": no disponible todavía\n";
  return 1;
}

ExplainedOutcome explained(const InstallOutcome& outcome) {
  if (outcome.ok()) return {true, outcome.text(), 0};
  return {false, render_install_error(outcome.error()), install_exit_code(outcome.error().kind)};
}

}  // namespace

Commands real_commands() {
  Commands c;
  c.run = run_agent;
  c.pair = [] { return not_available("pair"); };
  c.list = [] { return not_available("list"); };
  c.revoke = [](const std::string&) { return not_available("revoke"); };
  c.install = [] { return explained(install_autostart(system_autostart_platform())); };
  c.cleanup = [](const std::optional<std::string>& folder) {
    std::optional<std::filesystem::path> path;
    if (folder) path = std::filesystem::path(std::u8string(folder->begin(), folder->end()));
    return explained(cleanup_previous_installs(system_autostart_platform(), path));
  };
  c.uninstall = [] { return uninstall_autostart(system_autostart_platform()); };
  c.status = [] { return autostart_status(system_autostart_platform()); };
  return c;
}

}  // namespace zunel
