#include "main/agent_main.h"

#include <cstdlib>
#include <iostream>

#include "main/commands.h"
#include "main/console_output.h"
#include "main/dispatch.h"
#include "main/process_setup.h"

namespace zunel {

int agent_main(const std::vector<std::string>& args, std::string_view version) {
  // Present at all, even empty, means: started without a console on purpose.
  setup_process(std::getenv("ZUNEL_NO_CONSOLE") == nullptr);
  use_wide_console_output();
  const int code = dispatch(args, real_commands(version), std::cout, std::cerr);
  std::cout.flush();
  std::cerr.flush();
  return code;
}

}  // namespace zunel
