#pragma once
// The real operations behind the command table.

#include "main/dispatch.h"

namespace zunel {

Commands real_commands();

}  // namespace zunel
