#include <string>
#include <vector>

#include "base/utf8.h"
#include "main/agent_main.h"
#include "main/reported_version.h"

// Windows hands the arguments over as UTF-16; the agent works in UTF-8.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view arg(argv[i]);
    args.push_back(zunel::utf16_to_utf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(arg.data()), arg.size())));
  }
  return zunel::agent_main(args, zunel::REPORTED_VERSION);
}
