#pragma once
// How a failed install or cleanup is explained to the person who ran it: a
// short Spanish explanation tagged with a diagnostic code (D1 to D10), the
// technical detail for support, and an exit code per class of failure.

#include <cstdint>
#include <string>

namespace zunel {

// The classes of installation failure, in their fixed order: the diagnostic
// code is "D" + (position + 1) and the exit code 11 + position. `Generic` has
// neither: it shows only the detail and exits with 1. New kinds go before
// `Generic`, so no earlier kind changes its code.
enum class FailureKind {
  WriteBlocked,
  AlreadyRunning,
  Quarantined,
  BlockedByPolicy,
  MissingFile,
  PortInUse,
  LocalConnectionBlocked,
  StartupFolderFailed,
  NoAgentResponse,
  Unexpected,
  OtherUsersAgent,  // the agent that answers is another Windows user's
  Generic,
};

inline constexpr std::int32_t NO_OS_ERROR_CODE = -1;

// A failure of install or cleanup.
struct InstallError {
  std::string detail;  // what failed, tersely; may be empty
  FailureKind kind = FailureKind::Generic;
  std::int32_t code = NO_OS_ERROR_CODE;  // the OS error behind it; only Unexpected shows it
};

// "D1" to "D11"; empty for Generic.
std::string diagnostic_code(FailureKind kind);

// The text shown to the user (before console transliteration). Never fails.
std::string render_install_error(const InstallError& error);

// The process exit code: 11 to 21 in the kinds' order, 1 for Generic.
int install_exit_code(FailureKind kind);

}  // namespace zunel
