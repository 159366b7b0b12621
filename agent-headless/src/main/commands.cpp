#include "main/commands.h"

#include <iostream>

#include "main/run.h"

namespace zunel {
namespace {

// A command whose module has not landed yet.
int not_available(const char* name) {
  std::cerr << "zunel-print-agent " << name << ": no disponible todavía\n";
  return 1;
}

}  // namespace

Commands real_commands() {
  Commands c;
  c.run = run_agent;
  c.pair = [] { return not_available("pair"); };
  c.list = [] { return not_available("list"); };
  c.revoke = [](const std::string&) { return not_available("revoke"); };
  c.install = [] { return ExplainedOutcome{false, "zunel-print-agent install: no disponible todavía", 1}; };
  c.cleanup = [](const std::optional<std::string>&) {
    return ExplainedOutcome{false, "zunel-print-agent cleanup: no disponible todavía", 1};
  };
  c.uninstall = []() -> Status { return fail("zunel-print-agent uninstall: no disponible todavía"); };
  c.status = [] { return std::string("zunel-print-agent status: no disponible todavía"); };
  return c;
}

}  // namespace zunel
