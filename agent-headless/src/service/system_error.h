#pragma once
// Failures of operating-system calls as the installer needs them: the
// system's own text, the numeric code (which decides the failure kind), and
// whether the failure means "there is no such path".

#include <cstdint>
#include <optional>
#include <string>

#include "service/install_error.h"

namespace zunel {

struct SystemError {
  std::string text;                  // the system's description, for the technical detail
  std::optional<std::int32_t> code;  // absent when the failure carried no OS code
  bool not_found = false;            // the path (or one of its parents) does not exist
};

// The error of the last failed call on this OS (errno on POSIX, the Win32
// error code on Windows), with its text and not-found flag filled in.
SystemError system_error_from_code(std::int32_t code);

// The failure kind that this OS's error `code` stands for, if it is one of
// the recognised ones (file not found, access denied, file busy, quarantined,
// blocked by policy).
std::optional<FailureKind> failure_kind_for_os_code(std::int32_t code);

struct ClassifiedError {
  FailureKind kind;
  std::int32_t code;
};

// The kind and code of an OS error: a recognised code gives its own kind,
// any other code `default_kind`, and an error without a code `default_kind`
// with code -1. Install uses Unexpected as the default for starting the agent
// and for cleanup's removals, StartupFolderFailed for the Startup folder.
ClassifiedError classify_os_error(const SystemError& error, FailureKind default_kind);

}  // namespace zunel
