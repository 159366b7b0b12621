#pragma once
// The process entry shared by both platforms, after the arguments were read
// as UTF-8.

#include <string>
#include <string_view>
#include <vector>

namespace zunel {

// Sets up the process, runs the command named by `args` (program name
// excluded) with the real operations of an executable that reports
// `version`, and returns the exit code.
int agent_main(const std::vector<std::string>& args, std::string_view version);

}  // namespace zunel
