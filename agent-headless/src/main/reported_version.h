#pragma once
// The version the executable reports: the agent's own, unless the build of a
// test-only executable names another (a second build, for the tests that
// replace one running version with another). Included by the entry files
// only, which each executable compiles for itself.

#include <string_view>

#include "base/constants.h"

namespace zunel {

#ifdef ZUNEL_TEST_REPORTED_VERSION
inline constexpr std::string_view REPORTED_VERSION = ZUNEL_TEST_REPORTED_VERSION;
#else
inline constexpr std::string_view REPORTED_VERSION = AGENT_VERSION;
#endif

}  // namespace zunel
