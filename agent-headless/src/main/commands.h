#pragma once
// The real operations behind the command table.

#include <string_view>

#include "main/dispatch.h"

namespace zunel {

// For an executable that reports `version`.
Commands real_commands(std::string_view version);

}  // namespace zunel
