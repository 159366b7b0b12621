#include <string>
#include <vector>

#include "main/agent_main.h"
#include "main/reported_version.h"

int main(int argc, char** argv) {
  return zunel::agent_main(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc),
                           zunel::REPORTED_VERSION);
}
