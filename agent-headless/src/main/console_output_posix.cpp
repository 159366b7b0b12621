#include "main/console_output.h"

#include <sys/stat.h>
#include <unistd.h>

namespace zunel {

// A terminal takes the UTF-8 bytes as they are.
void use_wide_console_output() {}

bool standard_output_is_file() {
  struct stat st {};
  return fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace zunel
