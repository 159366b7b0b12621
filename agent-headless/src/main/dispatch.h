#pragma once
// The command table: the first argument selects exactly one command, whose
// result becomes output and the process exit code.

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/build_config.h"
#include "base/constants.h"
#include "base/outcome.h"

namespace zunel {

// How a failed `install` or `cleanup` is reported: the failure's explanation
// and the exit code of its kind. Their success is a text.
struct ExplainedFailure {
  std::string text;
  int exit_code = 1;
};

// The operations the commands are bound to. Each is supplied by the module
// that owns the command; tests supply recording stand-ins.
struct Commands {
  // The version this executable reports, and its build (`version`'s second line).
  std::string version = std::string(AGENT_VERSION);
  std::string build = std::string(agent_build());
  std::function<int()> run;
  std::function<int()> pair;
  std::function<int()> list;
  std::function<int(const std::string& device_id)> revoke;
  std::function<Outcome<std::string, ExplainedFailure>()> install;
  std::function<Outcome<std::string, ExplainedFailure>(const std::optional<std::string>& folder)>
      cleanup;
  std::function<Status()> uninstall;
  std::function<std::string()> status;
  // The last `count` entries of the journal: told for a person, or the
  // lines as stored (`json`).
  std::function<std::string(std::size_t count, bool json)> log;
  std::function<int()> stop;
  // The router for every user of the machine (hidden, like cleanup): runs
  // until the process ends.
  std::function<int()> router;
  // The text for support; always exit 0.
  std::function<std::string()> report;
  // Whether standard output is a file on disk: the report then begins with
  // a UTF-8 byte-order mark, so that Windows' editors show its accents.
  std::function<bool()> output_is_file = [] { return false; };
};

// The usage text before transliteration, without a final line feed.
std::string usage_text(std::string_view version = AGENT_VERSION);

// Runs the command named by args[0] (no arguments: `run`) and returns the exit
// code. `args` excludes the program name. Texts go to `out` and `err`.
int dispatch(const std::vector<std::string>& args, const Commands& commands, std::ostream& out,
             std::ostream& err);

}  // namespace zunel
