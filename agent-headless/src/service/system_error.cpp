#include "service/system_error.h"

namespace zunel {

ClassifiedError classify_os_error(const SystemError& error, FailureKind default_kind) {
  if (!error.code) return {default_kind, NO_OS_ERROR_CODE};
  const auto kind = failure_kind_for_os_code(*error.code);
  return {kind.value_or(default_kind), *error.code};
}

}  // namespace zunel
