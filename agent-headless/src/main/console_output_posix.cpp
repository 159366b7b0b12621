#include "main/console_output.h"

namespace zunel {

// A terminal takes the UTF-8 bytes as they are.
void use_wide_console_output() {}

}  // namespace zunel
