#pragma once
// The command table: the first argument selects exactly one command, whose
// result becomes output and the process exit code.

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/outcome.h"

namespace zunel {

// What `install` and `cleanup` report: a success text, or the failure's
// explanation and the exit code of its kind.
struct ExplainedOutcome {
  bool ok = false;
  std::string text;    // the success text or the failure's explanation
  int exit_code = 0;   // 0 on success
};

// The operations the commands are bound to. Each is supplied by the module
// that owns the command; tests supply recording stand-ins.
struct Commands {
  std::function<int()> run;
  std::function<int()> pair;
  std::function<int()> list;
  std::function<int(const std::string& device_id)> revoke;
  std::function<ExplainedOutcome()> install;
  std::function<ExplainedOutcome(const std::optional<std::string>& folder)> cleanup;
  std::function<Status()> uninstall;
  std::function<std::string()> status;
};

// The usage text before transliteration, without a final line feed.
std::string usage_text();

// Runs the command named by args[0] (no arguments: `run`) and returns the exit
// code. `args` excludes the program name. Texts go to `out` and `err`.
int dispatch(const std::vector<std::string>& args, const Commands& commands, std::ostream& out,
             std::ostream& err);

}  // namespace zunel
